# Builds setup.exe for both targets; `make check` and `make run` first install what is missing.
PACKAGES := cmake make python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
            wine wine64 fonts-wine xvfb imagemagick

.PHONY: all check run bench dist deps clean

all:
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
	cmake --build build/win32
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
	cmake --build build/win64

check: deps
	$(MAKE) all
	cd build/win64 && ctest --output-on-failure

run: deps
	$(MAKE) all
	tools/run.sh

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
