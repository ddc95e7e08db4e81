# Fresh machine:  make demo   (a master and a software slave: the fault tour)
#                 make test   (all tests: pytest and the C++ tests)
# Both create .venv with CPython 3.12 and build the extension on the way.

PYTHON312 ?= $(shell PYENV_VERSION=3.12.1 pyenv which python 2>/dev/null \
                || command -v python3.12 \
                || ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
VENV      := .venv
PY        := $(VENV)/bin/python
BUILD     := build/dev
JOBS      ?= 2

.PHONY: all venv install cpp-build cpp-test cpp-sanitize cpp-tsan py-test test demo bench stubs clean format

all: install

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found (pyenv 3.12.1 or python3.12)"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)

# The installed package, as a host gets it (pip install .), with the extras
# of the tests and the demo (rich).
install: $(PY)
	$(PY) -m pip install -q ".[test,demo]"

# The development build: core, extension, C++ tests, warnings as errors.
cpp-build: $(PY)
	$(PY) -m pip install -q nanobind cmake ninja
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DKESTREL_BUILD_TESTS=ON -DKESTREL_WERROR=ON
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

cpp-test: cpp-build
	$(BUILD)/kestrel_tests --gtest_brief=1

# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
cpp-sanitize: cpp-build
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_TESTS=ON \
	    -DKESTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
	$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build/asan/kestrel_tests --gtest_brief=1

# The C++ tests under ThreadSanitizer (the watchdog's threads above all).
cpp-tsan: cpp-build
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_TESTS=ON \
	    -DKESTREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 build/tsan/kestrel_tests --gtest_brief=1

py-test: install
	cd python/tests && ../../$(PY) -m pytest -q -p no:cacheprovider .

test: cpp-test cpp-sanitize cpp-tsan py-test

# The scripted tour: connect, exchange data, inject every fault class once,
# recover (python -m kestrel demo on a terminal is the live view).
demo: install
	$(PY) -m kestrel demo --script

bench: $(PY)
	$(PY) -m pip install -q nanobind cmake ninja
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DKESTREL_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench -j $(JOBS)
	for b in build/bench/bench_*; do [ -x $$b ] && $$b; done
	for s in bench/*.py; do PYTHONPATH=build/bench/pkg $(PY) $$s; done

# Regenerates the type stubs from the built extension; python/stubs.pat gives
# the argument types that the bindings check themselves.
stubs: cpp-build
	PYTHONPATH=$(BUILD)/pkg $(PY) -m nanobind.stubgen -q -p python/stubs.pat -m kestrel.kestrel \
	    -o python/kestrel/kestrel.pyi

format:
	clang-format -i $$(git ls-files 'cpp/*.hpp' 'cpp/*.h' 'cpp/*.cpp' 'python/bindings/*' 'bench/*.cpp')

clean:
	rm -rf build $(VENV)
