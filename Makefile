# Fresh machine:  make demo   (a master and a software slave: the fault tour; 77 s measured)
#                 make test   (every test once: C++, the C++ package, pytest on the wheel; 4 min)
#                 make check  (the longer checks: ASan+UBSan, TSan, fault campaign, fuzzing; 22 min)
# Each installs what it needs and is missing (tools/setup.sh) and creates .venv with
# CPython 3.12 on the way. Every phase prints one line starting with "==>".

VENV      := .venv
PY        := $(VENV)/bin/python
BUILD     := build/dev
JOBS      ?= 2
SETUP     := bash tools/setup.sh

.PHONY: all venv install cpp-build cpp-test cpp-sanitize cpp-tsan py-test wheel cpp-host test check demo bench \
        stubs clean format campaign soak fuzz hostile-sanitize

all: install

# The tools every target uses, installed once into .venv (pip, from the registry).
TOOLS := nanobind cmake ninja scikit-build-core pytest rich
$(VENV)/.tools:
	@$(SETUP) python
	@py=$$($(SETUP) --print-python) && echo "==> creating $(VENV) with CPython 3.12 ($$py)" && $$py -m venv $(VENV)
	@echo "==> pip: installing the build and test tools into $(VENV) ($(TOOLS))"
	@$(PY) -m pip install -q --upgrade pip $(TOOLS)
	@touch $@

venv: $(VENV)/.tools

# The installed package, as a host gets it (pip install .), with the extras of the
# tests and the demo (rich). The build directory build/cp312-* is kept, so a second
# run rebuilds only what changed.
install: $(VENV)/.tools
	@$(SETUP) cxx
	@echo "==> pip install .[test,demo]: building the C++ core and the extension module (Release; about a minute on 2 cores the first time)"
	@$(PY) -m pip install -q --no-build-isolation ".[test,demo]"

# The development build: core, extension, C++ tests, warnings as errors.
cpp-build: $(VENV)/.tools
	@$(SETUP) cxx gtest
	@echo "==> building the core, the extension and the C++ tests in $(BUILD) (warnings as errors)"
	@$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DKESTREL_BUILD_TESTS=ON -DKESTREL_WERROR=ON >/dev/null
	@$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

cpp-test: cpp-build
	@bash tools/check-layers.sh
	@echo "==> C++ tests (GoogleTest)"
	@$(BUILD)/kestrel_tests --gtest_brief=1

# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
cpp-sanitize: $(VENV)/.tools
	@$(SETUP) cxx gtest
	@echo "==> building the core and the C++ tests under ASan+UBSan (build/asan)"
	@$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_TESTS=ON \
	    -DKESTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	@echo "==> C++ tests under ASan+UBSan"
	@UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build/asan/kestrel_tests --gtest_brief=1

# The C++ tests under ThreadSanitizer (the watchdog's threads above all).
cpp-tsan: $(VENV)/.tools
	@$(SETUP) cxx gtest
	@echo "==> building the core and the C++ tests under TSan (build/tsan)"
	@$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_TESTS=ON \
	    -DKESTREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(VENV)/bin/cmake --build build/tsan -j $(JOBS)
	@echo "==> C++ tests under TSan"
	@TSAN_OPTIONS=halt_on_error=1 build/tsan/kestrel_tests --gtest_brief=1

# The wheel a host installs (dist/); it shares the build directory with `install`.
wheel: $(VENV)/.tools
	@$(SETUP) cxx
	@echo "==> building the wheel (dist/; the core and the extension, Release)"
	@rm -f dist/kestrel-*.whl
	@$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist .

# pytest against the installed wheel in a fresh environment, from a directory
# where the source tree's package is not importable: a file missing from the
# wheel fails here.
WHEEL_VENV := .venv-wheel
py-test: wheel
	@$(SETUP) tmux
	@echo "==> pip: installing the wheel into a fresh $(WHEEL_VENV)"
	@$(PY) -m venv --clear $(WHEEL_VENV)
	@$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls dist/kestrel-*.whl)[test,demo]"
	@cd python/tests && ../../$(WHEEL_VENV)/bin/python -c \
	    "import kestrel; assert '$(WHEEL_VENV)/' in kestrel.__file__, kestrel.__file__"
	@echo "==> pytest against the wheel"
	@cd python/tests && ../../$(WHEEL_VENV)/bin/python -m pytest -q -p no:cacheprovider .

