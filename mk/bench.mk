# bench.mk - `make bench` runs every benchmark in an optimised build and rewrites
# docs/benchmarks.md and its plot; the CI stage only builds them and runs each once
# at a tiny size, so they keep working without timing anything.
APT_PACKAGES += gnuplot-nox redis-server redis-tools util-linux
CI_TARGETS += ci-bench
BENCH_BUILD ?= build-bench
BENCH_TARGETS := bench_peer bench_roundtrip bench_memory bench_service bench_throughput bench_copy \
	$(if $(wildcard service/CMakeLists.txt),qel-lua-service)

.PHONY: bench ci-bench
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target $(BENCH_TARGETS)
	bench/run.sh $(BENCH_BUILD) docs

ci-bench: build
	bench/run.sh --quick $(BUILD)
