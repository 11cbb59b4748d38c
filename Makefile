# Makefile - the commands the README promises. Each target installs the Debian packages it
# needs (scripts/apt-install.sh leaves alone what is there), configures one preset of
# CMakePresets.json, builds it and runs one thing. `make ci` is what CI runs.
JOBS ?= $(shell nproc)

# What each stage needs on a fresh Debian 12 machine.
RUN_PACKAGES := cmake g++ make pkg-config patch libzmq3-dev cppzmq-dev libseccomp-dev \
	libmicrohttpd-dev
# git: the package checks copy the tracked sources and the packages take the commit's
# time; unzip: the NuGet check lists the package; python3: writes the section-3 manual
# pages; init-system-helpers: the unit's maintainer scripts and the purge check.
TEST_PACKAGES := $(RUN_PACKAGES) googletest libgtest-dev dpkg-dev file binutils lintian \
	man-db systemd init-system-helpers git unzip python3 python3-pytest python3-zmq python3-pip \
	python3-setuptools python3-wheel python3-venv mypy mono-mcs mono-runtime mono-devel mono-utils nuget
MEMCHECK_PACKAGES := $(TEST_PACKAGES) valgrind libc6-dbg
DEB_PACKAGES := $(RUN_PACKAGES) dpkg-dev file binutils lintian man-db systemd \
	init-system-helpers git python3
WINDOWS_PACKAGES := $(RUN_PACKAGES) g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
	wine wine64 dpkg-dev debian-archive-keyring googletest util-linux binutils clang-14 lld-14 \
	llvm-14 zip unzip git file icoutils python3 python3-pip python3-setuptools python3-wheel \
	mono-mcs mono-runtime mono-devel mono-utils nuget
BENCH_PACKAGES := $(RUN_PACKAGES) googletest libgtest-dev gnuplot-nox redis-server \
	redis-tools util-linux strace
SANITIZER_PACKAGES := $(TEST_PACKAGES) libasan8 libubsan1 libtsan2
FUZZ_PACKAGES := $(RUN_PACKAGES) googletest libgtest-dev clang-14 libclang-rt-14-dev
FORMAT_PACKAGES := clang-format git

FUZZ_SECONDS ?= 45
FUZZ_LONG_SECONDS ?= 1800
FUZZ_TARGETS := reply service json_decode json_encode
LOAD_THREADS ?= 16
LOAD_REQUESTS ?= 10000

# $(call configure-build,PRESET[,BUILD OPTIONS]) configures one preset of CMakePresets.json
# and builds it; $(call install-build,PACKAGES,PRESET[,BUILD OPTIONS]) first installs the
# Debian packages it needs. Each line is a recipe line of its own.
define configure-build
cmake --preset $(1)
cmake --build --preset $(1) -j $(JOBS)$(if $(2), $(2))
endef
define install-build
@scripts/apt-install.sh $(1)
$(call configure-build,$(2),$(3))
endef

.PHONY: run test memcheck deb ci-deb windows-sources windows windows-test windows-release bench ci-bench \
	sanitize-asan sanitize-tsan fuzz fuzz-long load ci format lengths clean

# Builds the library, the service and the command-line host (no tests) in build-run/
# (preset run), then runs a script through them.
run:
	$(call install-build,$(RUN_PACKAGES),run)
	@examples/demo.sh build-run

# Everything that runs in a few minutes, on the default tree build/ (tests and
# benchmarks on); ctest's fixtures build the Debian packages that the package checks
# inspect, inside that tree.
test:
	$(call install-build,$(TEST_PACKAGES),default)
	ctest --preset default -j $(JOBS)

# The tests labelled memcheck: the library suite and the host loops under valgrind.
memcheck:
	$(call install-build,$(MEMCHECK_PACKAGES),default)
	ctest --preset memcheck

# The version build-deb/ was configured with, read by the shell when a recipe runs.
DEB_VERSION = "$$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-deb/CMakeCache.txt)"

