# Varnok: the two everyday commands.
#   make run   install what is missing, build, start Varnok from the demo folder
#   make test  install what is missing, build, run every test (also under sanitizers)
#              and a short run of each fuzz target
#   make bench build for release (in its own folder) and print the benchmark table
#   make fuzz  a long run of each fuzz target: FUZZ_SECONDS each (default 180)

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_RELEASE ?= build-release
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 180
JOBS       ?= $(shell nproc)
DEMO       := $(BUILD)/demo

.PHONY: all deps build build-asan build-fuzz test test-fast test-asan test-fuzz fuzz run demo \
        format clean bench

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DVARNOK_SANITIZE=ON -DVARNOK_BENCH=OFF
	cmake --build $(BUILD_ASAN) -j$(JOBS)

test-fast: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j$(JOBS)

# The fuzz targets and the four libraries they link, built with clang.
build-fuzz: deps
	cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DVARNOK_FUZZ=ON -DVARNOK_DESKTOP=OFF -DVARNOK_TESTS=OFF -DVARNOK_BENCH=OFF
	cmake --build $(BUILD_FUZZ) -j$(JOBS) --target varnok_fuzzers

# A few seconds of each target with a fixed seed and count (see fuzz/CMakeLists.txt).
test-fuzz: build-fuzz
	ctest --test-dir $(BUILD_FUZZ) --output-on-failure -j$(JOBS)

fuzz: build-fuzz
	./fuzz/run-all.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

test: test-fast test-asan test-fuzz

demo: build
	@./scripts/make-demo.sh $(BUILD) $(DEMO)

run: demo
	@./scripts/run-demo.sh $(DEMO)

# The real program in Release, measured against its yardsticks in one run;
# the table (Markdown) goes to standard output, progress to standard error.
bench: deps
	cmake -S . -B $(BUILD_RELEASE) -DCMAKE_BUILD_TYPE=Release -DVARNOK_TESTS=OFF -DVARNOK_BENCH=ON
	cmake --build $(BUILD_RELEASE) -j$(JOBS) --target varnok_bench_table
	$(BUILD_RELEASE)/bench/varnok_bench_table

format:
	find src tests tools bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ)
