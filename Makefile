# The README's commands. `make demo` builds, installs and runs the example; `make test` runs
# every test, native and Python.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2

# Every compiler call goes through ccache when it is installed (scripts/setup-system.sh installs
# it): CMake reads its launcher from these environment variables, so pip's builds use it too. The
# cache is ccache's own (~/.cache/ccache unless CCACHE_DIR says otherwise), so it outlives the
# clone. CCACHE_BASEDIR turns paths inside this clone into relative ones and CCACHE_NOHASHDIR
# leaves the build folder out of the hash of -g builds, so clones in other folders share hits.
# Recursive variables: ccache is looked up when a recipe runs, after `setup` has installed it.
export CMAKE_C_COMPILER_LAUNCHER ?= $(shell command -v ccache)
export CMAKE_CXX_COMPILER_LAUNCHER ?= $(shell command -v ccache)
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= true
# What the portable wheels build from third-party sources (zig's cache, Debian's source packages,
# the static libraries, Debian's arm64 Python) is kept beside ccache's cache for the same reason.
# Each architecture's folder is keyed by the zig version, the source packages and the build
# scripts, and rebuilt when any of them changes.
export VELM_PORTABLE_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/velm_qor/portable

.PHONY: demo test setup venv native-test python-test wheel wheels packaging-test bench clean sanitize tsan fuzz fuzz-short fuzz-build san-tree \
  format lint dev-tools

# pip builds in a folder of its own under build/, kept between runs so that rebuilds are quick
# (pyproject.toml names none, so that a read-only source tree builds too). The cp39-abi3 wheel has
# one tag for every CPython, so one folder serves them all. The test wheel is built in it with the
# native tests and -Werror, and the native tests run in the same tree: one Release build for both.
RELEASE_BUILD := build/release
BUILD_DIR := -C build-dir=$(RELEASE_BUILD)
TEST_TREE := -DVELM_BUILD_TESTS=ON -DVELM_WERROR=ON
CMAKE := $(VENV)/bin/cmake
NINJA := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

demo: setup venv
	$(VPY) -m pip install --quiet $(BUILD_DIR) .
	$(VPY) examples/quickstart.py

test: setup venv wheel native-test python-test fuzz-short packaging-test

setup:
	./scripts/setup-system.sh

venv:
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# One cp39-abi3 wheel, installed with what the tests import (`test`), the Dask extra and the build and
# check tools (`dev`), audited, and imported under every interpreter present.
wheel:
	rm -rf dist
	$(VPY) -m pip wheel --quiet --no-deps $(BUILD_DIR) $(TEST_TREE:-D%=-C cmake.define.%) -w dist .
	ls dist/velm_qor-*-cp39-abi3-*.whl
	$(VPY) -m pip install --quiet --force-reinstall "$$(ls dist/velm_qor-*.whl)[test,dask,dev]"
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.9 --report dist/velm_qor-*.whl
	./scripts/check-abi3-imports.sh "$$($(VPY) -c 'import velm_qor; print(velm_qor.__file__)')"

# The release files in wheelhouse/: the sdist, and the manylinux_2_28 wheels for x86-64 and
# aarch64 built from it with zig, which need nothing from the target system but glibc
# (scripts/build-wheels.sh). zig is pinned: its glibc stubs and libc++ are part of the build.
WHEEL_TOOLS := "build>=1" "auditwheel>=6.8" "ziglang==0.15.2" "cmake>=3.26" ninja "wheel>=0.40"
wheels: setup venv
	$(VPY) -m pip install --quiet $(WHEEL_TOOLS)
	./scripts/build-wheels.sh $(VPY) wheelhouse

# Those wheels installed into fresh environments, the x86-64 one with the system's libraries
# hidden, the aarch64 one under qemu-aarch64-static.
packaging-test: wheels
	./tests/packaging/check_portable_wheel.sh wheelhouse $(PYTHON) $(VENV)/bin/auditwheel

