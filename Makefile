# The README's commands. `make demo` builds, installs and runs the example; `make test` runs
# every test, native and Python.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
NATIVE_BUILD := build/native
JOBS ?= 2

.PHONY: demo test setup venv native-test python-test wheel bench clean

demo: setup venv
	$(VPY) -m pip install --quiet .
	$(VPY) examples/quickstart.py

test: setup venv wheel native-test python-test

setup:
	./scripts/setup-system.sh

venv:
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# One cp39-abi3 wheel, installed with the test extras, audited, and imported under every
# interpreter present.
wheel:
	rm -rf dist
	$(VPY) -m pip wheel --quiet --no-deps -w dist .
	ls dist/velm_qor-*-cp39-abi3-*.whl
	$(VPY) -m pip install --quiet --force-reinstall "$$(ls dist/velm_qor-*.whl)[test]"
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.9 --report dist/velm_qor-*.whl
	./scripts/check-abi3-imports.sh "$$($(VPY) -c 'import velm_qor; print(velm_qor.__file__)')"

native-test:
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELM_BUILD_TESTS=ON -DVELM_WERROR=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) -j $(JOBS)
	cd $(NATIVE_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

python-test:
	$(VPY) -m pytest -q tests/python

# Native benchmarks of the core pieces, then capture from Python against its floor. Prints
# figures and ratios; asserts nothing about time.
BENCH_BUILD := build/bench
bench: setup venv
	$(VPY) -m pip install --quiet .
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVELM_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/benchmarks/velm_native_bench --benchmark_min_time=0.2
	$(VPY) benchmarks/capture_bench.py $(BENCH_BUILD)/benchmarks/velm_native_bench

clean:
	rm -rf build dist $(VENV)