# The packages in build-deb/, then the same built again from a copy of the sources in
# another folder, which must give the same bytes (a whole second Release build, which is
# why make test leaves it out).
deb:
	$(call install-build,$(DEB_PACKAGES),deb)
	cd build-deb && cpack -G DEB
	timeout 900 tests/package/reproducible_deb.sh "$(CURDIR)" "$(CURDIR)/build-deb" $(DEB_VERSION)

# Installs the packages with apt-get, checks them in place and removes them again.
ci-deb: deb
	timeout 600 tests/package/check_deb.sh --install build-deb $(DEB_VERSION) "$(CURDIR)"

# The explicit download step of the Windows build: the Debian files that
# windows/pinned-packages.txt pins (libzmq's source package, cppzmq's headers), into
# build-sources/, each checked against its pinned SHA-256. apt's own downloader fetches
# them, so nothing beyond apt is needed; configuring the windows preset checks them again.
windows-sources:
	scripts/fetch-windows-sources.sh build-sources

# The DLL and its pick-up folder build-windows/QEL_ZMQ-win64. The Linux service and
# library are built first, in build-run/: the end-to-end test runs the DLL under wine
# against that service, and the NuGet and wheel checks load that library.
windows: windows-sources
	$(call install-build,$(WINDOWS_PACKAGES),run,--target qel-lua-service qel_zmq)
	$(call configure-build,windows)

# wine's server is started before ctest, detached from its pipes, and stopped after.
windows-test: windows
	build-windows/wine-run.sh --boot
	ctest --preset windows -j $(JOBS); status=$$?; build-windows/wine-run.sh --stop; exit $$status

# QEL_ZMQ-VERSION-win64.zip, QelZmq.VERSION.nupkg and qel_zmq-VERSION-py3-none-win_amd64.whl,
# each with its .sha256, in build-windows/.
windows-release: windows
	cmake --build --preset windows --target qel_zmq_win_release
	@ls build-windows/QEL_ZMQ-*-win64.zip* build-windows/QelZmq.*.nupkg* build-windows/qel_zmq-*.whl*

bench:
	$(call install-build,$(BENCH_PACKAGES),release)
	bench/run.sh build-bench docs

# Every benchmark once at a tiny size, so they keep working; nothing is timed.
ci-bench: test
	@scripts/apt-install.sh $(BENCH_PACKAGES)
	bench/run.sh --quick build

sanitize-asan sanitize-tsan: sanitize-%:
	$(call install-build,$(SANITIZER_PACKAGES),$*)
	ctest --preset $* -j $(JOBS)

# Each fuzzer grows its own corpus in build-fuzz/corpus/NAME from the checked-in seeds;
# a crash input lands in build-fuzz/artifacts/ and belongs in tests/fuzz/corpus/NAME/
# afterwards, where ctest replays it on every build.
fuzz fuzz-long:
	$(call install-build,$(FUZZ_PACKAGES),fuzz)
	tests/fuzz/run.sh build-fuzz $(if $(filter fuzz-long,$@),$(FUZZ_LONG_SECONDS),$(FUZZ_SECONDS)) $(FUZZ_TARGETS)

# 16 threads x 10,000 requests against `qel-lua-service --workers 2`.
load: test
	build/tests/load/qel_load --service build/service/qel-lua-service \
		--threads $(LOAD_THREADS) --requests $(LOAD_REQUESTS) --workers 2

ci: test memcheck ci-deb windows-test ci-bench sanitize-asan sanitize-tsan fuzz load

format:
	@scripts/apt-install.sh $(FORMAT_PACKAGES)
	clang-format -i $$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | grep -v '^third_party/')

# The functions of service/, longest first.
lengths:
	@scripts/apt-install.sh universal-ctags python3 git
	@scripts/function-lengths.sh

clean:
	rm -rf build build-run build-bench build-deb build-sources build-windows build-asan build-tsan build-fuzz

# make flake: the whole ctest suite of an already built tree (FLAKE_BUILD, default build/)
# FLAKE_RUNS times in a row (default 20), two tests at a time, beside a busy loop per
# core; prints the failed runs and the tests that failed in each.
FLAKE_BUILD ?= build
FLAKE_RUNS ?= 20
.PHONY: flake
flake:
	tests/flake_loop.sh $(FLAKE_BUILD) $(FLAKE_RUNS)
