# Varnok: the two everyday commands.
#   make run   install what the program needs, build it (tests and benchmarks off, in its
#              own folder), start Varnok from the demo folder; make demo-reset lays the
#              demo's files out afresh
#   make test  install what is missing, build, run every test (also under sanitizers)
#              and a short run of each fuzz target
#   make bench build for release (in its own folder) and print the benchmark table
#   make fuzz  a long run of each fuzz target: FUZZ_SECONDS each (default 180)
#   make soak  the long soak: SOAK_PRODUCERS x SOAK_COMMANDS (default 1000 x 100, ~2.5 h)
#   make package  the Debian package (build-pkg/varnok_<version>_<arch>.deb);
#              make package-test checks it (part of make test)

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_RELEASE ?= build-release
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 180
SOAK_PRODUCERS ?= 1000
SOAK_COMMANDS ?= 100
JOBS       ?= $(shell nproc)
BUILD_RUN  ?= build-run
DEMO       := $(BUILD_RUN)/demo

.PHONY: all deps deps-run build build-run build-asan build-fuzz test test-fast test-asan test-fuzz \
        fuzz run demo demo-reset \
        format clean bench soak

all: build

deps:
	@./scripts/install-deps.sh

# What the program and the demo need, and nothing that only tests use.
deps-run:
	@./scripts/install-deps.sh run

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

test: test-fast test-asan test-fuzz package-test

# The program and the encoder simulator alone, in a folder of their own, so
# that make run and make test never rebuild each other.
build-run: deps-run
	cmake -S . -B $(BUILD_RUN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOK_TESTS=OFF -DVARNOK_BENCH=OFF
	cmake --build $(BUILD_RUN) -j$(JOBS) --target varnok varnok-encoder-sim

# Lays out the demo's files that are missing; edits to those there are kept.
demo: build-run
	@./scripts/make-demo.sh $(BUILD_RUN) $(DEMO)

# Lays the demo's files out afresh: configuration, lists, now-playing file,
# and the encoders' logs.
demo-reset: build-run
	@./scripts/make-demo.sh $(BUILD_RUN) $(DEMO) --reset

run: demo
	@./scripts/run-demo.sh $(DEMO)

# The real program in Release, measured against its yardsticks in one run;
# the table (Markdown) goes to standard output, progress to standard error.
bench: deps
	cmake -S . -B $(BUILD_RELEASE) -DCMAKE_BUILD_TYPE=Release -DVARNOK_TESTS=OFF -DVARNOK_BENCH=ON
	cmake --build $(BUILD_RELEASE) -j$(JOBS) --target varnok_bench_table
	$(BUILD_RELEASE)/bench/varnok_bench_table

# The soak test at full size: every producer's commands to four encoder
# simulators, at most ~45 sends a second, so 1000 x 100 takes about 2.5 hours.
# make test runs the same test at 100 x 5.
soak: build
	VARNOK_SOAK_PRODUCERS=$(SOAK_PRODUCERS) VARNOK_SOAK_COMMANDS=$(SOAK_COMMANDS) \
	  $(BUILD)/tests/app/app_tests --gtest_filter='Soak.*'

format:
	find src tests tools bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_RUN) $(BUILD_ASAN) $(BUILD_FUZZ) $(BUILD_PKG)

# The Debian package, built in its own folder with Debian's flags (hardening
# included; packaging/strip.cmake strips the program):
# $(BUILD_PKG)/varnok_<version>_<arch>.deb.
# make package-test checks it (contents, unit, lintian, the service protocol
# of the packaged program); it uses test programs of $(BUILD).
BUILD_PKG ?= build-pkg
PKG_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get

.PHONY: package package-test

package: deps
	cmake -S . -B $(BUILD_PKG) -DCMAKE_BUILD_TYPE=None -DVARNOK_TESTS=OFF -DVARNOK_BENCH=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_CXX_FLAGS="$(shell $(PKG_FLAGS) CPPFLAGS) $(shell $(PKG_FLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(shell $(PKG_FLAGS) LDFLAGS)"
	cmake --build $(BUILD_PKG) -j$(JOBS)
	rm -f $(BUILD_PKG)/varnok_*.deb
	cmake --build $(BUILD_PKG) --target package

package-test: package build
	./tests/install/package_test.sh $(BUILD_PKG) $(BUILD)
