# Quick start: `make demo` and `make test` each do all set-up on a fresh Debian 12 machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
WRENFOLD_WERROR ?= OFF
MAKEFLAGS += --no-print-directory

# The Debian packages each entry point needs; each installs only its own, and only when missing.
DEMO_PACKAGES := cmake make g++ zlib1g-dev gzip libisal-dev
TEST_PACKAGES := $(DEMO_PACKAGES) pkg-config googletest libgtest-dev libgmock-dev python3 pigz
BENCH_PACKAGES := $(DEMO_PACKAGES) valgrind pigz
FUZZ_PACKAGES := $(DEMO_PACKAGES) clang libclang-rt-14-dev
DOCS_PACKAGES := $(DEMO_PACKAGES) doxygen
INSTALL := sh tools/install-packages.sh

# configure(OPTIONS): cmake's own chatter goes to a log, shown only when it fails.
define configure
	@mkdir -p $(BUILD)
	@echo "configuring $(BUILD)"
	@cmake -S . -B $(BUILD) -DWRENFOLD_WERROR=$(WRENFOLD_WERROR) $(1) $(CMAKE_ARGS) \
	  >$(BUILD)/configure.log 2>&1 || { cat $(BUILD)/configure.log; exit 1; }
endef

.PHONY: all build test demo bench fuzz docs format clean

all: build

build:
	@$(INSTALL) "make build" $(TEST_PACKAGES)
	$(call configure,-DWRENFOLD_BUILD_TESTS=ON -DWRENFOLD_BUILD_EXAMPLES=ON)
	@cmake --build $(BUILD) -j $(JOBS)

# Everything the tests need, every test target, then every test.
test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Only the libraries (zlib and ISA-L engines) and the example program.
demo:
	@$(INSTALL) "make demo" $(DEMO_PACKAGES)
	$(call configure,-DWRENFOLD_BUILD_TESTS=OFF -DWRENFOLD_BUILD_EXAMPLES=ON -DWRENFOLD_BUILD_BENCH=OFF)
	@cmake --build $(BUILD) -j $(JOBS) --target wrenfold-pipe
	@sh examples/demo.sh $(BUILD)

# Speed against plain zlib in the same run; not part of `make test`.
bench:
	@$(INSTALL) "make bench" $(BENCH_PACKAGES)
	$(call configure,-DWRENFOLD_BUILD_BENCH=ON)
	@cmake --build $(BUILD) -j $(JOBS)
	@sh bench/run.sh $(BUILD)

# Coverage-guided fuzzing with clang's libFuzzer, FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 60
fuzz:
	@$(INSTALL) "make fuzz" $(FUZZ_PACKAGES)
	@FUZZ_SECONDS=$(FUZZ_SECONDS) sh fuzz/run.sh

# The API reference from the public headers, into $(BUILD)/docs/html; a warning fails it.
docs:
	@$(INSTALL) "make docs" $(DOCS_PACKAGES)
	$(call configure,)
	@mkdir -p $(BUILD)/docs
	@WRENFOLD_VERSION=$$(sed -n 's/^#define WRENFOLD_VERSION_STRING "\(.*\)"/\1/p' \
	    $(BUILD)/include/wrenfold/version.hpp) \
	  WRENFOLD_DOCS_OUT=$(BUILD)/docs WRENFOLD_GENERATED=$(BUILD)/include doxygen docs/Doxyfile
	@echo "API reference: $(BUILD)/docs/html/index.html"

format:
	clang-format -i $$(git ls-files '*.hpp' '*.cpp')

clean:
	rm -rf $(BUILD)
