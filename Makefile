# make demo   archive, check and extract the running Python's standard library
# make test   install what is missing, build, run the Python and C++ suites
# make bench  compare quastor with zipfile, Info-ZIP and bsdtar
# make tsan   the C++ core and its tests under ThreadSanitizer

PYTHON ?= python3
APT_PACKAGES := g++ pkg-config libdeflate-dev libutf8proc-dev libsodium-dev libisal-dev \
                libgtest-dev libcli11-dev nlohmann-json3-dev zip unzip libarchive-tools p7zip-full
PIP_PACKAGES := scikit-build-core cmake ninja pytest hypothesis
BENCH_PIP_PACKAGES := isal
CPP_BUILD := build/cpp
TSAN_BUILD := build/tsan
JOBS := $(shell nproc)

.PHONY: deps install test test-python test-cpp demo bench tsan clean

deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi
	@$(PYTHON) -m pip install -q --root-user-action=ignore $(PIP_PACKAGES)

install: deps
	$(PYTHON) -m pip install -q --root-user-action=ignore --no-build-isolation \
	  -C cmake.define.QUASTOR_WERROR=ON .

test-python: install
	$(PYTHON) -m pytest -q tests/python

test-cpp: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DQUASTOR_PYTHON=OFF -DQUASTOR_TESTS=ON -DQUASTOR_WERROR=ON
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

test: test-python test-cpp

demo: install
	$(PYTHON) benchmarks/demo.py

bench: install
	@$(PYTHON) -m pip install -q --root-user-action=ignore $(BENCH_PIP_PACKAGES)
	$(PYTHON) benchmarks/bench.py

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DQUASTOR_PYTHON=OFF -DQUASTOR_TESTS=ON -DQUASTOR_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure

clean:
	rm -rf build
