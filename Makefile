# Varnok: the two everyday commands.
#   make run   install what is missing, build, start Varnok from the demo folder
#   make test  install what is missing, build, run every test (also under sanitizers)

BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)
DEMO       := $(BUILD)/demo

.PHONY: all deps build build-asan test test-fast test-asan run demo format clean

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

test: test-fast test-asan

demo: build
	@./scripts/make-demo.sh $(BUILD) $(DEMO)

run: demo
	@./scripts/run-demo.sh $(DEMO)

format:
	find src tests tools bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
