# The two commands a newcomer needs:
#   make demo   installs what is missing, builds, and runs the program against a simulated box
#   make test   installs what is missing, builds the dev, tsan, ci and windows presets and runs
#               their tests (the Windows programs under Wine)
# Both can be run on a fresh machine; they call scripts/install-deps first.
# make package builds the release preset and writes its Debian package into build/package/
# (PACKAGE_PRESET=ci packages the ci build instead, the one make test has built and checked).
# make package-windows writes the Windows Installer package and the zip into build/package/ from
# the windows preset.

.PHONY: all deps build test test-dev test-tsan test-ci test-windows demo bench package package-windows format clean

PACKAGE_PRESET ?= release

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release

test: deps
	scripts/run-tests dev tsan ci windows

test-dev: deps
	scripts/run-tests dev

test-tsan: deps
	scripts/run-tests tsan

test-ci: deps
	scripts/run-tests ci

test-windows: deps
	scripts/run-tests windows

demo: deps
	scripts/demo

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	scripts/run-benchmarks

package: deps
	cmake --preset $(PACKAGE_PRESET) >/dev/null
	cmake --build --preset $(PACKAGE_PRESET)
	rm -f build/package/*.deb
	cd build/$(PACKAGE_PRESET) && cpack -G DEB -B $(CURDIR)/build/package
	@ls build/package/*.deb

# The Windows packages, from the windows preset: build/package/Sorvel-<version>-win64.msi (wixl)
# and build/package/Sorvel-<version>-win64.zip.
package-windows: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows
	rm -f build/package/Sorvel-*-win64.zip build/package/Sorvel-*-win64.msi
	cd build/windows && cpack -G ZIP -B $(CURDIR)/build/package
	packaging/windows/make-msi build/windows build/package >/dev/null
	@ls build/package/Sorvel-*-win64.msi build/package/Sorvel-*-win64.zip

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
