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

.PHONY: all venv install cpp-build cpp-test cpp-sanitize cpp-tsan py-test wheel cpp-host test demo bench stubs clean format campaign soak fuzz

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

# The wheel a host installs (dist/), built once.
wheel: $(PY)
	rm -f dist/kestrel-*.whl
	$(PY) -m pip wheel -q --no-deps -w dist .

# pytest against the installed wheel in a fresh environment, from a directory
# where the source tree's package is not importable: a file missing from the
# wheel fails here.
WHEEL_VENV := .venv-wheel
py-test: wheel
	$(PY) -m venv --clear $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls dist/kestrel-*.whl)[test,demo]"
	cd python/tests && ../../$(WHEEL_VENV)/bin/python -c \
	    "import kestrel; assert '$(WHEEL_VENV)/' in kestrel.__file__, kestrel.__file__"
	cd python/tests && ../../$(WHEEL_VENV)/bin/python -m pytest -q -p no:cacheprovider .

# The C++ package: core alone (no Python), installed under a prefix; the C++
# host example built against that copy with find_package, and run.
cpp-host: $(PY)
	$(PY) -m pip install -q cmake ninja
	$(VENV)/bin/cmake -S . -B build/host -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build/host -j $(JOBS)
	rm -rf build/host/prefix
	$(VENV)/bin/cmake --install build/host --prefix build/host/prefix
	$(VENV)/bin/cmake -S examples/cpp_host -B build/host-example -G Ninja \
	    -DCMAKE_PREFIX_PATH=$(abspath build/host/prefix)
	$(VENV)/bin/cmake --build build/host-example
	build/host-example/cpp_host

test: cpp-test cpp-sanitize cpp-tsan cpp-host py-test

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

# Reliability (README "Reliability"). The fault campaign: a table per fault
# class and frame size; fails when a fault is accepted beyond what the CRCs
# predict. CI runs a sample (CAMPAIGN_FAULTS=1000).
CAMPAIGN_FAULTS ?= 20000
campaign: $(PY)
	$(PY) -m pip install -q cmake ninja
	$(VENV)/bin/cmake -S . -B build/campaign -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_CAMPAIGN=ON \
	    -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build/campaign -j $(JOBS) --target kestrel_campaign
	build/campaign/kestrel_campaign --faults $(CAMPAIGN_FAULTS)

# Long run with random faults: resident memory from a release build (fails
# when it grows), then the same run under AddressSanitizer/LeakSanitizer.
SOAK_CYCLES ?= 10000000
soak: campaign
	$(VENV)/bin/cmake --build build/campaign -j $(JOBS) --target kestrel_soak
	build/campaign/kestrel_soak --cycles $(SOAK_CYCLES)
	$(VENV)/bin/cmake -S . -B build/soak -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_CAMPAIGN=ON \
	    -DKESTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/soak -j $(JOBS) --target kestrel_soak
	ASAN_OPTIONS=detect_leaks=1 build/soak/kestrel_soak --cycles $(SOAK_CYCLES)

# libFuzzer harnesses under ASan+UBSan (needs clang: apt-get install clang),
# FUZZ_SECONDS each, starting from the seeds in fuzz/corpus/<harness>.
FUZZ_SECONDS ?= 20
FUZZ_HARNESSES := frame set_reply dynamic_map dictionary_map slave_step
fuzz: $(PY)
	$(PY) -m pip install -q cmake ninja
	CC=clang CXX=clang++ $(VENV)/bin/cmake -S . -B build/fuzz -G Ninja -DKESTREL_BUILD_PYTHON=OFF \
	    -DKESTREL_BUILD_FUZZ=ON -DKESTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/fuzz -j $(JOBS)
	for h in $(FUZZ_HARNESSES); do mkdir -p build/fuzz/corpus/$$h; \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build/fuzz/fuzz_$$h -max_total_time=$(FUZZ_SECONDS) \
	        -print_final_stats=1 build/fuzz/corpus/$$h fuzz/corpus/$$h > build/fuzz/$$h.log 2>&1 \
	        || { tail -n 60 build/fuzz/$$h.log; exit 1; }; \
	    echo "fuzz_$$h: $$(grep -h number_of_executed_units build/fuzz/$$h.log)"; done

# Regenerates the type stubs from the built extension; python/stubs.pat gives
# the argument types that the bindings check themselves.
stubs: cpp-build
	PYTHONPATH=$(BUILD)/pkg $(PY) -m nanobind.stubgen -q -p python/stubs.pat -m kestrel.kestrel \
	    -o python/kestrel/kestrel.pyi

format:
	clang-format -i $$(git ls-files 'cpp/*.hpp' 'cpp/*.h' 'cpp/*.cpp' 'python/bindings/*' 'bench/*.cpp')

clean:
	rm -rf build $(VENV)
