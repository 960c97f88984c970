# Entry points: demo, test, bench, stress, clean. Everything else is a step of those.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

BUILD := build
JOBS ?= $(shell nproc)
FLAVOURS := 3.14 3.14t
BENCH_ARGS ?=
CLI_BENCH_ARGS ?=
STRESS_SECONDS ?= 30
STRESS_ARGS ?=

.PHONY: demo test deps interpreters install install-3.14 install-3.14t probes engine-tests sanitize-tests python-tests asan-python-tests bench stress clean \
        fuzz-build fuzz-smoke fuzz fuzz-merge bench-detect bench-package bench-arrow

deps:
	@tools/ensure-deps.sh

# Both interpreters (built once, cached outside the tree) and their venvs.
interpreters: deps
	@for f in $(FLAVOURS); do tools/venv.sh $$f >/dev/null; done

# `pip install .` into each venv: the same path users take. pip's notes about
# index locations this machine doesn't have are filtered out. (A static
# pattern rule, because make skips implicit rules for phony targets.)
install: $(addprefix install-,$(FLAVOURS))
$(addprefix install-,$(FLAVOURS)): install-%: deps
	@tools/venv.sh $* >/dev/null
	@echo "== installing corvel and _corvel_backend into the $* venv"
	@$(BUILD)/venv-$*/bin/python -m pip install -q --disable-pip-version-check \
	    --no-build-isolation --no-deps --force-reinstall . 2>&1 | { grep -v '^WARNING: Location' || true; }

engine-tests: deps
	cmake -S . -B $(BUILD)/engine -DCORVEL_BUILD_PYTHON=OFF -DCORVEL_BUILD_TESTS=ON >/dev/null
	cmake --build $(BUILD)/engine -j$(JOBS)
	ctest --test-dir $(BUILD)/engine --output-on-failure -j$(JOBS)

sanitize-tests: deps
	cmake -S . -B $(BUILD)/engine-asan -DCORVEL_BUILD_PYTHON=OFF -DCORVEL_BUILD_TESTS=ON \
	    -DCORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(BUILD)/engine-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(BUILD)/engine-asan --output-on-failure -j$(JOBS)

# The binder's test module, built per interpreter beside the real one.
probes: interpreters
	@for f in $(FLAVOURS); do \
	    cmake -S . -B $(BUILD)/probe-$$f -DPython_EXECUTABLE=$(CURDIR)/$(BUILD)/venv-$$f/bin/python \
	        -DCORVEL_BUILD_PYTHON=OFF -DCORVEL_BUILD_PROBE=ON >/dev/null; \
	    cmake --build $(BUILD)/probe-$$f -j$(JOBS) --target _corvel_probe >/dev/null; \
	done

# Run from tests/ so that the installed module, not the source tree, is imported.
python-tests: install probes
	@for f in $(FLAVOURS); do \
	    echo "== pytest on python$$f"; \
	    (cd tests && CORVEL_PROBE_DIR=$(CURDIR)/$(BUILD)/probe-$$f \
	        $(CURDIR)/$(BUILD)/venv-$$f/bin/python -m pytest -q -p no:cacheprovider python) || exit 1; \
	done

# libFuzzer targets (clang): a short run of each inside `test`; long runs and
# folding new coverage into the committed corpus by hand.
fuzz-build: deps
	@fuzz/build.sh >/dev/null
fuzz-smoke: fuzz-build
	@fuzz/run.sh smoke
fuzz: fuzz-build
	@fuzz/run.sh long
fuzz-merge: fuzz-build
	@fuzz/run.sh merge

# The Python tests against the module built with ASan and UBSan, per flavour.
asan-python-tests: probes
	@for f in $(FLAVOURS); do JOBS=$(JOBS) tools/asan-pytest.sh $$f; done

test: engine-tests python-tests sanitize-tests asan-python-tests fuzz-smoke

demo: install-3.14
	@$(BUILD)/venv-3.14/bin/python samples/demo.py samples/broken.csv $(BUILD)/demo

# Not part of `test`: the competitors live in venvs of their own (bench/venv.sh).
bench: deps
	cmake -S . -B $(BUILD)/bench -DCORVEL_BUILD_PYTHON=OFF -DCORVEL_BUILD_BENCH=ON >/dev/null
	cmake --build $(BUILD)/bench -j$(JOBS) --target engine_bench >/dev/null
	@bench/venv.sh 3.14t >/dev/null
	@py=$$(bench/venv.sh 3.14) && $$py bench/run.py $(BUILD)/bench/engine_bench $(BENCH_ARGS) && \
	    $$py bench/cli.py $(CLI_BENCH_ARGS)

# Not part of `test`: the corvel package's own targets (speed against cp,
# gzip, legacy decoding, memory, two threads).
bench-package: install-3.14
	$(BUILD)/venv-3.14/bin/python bench/package.py $(BENCH_ARGS)

# Not part of `test`: corvel.read and iter_batches against polars and pandas
# reading the same files, and their memory (the consumers are in the test venv).
bench-arrow: install-3.14
	$(BUILD)/venv-3.14/bin/python bench/arrow.py $(BENCH_ARGS)

# Not part of `test`: the labelled detection corpus (made on first use in
# bench/out/detect/) loaded by every loader and scored, then detection timed
# on 64 KiB samples. DETECT_ARGS passes options to bench/detect/score.py.
bench-detect: deps
	@py=$$(bench/venv.sh 3.14) && $$py bench/detect/score.py $(DETECT_ARGS)

# Not part of `test`: threads hammering the module on python3.14t for
# STRESS_SECONDS, then files past 4 GiB and a 1 GiB field (needs 15 GB free
# in /tmp; STRESS_ARGS=--rows-past-4g adds 2**32 rows, 17 GB).
stress: install
	$(BUILD)/venv-3.14t/bin/python tools/stress/threads.py --seconds $(STRESS_SECONDS)
	$(BUILD)/venv-3.14/bin/python tools/stress/big_files.py $(STRESS_ARGS)

clean:
	rm -rf $(BUILD) bench/out
