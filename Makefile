# Two commands: `make demo` and `make test`. Everything else is a helper for them.
PYTHON_BOOTSTRAP ?= $(shell command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1 && echo python3.13 || ls -d /root/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -1)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
LOCK := flock $(VENV)/.install.lock

.PHONY: venv install demo test test-sanitize bench bench-dataset fuzz fuzz-build format clean

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

test-sanitize: $(STAMP)
	$(CMAKE) -S . -B $(SANITIZE_DIR)/cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCORVEX_SANITIZE=ON -DCMAKE_CXX_FLAGS="$(SANITIZE_CXXFLAGS)" \
		-DPython_EXECUTABLE="$(abspath $(PY))" >/dev/null
	$(CMAKE) --build $(SANITIZE_DIR)/cmake
	rm -rf $(SANITIZE_DIR)/site && mkdir -p $(SANITIZE_DIR)/site/corvex
	ln -s $(abspath src/corvex)/*.py $(SANITIZE_DIR)/site/corvex/
	cp $(SANITIZE_DIR)/cmake/_corvex_rs*.so $(SANITIZE_DIR)/site/corvex/
	test -x $(SANITIZE_PY) || $(PY) -m venv --without-pip $(SANITIZE_DIR)/venv
	printf '#!%s\nimport sys\nfrom corvex.cli import main\nsys.exit(main())\n' \
		"$(abspath $(SANITIZE_PY))" > $(SANITIZE_DIR)/venv/bin/corvex
	chmod +x $(SANITIZE_DIR)/venv/bin/corvex
	$(SANITIZE_PY) -c 'import sys, sysconfig; open(sysconfig.get_path("purelib") + "/corvex-sanitize.pth", "w").write("\n".join(sys.argv[1:]) + "\n")' \
		"$(abspath $(SANITIZE_DIR)/site)" "$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
	$(SANITIZER_ENV) $(SANITIZER_PRELOAD) $(SANITIZE_PY) -c 'import sys, corvex._corvex_rs as m; sys.exit(None if m.__file__.startswith(sys.argv[1]) else "not the sanitizer build: " + m.__file__)' \
		"$(abspath $(SANITIZE_DIR)/site)"
	$(SANITIZER_ENV) $(SANITIZER_PRELOAD) $(SANITIZE_PY) -m pytest -q -p no:cacheprovider

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

format:
	clang-format-19 -i native/core/*.h native/core/*.cc native/extension/*.h native/extension/*.cc fuzz/*.cc

clean:
	rm -rf build $(VENV)
