# Entry points for people: each installs what it needs, then hands over to
# the CMake presets.
.PHONY: run check build windows package bench clean

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

# NIVOR against iputils ping and fping (needs root): prints the table and
# writes it, every sample and a plot into OUT.
bench: build windows
	@test -n "$(OUT)" || { echo "usage: make bench OUT=folder"; exit 2; }
	tools/install-deps.sh bench
	python3 bench/run_bench.py --out "$(OUT)"

clean:
	rm -rf build
