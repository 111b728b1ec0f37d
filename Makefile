# The two commands a newcomer needs:
#   make demo   installs what is missing, builds, and runs the program against a simulated box
#   make test   installs what is missing, builds the dev, tsan and ci presets and runs their tests
# Both can be run on a fresh machine; they call scripts/install-deps first.

.PHONY: all deps build test test-dev test-tsan test-ci demo bench format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release

test: deps
	scripts/run-tests dev tsan ci

test-dev: deps
	scripts/run-tests dev

test-tsan: deps
	scripts/run-tests tsan

test-ci: deps
	scripts/run-tests ci

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
