# Makefile - the short commands the README promises: `make run` and `make test`.
# Each stage installs the Debian packages it needs when they are missing; extra
# stages (windows, bench, hardening...) live in mk/*.mk and register themselves.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

APT_PACKAGES := cmake g++ make pkg-config libzmq3-dev cppzmq-dev googletest libgtest-dev \
	liblua5.4-dev valgrind libc6-dbg python3 python3-pytest python3-zmq
# Stages that `make ci` runs after the test suite, what `make test` builds first and
# the environment its ctest run gets; mk/*.mk append to these.
CI_TARGETS :=
TEST_PREREQS :=
TEST_ENV :=

.PHONY: all deps build run test memcheck ci format clean
all: build

include $(sort $(wildcard mk/*.mk))

deps:
	@scripts/apt-install.sh $(APT_PACKAGES)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@examples/demo.sh $(BUILD)

test: build $(TEST_PREREQS)
	cd $(BUILD) && $(TEST_ENV) ctest --output-on-failure -j $(JOBS) -LE memcheck

# The library's test suite under valgrind memcheck: no leak, no invalid access.
memcheck: build
	cd $(BUILD) && ctest --output-on-failure -L memcheck

ci: test memcheck $(CI_TARGETS)

format:
	clang-format -i $$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')

clean:
	rm -rf $(BUILD)
