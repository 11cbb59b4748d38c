# hardening.mk - sanitizer suites, fuzzing, valgrind host loops and the load test.
# Each stage has its own build directory (see CMakePresets.json) so none of them
# disturbs the default build. Longer runs: `make fuzz-long`, `make load`.
APT_PACKAGES += clang-14 libclang-rt-14-dev valgrind libasan8 libubsan1 libtsan2

CI_TARGETS += sanitize-asan sanitize-tsan fuzz memcheck-loops load

FUZZ_SECONDS ?= 45
FUZZ_LONG_SECONDS ?= 1800
FUZZ_TARGETS := reply service
LOAD_THREADS ?= 16
LOAD_REQUESTS ?= 10000
LOOP_CYCLES ?= 10000
LOOP_EXECUTES ?= 100000

.PHONY: sanitize-asan sanitize-tsan fuzz fuzz-long fuzz-build memcheck-loops load

# The whole test suite (library, service, hardening) under ASan+UBSan, then TSan.
# valgrind cannot run instrumented programs, so the memcheck label is left out.
sanitize-asan: deps
	cmake --preset asan $(CMAKE_FLAGS)
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

sanitize-tsan: deps
	cmake --preset tsan $(CMAKE_FLAGS)
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

fuzz-build: deps
	cmake --preset fuzz $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target \
		$(foreach t,$(FUZZ_TARGETS),qel_fuzz_$(t) qel_fuzz_$(t)_replay)

# Each fuzzer grows its own corpus in build-fuzz/corpus/NAME from the checked-in
# seeds; a crash input lands in build-fuzz/artifacts/ and belongs in
# tests/fuzz/corpus/NAME/ afterwards, where ctest replays it on every build.
define run-fuzzers
	@mkdir -p build-fuzz/artifacts
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p build-fuzz/corpus/$$t; \
		echo "fuzzing $$t for $(1) s (log: build-fuzz/fuzz-$$t.log)"; \
		if build-fuzz/tests/fuzz/qel_fuzz_$$t -max_total_time=$(1) -timeout=20 \
			-rss_limit_mb=2048 -print_final_stats=1 \
			-artifact_prefix=build-fuzz/artifacts/$$t- \
			build-fuzz/corpus/$$t tests/fuzz/corpus/$$t > build-fuzz/fuzz-$$t.log 2>&1; then \
			grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' \
				build-fuzz/fuzz-$$t.log; \
		else \
			tail -n 60 build-fuzz/fuzz-$$t.log; \
			echo "fuzzer $$t failed; input saved in build-fuzz/artifacts/"; \
			exit 1; \
		fi; \
	done
endef

fuzz: fuzz-build
	$(call run-fuzzers,$(FUZZ_SECONDS))

fuzz-long: fuzz-build
	$(call run-fuzzers,$(FUZZ_LONG_SECONDS))

# 10,000 create/connect/execute/free cycles, then 100,000 executes on one handle,
# against the service; any leak or invalid access fails.
memcheck-loops: build
	valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect \
		--errors-for-leak-kinds=definite,indirect --track-fds=no \
		$(BUILD)/tests/hardening/qel_host_loops $(BUILD)/service/qel-lua-service \
		$(LOOP_CYCLES) $(LOOP_EXECUTES)

# 16 threads x 10,000 requests against `qel-lua-service --workers 2`.
load: build
	$(BUILD)/tests/load/qel_load --service $(BUILD)/service/qel-lua-service \
		--threads $(LOAD_THREADS) --requests $(LOAD_REQUESTS) --workers 2
