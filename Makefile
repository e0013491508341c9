# Entry points for people: each installs what it needs, then hands over to
# the CMake presets.
.PHONY: run check build windows package clean

run: build
	./build/release/nivor localhost; echo "exit status: $$?"

build:
	tools/install-deps.sh linux
	cmake --preset release
	cmake --build --preset release

check:
	tools/install-deps.sh all
	cmake --workflow --preset release
	cmake --workflow --preset sanitize
	cmake --workflow --preset fuzz
	cmake --workflow --preset windows

windows:
	tools/install-deps.sh all
	cmake --preset windows
	cmake --build --preset windows

# The Debian package of nivor and the zip of NIVOR.EXE, into build/packages.
package: build windows
	cd build/release && cpack -B ../packages
	cd build/windows && cpack -B ../packages

clean:
	rm -rf build
