# Convenience targets; CMake does the work.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all demo test sanitize windows windows-test bench clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Converts the bundled example pages into scripts (and COM programs) in build/demo.
demo: all
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo && cp examples/*.htm $(BUILD)/demo/
	cd $(BUILD)/demo && ../quillfen "*.htm" /COMPILE; test $$? -eq $(words $(wildcard examples/*.htm))
	ls -l $(BUILD)/demo

# Builds and runs every test: the plain build, the sanitizer build and the
# Windows build (under Wine).
test: all
	cd $(BUILD) && ctest --output-on-failure
	$(MAKE) sanitize
	$(MAKE) windows-test

sanitize:
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLFEN_SANITIZE=ON
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	cd $(BUILD)-sanitize && ctest --output-on-failure

# Cross-builds build-windows/quillfen.exe with mingw-w64.
windows:
	cmake -S . -B $(BUILD)-windows -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD)-windows -j $(JOBS)

windows-test: windows
	cd $(BUILD)-windows && ctest --output-on-failure

# Builds Release in its own tree and times it against copying (bench/bench.py;
# BENCH_ARGS passes options such as --keep or --against OTHER_BUILD).
bench:
	cmake -S . -B $(BUILD)-release -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_TESTS=OFF -DQUILLFEN_BENCH=ON
	cmake --build $(BUILD)-release -j $(JOBS)
	python3 bench/bench.py --quillfen $(BUILD)-release/quillfen $(BENCH_ARGS)
	if [ -x $(BUILD)-release/bench/quillfen_micro ]; then \
	  $(BUILD)-release/bench/quillfen_micro --benchmark_min_time=0.5; fi

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-windows $(BUILD)-release
