# Builds setup.exe for both targets; `make check` and `make run` first install what is missing.
# What signing a release takes, through a key file or a token's PKCS#11 module; the tests add a
# token of their own (SoftHSM2) and the tool that makes a key inside it.
SIGN_PACKAGES := osslsigncode openssl libengine-pkcs11-openssl
PACKAGES := cmake make python3 g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
            wine wine64 fonts-wine xvfb imagemagick $(SIGN_PACKAGES) softhsm2 opensc \
            qemu-system-x86 qemu-utils mmdebstrap uidmap fakeroot e2fsprogs

# The install script at the top of the checkout, the one CMakeLists.txt finds: setup.exe's facts come from it.
SCRIPT := $(wildcard *.inf)

.PHONY: all check run shell bench dist deps clean

all: build/host/print_page
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
	cmake --build build/win32 --parallel "$$(nproc)"
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
	cmake --build build/win64 --parallel "$$(nproc)"

# The page catalogue on the build machine itself: the release reads the summary page's promise here.
build/host/print_page: tools/release/print_page.cpp src/flow/setup_pages.cpp src/flow/setup_pages.h build/host/product.h
	g++ -std=c++17 -O2 -Wall -Wextra -Werror -Isrc/flow -Ibuild/host -o $@ tools/release/print_page.cpp src/flow/setup_pages.cpp

build/host/product.h: $(SCRIPT) resources/make_product.py tools/release/deploy.py tools/release/install_script.py
	mkdir -p build/host
	python3 resources/make_product.py $(SCRIPT) $@

# The first check on a machine also makes the emulated machine that runs the PE32 (tools/machine/),
# beside the build: for its first minute (unpacking the guest's packages) it takes one core. A
# failed or stopped build stops it. The tests hold the image, so that no other checkout's run
# prunes it meanwhile. A test a core: the emulated machines still run one at a time.
check: deps
	tools/machine/pe32_machine.py image & image=$$!; trap 'kill $$image 2>/dev/null' EXIT INT TERM HUP; \
	    $(MAKE) all && wait $$image
	tools/machine/pe32_machine.py image sh -c 'cd build/win64 && ctest --output-on-failure -j "$$(nproc)"' || { $(TIMES); exit 1; }
	@$(TIMES)

# Where the time went, from every test's output as ctest keeps it: each test's whole time, the host
# tests' cases of a second or more (the release's: its make dist runs), the emulated machine's phases.
TIMES = echo "Where the time went:"; awk '/^[0-9]+\/[0-9]+ Testing: / { test = $$3 } \
    /^Test time = / { print "  " test ": the whole test: " $$4 " s" } \
    /^pe32_machine: time: / || (test != "pe32" && /^(ok  |FAIL) .*\([1-9][0-9]*\.[0-9] s\)$$/) { sub(/^pe32_machine: time: /, ""); print "  " test ": " $$0 }' \
    build/win64/Testing/Temporary/LastTest.log

# `make run WINDOWS=<a name from tools/machine/windows.list>` walks the shipped PE32 in the emulated machine.
run: deps
	$(MAKE) all
	tools/run.sh $(SCRIPT) $(WINDOWS)

# The release build/release: its folder dist/ and, with PRODUCT=<folder of the product files>, the
# complete release with its zip, named as the script. SIGN_* and SOURCE_DATE_EPOCH reach it from the environment or
# the command line (docs/release.md); what signing takes is installed when something is to be signed.
dist: all
	@$(if $(SIGN_CERT)$(SIGN_PKCS12)$(SIGN_COMMAND)$(SIGN_PKCS11_MODULE),tools/install_deps.sh $(SIGN_PACKAGES))
	python3 tools/release/release.py --setup build/win32/setup.exe --script $(SCRIPT) \
	    --print-page build/host/print_page --out build/release $(if $(PRODUCT),--product "$(PRODUCT)")

# `make shell WINDOWS=<name>`: a shell in the emulated machine, in the session a row of that Windows gets.
shell: deps
	$(MAKE) all
	tools/machine/pe32_machine.py shell $(WINDOWS)

bench: deps
	$(MAKE) all
	tools/bench/bench.sh

deps:
	@tools/install_deps.sh $(PACKAGES)

clean:
	rm -rf build
