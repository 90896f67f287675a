# Quick start: `make demo` and `make test` each do all set-up on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
WRENFOLD_WERROR ?= OFF

# Debian packages the build, the tests, the demo, the benchmarks and the fuzzers use.
PACKAGES := cmake make g++ pkg-config zlib1g-dev googletest libgtest-dev libgmock-dev \
            libbenchmark-dev gzip python3 clang libclang-rt-14-dev valgrind clang-format

.PHONY: all deps configure build test demo bench fuzz format clean

all: build

# Installs what is missing when run as root; otherwise only says what is missing.
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	    | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing: $$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	  else \
	    echo "missing Debian packages (install them as root): $$missing"; \
	  fi; \
	fi

configure:
	cmake -S . -B $(BUILD) -DWRENFOLD_WERROR=$(WRENFOLD_WERROR) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	sh examples/demo.sh $(BUILD)

# Speed against plain zlib in the same run; not part of `make test`.
bench: deps
	$(MAKE) build CMAKE_ARGS="$(CMAKE_ARGS) -DWRENFOLD_BUILD_BENCH=ON"
	sh bench/run.sh $(BUILD)

# Coverage-guided fuzzing with clang's libFuzzer, FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) sh fuzz/run.sh

format:
	clang-format -i $$(git ls-files '*.hpp' '*.cpp')

clean:
	rm -rf $(BUILD)
