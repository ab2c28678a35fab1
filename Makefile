# Convenience targets; CMake does the work.
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
# Checks for the packages that the tests need and installs the missing ones.
SETUP ?= tools/setup-tests.sh

WINDOWS_CONFIG = -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

FUZZ_SECONDS ?= 60

.PHONY: all tool demo test sanitize windows windows-test fuzz fuzz-smoke bench install uninstall \
  package clean

# The tool, and its tests when GoogleTest and Python 3 are there.
all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The tool alone; needs nothing beyond CMake and a C++ compiler.
tool:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target quillfen

# Converts the bundled example pages into scripts (and COM programs) in
# build/demo.
demo: tool
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo && cp examples/*.htm $(BUILD)/demo/
	cd $(BUILD)/demo && ../quillfen --count-status "*.htm" /COMPILE; test $$? -eq $(words $(wildcard examples/*.htm))
	ls -l $(BUILD)/demo

# Installs what the tests need, then builds and runs every test: the plain
# build, the sanitizer build and the Windows build (under Wine).  Since every
# tool the tests need is installed by then, a suite that a missing tool keeps
# from running fails here, where a plain ctest reports it as skipped.
test: export QUILLFEN_NO_SKIPS = 1
test:
	$(SETUP)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure
	$(MAKE) sanitize
	$(MAKE) windows-test
	$(MAKE) fuzz-smoke

sanitize:
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLFEN_SANITIZE=ON \
	  -DQUILLFEN_TESTS=ON
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	cd $(BUILD)-sanitize && ctest --output-on-failure

# Cross-builds build-windows/quillfen.exe with mingw-w64.
windows:
	cmake -S . -B $(BUILD)-windows $(WINDOWS_CONFIG)
	cmake --build $(BUILD)-windows -j $(JOBS)

windows-test:
	cmake -S . -B $(BUILD)-windows $(WINDOWS_CONFIG) -DQUILLFEN_TESTS=ON
	cmake --build $(BUILD)-windows -j $(JOBS)
	cd $(BUILD)-windows && ctest --output-on-failure

# Builds the libFuzzer targets in fuzz/ with clang and runs each for
# FUZZ_SECONDS; a finding is kept and shown with the command that replays it.
fuzz:
	fuzz/run.sh $(FUZZ_SECONDS) $(BUILD)-fuzz

# Each fuzz target for 20 seconds from the seed corpus, as make test does.
fuzz-smoke:
	fuzz/run.sh 20 $(BUILD)-fuzz

# Installs bin/quillfen, a stripped Release build, and
# share/man/man1/quillfen.1 under PREFIX (staged under DESTDIR when that is
# set).  The build has a tree of its own, which also keeps the list of the
# files installed for uninstall.
INSTALL_BUILD ?= $(BUILD)-release
INSTALLED = $(INSTALL_BUILD)/install_manifest.txt

install:
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_TESTS=OFF
	cmake --build $(INSTALL_BUILD) -j $(JOBS) --target quillfen
	DESTDIR="$(DESTDIR)" cmake --install $(INSTALL_BUILD) --prefix "$(PREFIX)" --strip

# Removes the files that the last make install put in place, as its list
# names them, below the same DESTDIR; directories stay.  The list's last line
# has no line feed.
uninstall:
	@if [ ! -f $(INSTALLED) ]; then \
	  echo "uninstall: no $(INSTALLED): nothing was installed from this tree"; exit 1; fi
	@while IFS= read -r file || [ -n "$$file" ]; do \
	  echo "Removing $(DESTDIR)$$file"; rm -f -- "$(DESTDIR)$$file" || exit 1; \
	done < $(INSTALLED)
	rm -f $(INSTALLED)

# The Debian package of the Linux build and the .zip archive of the Windows
# build: build/quillfen_VERSION_ARCH.deb, build-windows/quillfen-VERSION-win64.zip.
package: all windows
	cd $(BUILD) && cpack -G DEB
	cd $(BUILD)-windows && cpack -G ZIP

# Builds Release in its own tree and times it against copying (bench/bench.py;
# BENCH_ARGS passes options such as --keep or --against OTHER_BUILD).
bench:
	cmake -S . -B $(BUILD)-release -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_TESTS=OFF -DQUILLFEN_BENCH=ON
	cmake --build $(BUILD)-release -j $(JOBS)
	python3 bench/bench.py --quillfen $(BUILD)-release/quillfen $(BENCH_ARGS)
	if [ -x $(BUILD)-release/bench/quillfen_micro ]; then \
	  $(BUILD)-release/bench/quillfen_micro --benchmark_min_time=0.5; fi

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-windows $(BUILD)-fuzz $(BUILD)-release
