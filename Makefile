# One entry point for set-up, the developer build, the demo, tests and benchmarks.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DIR := build/dev
BUILD_TYPE ?= RelWithDebInfo
SANITIZE ?= OFF
STAMP := $(VENV)/.deps-$(shell cat constraints.txt requirements-dev.txt | sha1sum | cut -c1-12)

.PHONY: setup build demo test bench format lint asan-build asan-test clean

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

# AddressSanitizer + UndefinedBehaviorSanitizer build, in its own copy of the
# Python tree so it never replaces the developer build.
ASAN_DIR := build/asan
ASAN_TESTS ?= tests
asan-build: $(STAMP)
	rm -rf $(ASAN_DIR)/python && mkdir -p $(ASAN_DIR) && cp -r python $(ASAN_DIR)/python
	find $(ASAN_DIR)/python -name '*.so' -delete
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR)/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCORVANE_OUT_DIR=$(abspath $(ASAN_DIR))/python/corvane/tessmark/trainer > /dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR)/cmake

# The interpreter is not instrumented, so the runtime is preloaded; leak checking
# is off because TensorFlow and the interpreter keep memory until exit by design.
asan-test: asan-build
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allow_user_segv_handler=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(abspath $(ASAN_DIR))/python $(PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

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
