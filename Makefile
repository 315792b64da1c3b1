# One entry point for set-up, the developer build, the demo, tests and benchmarks.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DIR := build/dev
BUILD_TYPE ?= RelWithDebInfo
SANITIZE ?= OFF
STAMP := $(VENV)/.deps-$(shell cat constraints.txt requirements-dev.txt | sha1sum | cut -c1-12)

.PHONY: setup build demo test bench format lint asan-test clean

$(PY):
	"$$(scripts/find-python)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade "pip<27"

$(STAMP): $(PY) constraints.txt requirements-dev.txt
	$(PY) -m pip install -q -c constraints.txt -r requirements-dev.txt
	@# The Python sources are used in place; the module is built beside them.
	$(PY) -c "import sysconfig,pathlib; pathlib.Path(sysconfig.get_paths()['purelib'],'corvane-dev.pth').write_text(str(pathlib.Path('python').resolve())+'\n')"
	touch $(STAMP)

setup: $(STAMP) build

# Developer build: one command after any C++ change. Serialised, since several
# shells may build the same tree.
build: $(STAMP)
	@mkdir -p build
	flock build/.lock bash -c '\
	  $(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCORVANE_SANITIZE=$(SANITIZE) \
	    -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null && \
	  $(VENV)/bin/cmake --build $(BUILD_DIR)'

demo: setup
	$(PY) -m corvane.demo $(ARGS)

test: setup
	$(PY) -m pytest -q $(ARGS)

bench: setup
	$(PY) bench/run.py $(ARGS)

format: $(STAMP)
	$(VENV)/bin/clang-format -i src/*/*.cpp src/*/*.h
	$(VENV)/bin/ruff format python tests bench
	$(VENV)/bin/ruff check --fix python tests bench

lint: $(STAMP)
	$(VENV)/bin/clang-format --dry-run -Werror src/*/*.cpp src/*/*.h
	$(VENV)/bin/ruff format --check python tests bench
	$(VENV)/bin/ruff check python tests bench

clean:
	rm -rf build python/corvane/tessmark/trainer/*.so
