# Thin wrapper over CMake. `make run` builds and runs morvask on the bundled
# example; `make test` builds and runs every test, plain and under sanitizers,
# and builds an optimised GCC build and a clang build, all with warnings as
# errors.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja
# The project's own runs hold the code to no warnings; a user's build does not
# stop on a warning a newer compiler finds.
TEST_FLAGS := -DVANTRIX_WERROR=ON

.PHONY: all deps build run test test-plain test-asan test-tsan test-release test-clang bench fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

run: build
	@scripts/run-example

test: test-plain test-asan test-tsan test-release test-clang

test-plain: deps
	@cmake -S . -B build $(CMAKE_FLAGS) $(TEST_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)
	@cd build && ctest -j $(JOBS) --output-on-failure

test-asan: deps
	@cmake -S . -B build-asan $(CMAKE_FLAGS) $(TEST_FLAGS) -DVANTRIX_SANITIZE=ON -DVANTRIX_BENCH=OFF >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

test-tsan: deps
	@cmake -S . -B build-tsan $(CMAKE_FLAGS) $(TEST_FLAGS) -DVANTRIX_TSAN=ON -DVANTRIX_BENCH=OFF >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && ctest -j $(JOBS) --output-on-failure

# Optimising builds see warnings (-Wrestrict and the like) the default one
# does not; the benchmarks are built too, so they compile warning-free.
test-release: deps
	@cmake -S . -B build-release $(CMAKE_FLAGS) $(TEST_FLAGS) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-release -j $(JOBS)
	@cd build-release && ctest -j $(JOBS) --output-on-failure

test-clang: deps
	@cmake -S . -B build-clang $(CMAKE_FLAGS) $(TEST_FLAGS) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-clang -j $(JOBS)
	@cd build-clang && ctest -j $(JOBS) --output-on-failure

# A program that fails does not stop the others; the target fails at the end
# and names them.
bench: build
	@failed=""; \
	for b in build/bench/*_bench; do echo "== $$b"; $$b || failed="$$failed $${b##*/}"; done; \
	if [ -n "$$failed" ]; then echo "== failed:$$failed"; exit 1; fi

fuzz: deps
	@cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  -DVANTRIX_FUZZ=ON -DVANTRIX_TESTS=OFF -DVANTRIX_BENCH=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-release build-clang build-fuzz
