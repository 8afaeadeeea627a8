# Two commands: `make demo` and `make test`. Everything else is a helper for them.
PYTHON_BOOTSTRAP ?= $(shell command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1 && echo python3.13 || ls -d /root/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -1)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
LOCK := flock $(VENV)/.install.lock

.PHONY: venv install demo test test-sanitize test-tsan bench bench-motec bench-session-info \
	bench-dataset fuzz fuzz-build fuzz-python format clean sanitize-build test-alloc

$(STAMP): pyproject.toml
	@test -n "$(PYTHON_BOOTSTRAP)" || { echo "python3.13 not found"; exit 1; }
	test -x $(PY) || $(PYTHON_BOOTSTRAP) -m venv $(VENV)
	$(PY) -m pip install -q -U pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pyarrow>=26,<27" "pyyaml>=6" cmake ninja \
		pytest hypothesis numpy pandas polars matplotlib \
		tqdm duckdb "dask[dataframe,distributed]"
	touch $(STAMP)

venv: $(STAMP)

install: $(STAMP)
	$(LOCK) $(PY) -m pip install -q --no-build-isolation --no-deps -e .

demo: install
	$(VENV)/bin/corvex demo

test: install
	$(PY) -m pytest -q

# Times ibt on a generated one-hour session (cached in bench/data/) against one copy of its data
# region and a numpy peer; prints the ratios, peak memory and callgrind's instruction count.
BENCH_ARGS ?=
bench: install
	$(PY) bench/bench.py $(BENCH_ARGS)

# Times the MoTeC export of the same session against reading it.
bench-motec: install
	$(PY) bench/bench_motec.py $(BENCH_ARGS)

# Times the session info parser on a 60-car race's text (target: at most 10 ms).
bench-session-info: install
	$(PY) bench/bench_session_info.py

# Converts generated one-hour sessions (cached in bench/data/) into a dataset with --jobs 1, all
# cores and a 2-worker Dask cluster; prints files/s, MB/s, the speed-up and each worker's peak.
BENCH_DATASET_ARGS ?=
bench-dataset: install
	$(PY) bench/bench_dataset.py $(BENCH_DATASET_ARGS)

# Reliability builds. test-sanitize compiles the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc) into its own build directory and runs the whole suite against
# it, from a second environment that sees the main one's packages but not its editable install.
# fuzz builds the libFuzzer harness over the C++ core (clang) and runs it for FUZZ_SECONDS.
CMAKE := $(VENV)/bin/cmake
SANITIZE_DIR := build/sanitize
SANITIZE_PY := $(SANITIZE_DIR)/venv/bin/python
SANITIZE_CXXFLAGS ?= -D_GLIBCXX_ASSERTIONS
FUZZ_DIR := build/fuzz
FUZZ_CXX ?= clang++-19
FUZZ_SECONDS ?= 60
FUZZ_MAX_LEN ?= 65536
FUZZ_ARGS ?=
FUZZ_CORPUS := fuzz/corpus
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=0:strict_init_order=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ARROW_DEFAULT_MEMORY_POOL=system
# The interpreter is not instrumented, so gcc's runtimes are loaded ahead of it; leak detection
# is off because CPython and pyarrow keep their allocations until exit.
SANITIZER_PRELOAD = PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)"

