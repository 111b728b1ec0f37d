# The two commands a newcomer needs:
#   make demo   installs what is missing, builds, and runs the program against a simulated box
#   make test   installs what is missing, builds every preset's tests and runs them all
# Both can be run on a fresh machine; they call scripts/install-deps first.

.PHONY: all deps build test test-dev test-tsan test-release demo bench format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release

test: deps
	scripts/run-tests dev tsan release

test-dev: deps
	scripts/run-tests dev

test-tsan: deps
	scripts/run-tests tsan

test-release: deps
	scripts/run-tests release

demo: deps
	scripts/demo

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	scripts/run-benchmarks

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