# The C++ package: the core from the development build installed under a prefix;
# the C++ host example built against that copy with find_package, and run.
cpp-host: cpp-build
	@echo "==> the C++ package: cmake --install $(BUILD), the host example built with find_package(kestrel) and run"
	@rm -rf build/host/prefix
	@$(VENV)/bin/cmake --install $(BUILD) --prefix build/host/prefix >/dev/null
	@$(VENV)/bin/cmake -S examples/cpp_host -B build/host-example -G Ninja \
	    -DCMAKE_PREFIX_PATH=$(abspath build/host/prefix) >/dev/null
	@$(VENV)/bin/cmake --build build/host-example
	@build/host-example/cpp_host

# Every test once.
test: cpp-test cpp-host py-test
	@echo "==> make test: all passed"

# The longer checks, after `make test` in CI: the C++ tests under the sanitizers, a
# sample of the fault campaign and of the hostile-host campaign (plain, ASan+UBSan,
# TSan) and each fuzz harness for a short while.
check: cpp-sanitize cpp-tsan
	@$(MAKE) --no-print-directory campaign CAMPAIGN_FAULTS=1000 HOSTILE_EVENTS=200000
	@$(MAKE) --no-print-directory hostile-sanitize HOSTILE_EVENTS=50000
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=20
	@echo "==> make check: all passed"

# The scripted tour: connect, exchange data, inject every fault class once,
# recover (python -m kestrel demo on a terminal is the live view).
demo: install
	@echo "==> python -m kestrel demo --script"
	@$(PY) -m kestrel demo --script

bench: $(VENV)/.tools
	@$(SETUP) cxx benchmark
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DKESTREL_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench -j $(JOBS)
	for b in build/bench/bench_*; do [ -x $$b ] && $$b; done
	PYTHONPATH=build/bench/pkg $(PY) -m kestrel bench
	for s in bench/*.py; do PYTHONPATH=build/bench/pkg $(PY) $$s; done

# Reliability (README "Reliability"). The fault campaign: a table per fault
# class and frame size; fails when a fault is accepted beyond what the CRCs
# predict. Then the hostile-host campaign: HOSTILE_EVENTS events with hostile
# callbacks of every kind on both threads, the invariants after each; fails on
# a violation or a mutex hold over 100 ms. make check runs samples
# (CAMPAIGN_FAULTS=1000, HOSTILE_EVENTS=200000).
CAMPAIGN_FAULTS ?= 20000
HOSTILE_EVENTS ?= 1000000
campaign: $(VENV)/.tools
	@$(SETUP) cxx
	@echo "==> fault campaign: $(CAMPAIGN_FAULTS) faults per row (build/campaign)"
	$(VENV)/bin/cmake -S . -B build/campaign -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_CAMPAIGN=ON \
	    -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build/campaign -j $(JOBS) --target kestrel_campaign kestrel_hostile
	build/campaign/kestrel_campaign --faults $(CAMPAIGN_FAULTS)
	@echo "==> hostile-host campaign: $(HOSTILE_EVENTS) events"
	build/campaign/kestrel_hostile --events $(HOSTILE_EVENTS)

# The hostile-host campaign under ASan+UBSan and under TSan, in the builds of
# cpp-sanitize and cpp-tsan (only the runner is added).
hostile-sanitize: $(VENV)/.tools
	@$(SETUP) cxx gtest
	@echo "==> hostile-host campaign under ASan+UBSan: $(HOSTILE_EVENTS) events (build/asan)"
	@$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_TESTS=ON \
	    -DKESTREL_BUILD_CAMPAIGN=ON -DKESTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@$(VENV)/bin/cmake --build build/asan -j $(JOBS) --target kestrel_hostile
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	    build/asan/kestrel_hostile --events $(HOSTILE_EVENTS)
	@echo "==> hostile-host campaign under TSan: $(HOSTILE_EVENTS) events (build/tsan)"
	@$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DKESTREL_BUILD_PYTHON=OFF -DKESTREL_BUILD_TESTS=ON \
	    -DKESTREL_BUILD_CAMPAIGN=ON -DKESTREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(VENV)/bin/cmake --build build/tsan -j $(JOBS) --target kestrel_hostile
	TSAN_OPTIONS=halt_on_error=1 build/tsan/kestrel_hostile --events $(HOSTILE_EVENTS)

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

# libFuzzer harnesses under ASan+UBSan (clang, installed when missing),
# FUZZ_SECONDS each, starting from the seeds in fuzz/corpus/<harness>.
FUZZ_SECONDS ?= 20
FUZZ_HARNESSES := frame set_reply dynamic_map dictionary_map slave_step ecat differential hostile
fuzz: $(VENV)/.tools
	@$(SETUP) clang
	@echo "==> fuzzing: each harness $(FUZZ_SECONDS) s under ASan+UBSan (build/fuzz)"
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