sanitize-build: $(STAMP)
	$(CMAKE) -S . -B $(SANITIZE_DIR)/cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCORVEX_SANITIZE=ON -DCMAKE_CXX_FLAGS="$(SANITIZE_CXXFLAGS)" \
		-DPython_EXECUTABLE="$(abspath $(PY))" >/dev/null
	$(CMAKE) --build $(SANITIZE_DIR)/cmake
	rm -rf $(SANITIZE_DIR)/site && mkdir -p $(SANITIZE_DIR)/site/corvex
	for f in $(abspath src/corvex)/*; do case "$$f" in *.so|*__pycache__) ;; *) ln -s "$$f" $(SANITIZE_DIR)/site/corvex/ ;; esac; done
	cp $(SANITIZE_DIR)/cmake/_corvex_rs*.so $(SANITIZE_DIR)/site/corvex/
	test -x $(SANITIZE_PY) || $(PY) -m venv --without-pip $(SANITIZE_DIR)/venv
	printf '#!%s\nimport sys\nfrom corvex.cli import main\nsys.exit(main())\n' \
		"$(abspath $(SANITIZE_PY))" > $(SANITIZE_DIR)/venv/bin/corvex
	chmod +x $(SANITIZE_DIR)/venv/bin/corvex
	$(SANITIZE_PY) -c 'import sys, sysconfig; open(sysconfig.get_path("purelib") + "/corvex-sanitize.pth", "w").write("\n".join(sys.argv[1:]) + "\n")' \
		"$(abspath $(SANITIZE_DIR)/site)" "$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
	$(SANITIZER_ENV) $(SANITIZER_PRELOAD) $(SANITIZE_PY) -c 'import sys, corvex._corvex_rs as m; sys.exit(None if m.__file__.startswith(sys.argv[1]) else "not the sanitizer build: " + m.__file__)' \
		"$(abspath $(SANITIZE_DIR)/site)"

test-sanitize: sanitize-build
	$(SANITIZER_ENV) $(SANITIZER_PRELOAD) $(SANITIZE_PY) -m pytest -q -p no:cacheprovider

# test-alloc: the allocation-failure injection tests failing every allocation of a call in turn
# (the default suite fails a spread of about a hundred per call); a few minutes.
test-alloc: install
	CORVEX_ALLOC_SWEEP=full $(PY) -m pytest -q -p no:cacheprovider tests/test_alloc_failure.py

# test-tsan: the extension built with ThreadSanitizer, run on the tests that drive the threaded
# record pass (the whole suite takes too long under it for CI).
TSAN_DIR := build/tsan
TSAN_PY := $(TSAN_DIR)/venv/bin/python
TSAN_TESTS ?= tests/test_threads.py tests/test_concurrent_change.py tests/test_assembly.py

test-tsan: $(STAMP)
	$(CMAKE) -S . -B $(TSAN_DIR)/cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVEX_TSAN=ON \
		-DPython_EXECUTABLE="$(abspath $(PY))" >/dev/null
	$(CMAKE) --build $(TSAN_DIR)/cmake
	rm -rf $(TSAN_DIR)/site && mkdir -p $(TSAN_DIR)/site/corvex
	for f in $(abspath src/corvex)/*; do case "$$f" in *.so|*__pycache__) ;; *) ln -s "$$f" $(TSAN_DIR)/site/corvex/ ;; esac; done
	cp $(TSAN_DIR)/cmake/_corvex_rs*.so $(TSAN_DIR)/site/corvex/
	test -x $(TSAN_PY) || $(PY) -m venv --without-pip $(TSAN_DIR)/venv
	$(TSAN_PY) -c 'import sys, sysconfig; open(sysconfig.get_path("purelib") + "/corvex-tsan.pth", "w").write("\n".join(sys.argv[1:]) + "\n")' \
		"$(abspath $(TSAN_DIR)/site)" "$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
	TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0 LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" \
		$(TSAN_PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS)

fuzz-build: $(STAMP)
	$(CMAKE) -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVEX_FUZZ=ON \
		-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_CXX_FLAGS="$(SANITIZE_CXXFLAGS)" \
		-DPython_EXECUTABLE="$(abspath $(PY))" >/dev/null
	$(CMAKE) --build $(FUZZ_DIR)

# New inputs go to $(FUZZ_CORPUS)/work, which persists between runs; the seeds are rewritten
# each time. Crashing inputs land in fuzz/artifacts/. Both directories are git-ignored.
fuzz: fuzz-build
	rm -rf $(FUZZ_CORPUS)/seeds
	$(PY) fuzz/make_seeds.py $(FUZZ_CORPUS)/seeds
	mkdir -p $(FUZZ_CORPUS)/work fuzz/artifacts
	$(SANITIZER_ENV) $(FUZZ_DIR)/ibt_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=$(FUZZ_MAX_LEN) \
		-timeout=10 -dict=fuzz/ibt.dict -artifact_prefix=fuzz/artifacts/ -print_final_stats=1 \
		$(FUZZ_ARGS) $(FUZZ_CORPUS)/work $(FUZZ_CORPUS)/seeds

# The atheris harness over the Python surface (corvex.open and LogFile), seeded like the C++ one;
# its new inputs go to $(FUZZ_CORPUS)/python-work. atheris comes from PyPI (a wheel for 3.13).
fuzz-python: install
	$(PY) -m pip install -q "atheris>=3.1"
	rm -rf $(FUZZ_CORPUS)/python-seeds
	$(PY) fuzz/make_seeds.py $(FUZZ_CORPUS)/python-seeds
	mkdir -p $(FUZZ_CORPUS)/python-work fuzz/artifacts
	$(PY) fuzz/python_fuzzer.py -max_total_time=$(FUZZ_SECONDS) -max_len=$(FUZZ_MAX_LEN) \
		-timeout=10 -rss_limit_mb=4096 -artifact_prefix=fuzz/artifacts/python- \
		-print_final_stats=1 $(FUZZ_ARGS) $(FUZZ_CORPUS)/python-work $(FUZZ_CORPUS)/python-seeds

format:
	clang-format-19 -i native/core/*.h native/core/*.cc native/extension/*.h native/extension/*.cc fuzz/*.cc

clean:
	rm -rf build $(VENV)
