# make run: set up, build and run the sample job.  make test: every test.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
CORE_BUILD ?= build/core
SANITIZE ?= address,undefined
FUZZ_SECONDS ?= 60
APT_PACKAGES := libtbb-dev libgtest-dev
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev

.PHONY: bench-deps run test apt venv build core-test python-test alloc-stats-test fuzz sanitize clean integration

run: build
	$(VENV)/bin/quillscore

test: core-test python-test

# Debian packages, installed only when missing.
apt:
	@missing=""; for p in $(APT_PACKAGES) $(EXTRA_APT); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.deps: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja "pytest>=8" pycocotools lvis orjson
	touch $@

venv: $(VENV)/.deps

build: apt venv
	$(PY) -m pip install -q --no-build-isolation --no-deps $(PIP_BUILD_FLAGS) .

core-test: apt
	cmake -S . -B $(CORE_BUILD) -G Ninja -DQUILLSCORE_TESTS=ON -DQUILLSCORE_MODULE=OFF $(CMAKE_FLAGS)
	cmake --build $(CORE_BUILD)
	ctest --test-dir $(CORE_BUILD) --output-on-failure -j2

python-test: build
	$(VENV)/bin/pytest -q

# The Python suite against the counting allocator, built in a venv of its own.
alloc-stats-test:
	QUILLSCORE_ALLOC_STATS=ON $(MAKE) python-test VENV=.venv-alloc-stats \
	  PIP_BUILD_FLAGS="-C build-dir=build/alloc-stats"

# The core's tests under sanitizers: SANITIZE=address,undefined or thread.
# Debian's TBB is not built for the thread sanitizer, so its task hand-overs
# look like races; tests/core/tsan.supp says why it is suppressed.
sanitize:
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/core/tsan.supp $$TSAN_OPTIONS" \
	$(MAKE) core-test CORE_BUILD=build/core-$(subst $(comma),-,$(SANITIZE)) \
	  CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DQUILLSCORE_SANITIZE=$(SANITIZE)"
comma := ,

# libFuzzer under ASan and UBSan, FUZZ_SECONDS for each target.
fuzz:
	$(MAKE) apt EXTRA_APT="$(FUZZ_APT_PACKAGES)"
	cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++
	cmake --build build/fuzz
	@failed=""; for t in build/fuzz/fuzz_*; do \
	  [ -x $$t ] || continue; \
	  name=$$(basename $$t); name=$${name#fuzz_}; \
	  mkdir -p fuzz/corpus/$$name fuzz/out; \
	  echo "== $$name ($(FUZZ_SECONDS)s)"; \
	  seeds=""; [ -d fuzz/regressions/$$name ] && seeds=fuzz/regressions/$$name; \
	  $$t -max_total_time=$(FUZZ_SECONDS) -timeout=30 -print_final_stats=1 \
	    -artifact_prefix=fuzz/out/$$name- fuzz/corpus/$$name $$seeds || failed="$$failed $$name"; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: failures in:$$failed (inputs in fuzz/out/)"; exit 1; fi

clean:
	rm -rf build $(VENV)

# Peers measured by the benchmarks in bench/ (not needed by the tests).
bench-deps: venv
	$(PY) -m pip install -q faster-coco-eval

# torchmetrics run unchanged on quillscore standing in for pycocotools
# (tests/integration), in a venv of its own: torch and torchvision take
# about 5.5 GB, so this is not part of `make test`.
INTEGRATION_VENV ?= .venv-integration
INTEGRATION_PY = $(INTEGRATION_VENV)/bin/python

$(INTEGRATION_PY):
	$(PYTHON) -m venv $(INTEGRATION_VENV)
	$(INTEGRATION_PY) -m pip install -q --upgrade pip
	$(INTEGRATION_PY) -m pip install -q torch==2.14.1 torchvision==0.29.1 torchmetrics pycocotools

integration: apt $(INTEGRATION_PY)
	$(INTEGRATION_PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja "pytest>=8"
	$(INTEGRATION_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/integration .
	$(INTEGRATION_PY) -m pytest -q tests/integration
