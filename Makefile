# Two commands: `make demo` and `make test`. Everything else is a helper for them.
PYTHON_BOOTSTRAP ?= $(shell command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1 && echo python3.13 || ls -d /root/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -1)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
LOCK := flock $(VENV)/.install.lock

.PHONY: venv install demo test test-sanitize bench fuzz format clean

$(STAMP): pyproject.toml
	@test -n "$(PYTHON_BOOTSTRAP)" || { echo "python3.13 not found"; exit 1; }
	test -x $(PY) || $(PYTHON_BOOTSTRAP) -m venv $(VENV)
	$(PY) -m pip install -q -U pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pyarrow>=26,<27" "pyyaml>=6" cmake ninja \
		pytest hypothesis numpy pandas polars matplotlib
	touch $(STAMP)

venv: $(STAMP)

install: $(STAMP)
	$(LOCK) $(PY) -m pip install -q --no-build-isolation --no-deps -e .

demo: install
	$(VENV)/bin/corvex demo

test: install
	$(PY) -m pytest -q

format:
	clang-format-19 -i native/core/*.h native/core/*.cc native/extension/*.h native/extension/*.cc fuzz/*.cc

clean:
	rm -rf build $(VENV)