# The native tests in the wheel's build tree: after `make wheel` the build only re-checks it.
native-test: setup dev-tools
	$(CMAKE) -S . -B $(RELEASE_BUILD) $(NINJA) $(TEST_TREE) -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build $(RELEASE_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(RELEASE_BUILD) --output-on-failure -j $(JOBS)

python-test:
	$(VPY) -m pytest -q tests/python

# Native benchmarks of the core pieces, then capture from Python against its floor, then the
# verifier's time and peak memory over logs of many one-record chains, then verify_many on local
# Dask clusters, then records() and the HTML page over 100,000 lines in 10,000 chains. Prints
# figures and ratios; asserts nothing about time.
BENCH_BUILD := build/bench
bench: setup venv
	$(VPY) -m pip install --quiet $(BUILD_DIR) ".[dask,dev,pandas]"
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELM_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/benchmarks/velm_native_bench --benchmark_min_time=0.2
	$(VPY) benchmarks/capture_bench.py $(BENCH_BUILD)/benchmarks/velm_native_bench
	$(VPY) benchmarks/chain_scale_bench.py $(BENCH_BUILD)/src/verifier/velm-qor-verify build/bench-chains
	$(VPY) benchmarks/verify_many_bench.py build/bench-fleet
	$(VPY) benchmarks/auditor_bench.py $(BENCH_BUILD)/src/verifier/velm-qor-verify build/bench-auditor

# AddressSanitizer and UndefinedBehaviorSanitizer. The native tests run in the fuzz targets' clang
# tree (below), built with both already. The module is built by pip with g++ in a folder of its
# own, kept between runs, because the Python tests also start the installed velm-qor-verify, and a
# clang program carries its sanitizer runtime inside while the interpreter needs it preloaded:
# g++ links both against the one shared libasan. Under the sanitizers only the Python tests that
# reach native code run (tests/python/conftest.py says which do not, and why).
ASAN_VENV := .venv-asan
SAN_FLAGS := address,undefined
sanitize: san-tree
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS) --target velm_native_tests
	$(VENV)/bin/ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install --quiet $(call EXTRA,$(ASAN_VENV)/bin/python,test)
	$(ASAN_VENV)/bin/python -m pip install --quiet --force-reinstall --no-deps \
	  -C cmake.define.VELM_SANITIZE=$(SAN_FLAGS) -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider -m "not python_only" tests/python

# The native tests built with ThreadSanitizer: the verifier's worker threads and the engine's
# locks under a race detector.
tsan: setup dev-tools
	$(CMAKE) -S . -B build/tsan $(NINJA) -DVELM_BUILD_TESTS=ON -DVELM_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(VENV)/bin/ctest --test-dir build/tsan --output-on-failure -j $(JOBS)

# One clang tree with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
# instrumentation holds the libFuzzer targets and the native tests. `make fuzz` runs each target
# for FUZZ_SECONDS (default 600); the test command runs each for 15 seconds.
SAN_BUILD := build/fuzz
FUZZ_SECONDS ?= 600
san-tree: setup dev-tools
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(SAN_BUILD) $(NINJA) -DVELM_BUILD_FUZZ=ON -DVELM_BUILD_TESTS=ON \
	  -DVELM_SANITIZE=$(SAN_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

fuzz-build: san-tree
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS) --target velm_fuzz_targets

fuzz: fuzz-build
	./scripts/run-fuzzers.sh $(SAN_BUILD)/tests/fuzz $(FUZZ_SECONDS)

fuzz-short: fuzz-build
	./scripts/run-fuzzers.sh $(SAN_BUILD)/tests/fuzz 15

# The requirements of one of pyproject.toml's extras, read with the given interpreter (tomllib, or
# before Python 3.11 the copy pip carries), to install them without building the package.
EXTRA = $$($(1) -c 'import sys; toml = __import__("tomllib" if sys.version_info >= (3, 11) else "pip._vendor.tomli"); \
  print(*toml.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["$(2)"])')

# The build and check tools of the `dev` extra, installed once, without building the package, so
# that `make lint` takes seconds.
dev-tools: venv
	test -x $(VENV)/bin/ruff -a -x $(CMAKE) -a -x $(VENV)/bin/ninja || $(VPY) -m pip install --quiet $(call EXTRA,$(VPY),dev)

# C++ by the repository's .clang-format, Python by ruff (pyproject.toml). `format` rewrites the
# files; `lint` checks the same and changes nothing.
CXX_SOURCES = $$(git ls-files '*.cpp' '*.h')
format: dev-tools
	clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --quiet --select I --fix .
	$(VENV)/bin/ruff format --quiet .

lint: setup dev-tools
	clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/ruff check .

clean:
	[ ! -d build ] || chmod -R u+w build
	rm -rf build dist wheelhouse $(VENV)
