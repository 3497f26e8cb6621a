# Builds setup.exe for both targets; `make check` and `make run` first install what is missing.
PACKAGES := cmake make python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
            wine wine64 fonts-wine xvfb imagemagick qemu-system-x86 debootstrap

.PHONY: all check run bench dist deps clean

all:
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
	cmake --build build/win32
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
	cmake --build build/win64

# The first check on a machine also makes the emulated machine that runs the PE32 (tools/).
check: deps
	$(MAKE) all
	tools/pe32_machine.sh image
	cd build/win64 && ctest --output-on-failure

# `make run WINDOWS=winxp` (or win64, win98) walks the shipped PE32 in the emulated machine.
run: deps
	$(MAKE) all
	tools/run.sh $(WINDOWS)

# The release folder: the PE32 setup.exe and the script, with a note of the product files to add.
dist: all
	tools/ship.sh build/win32/setup.exe build/dist

bench: deps
	$(MAKE) all
	tools/bench.sh

deps:
	@tools/install_deps.sh $(PACKAGES)

clean:
	rm -rf build
