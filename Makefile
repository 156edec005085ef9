# Two commands from a fresh machine: `make demo` and `make check`.
# Each installs the Debian packages that are missing, configures, builds
# and runs.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

PACKAGES = cmake ninja-build g++ pkg-config zlib1g-dev liblzo2-dev \
           libgtest-dev libarchive-dev g++-mingw-w64-x86-64 \
           libz-mingw-w64-dev

.PHONY: all deps build check check-unit check-asan check-windows demo bench clean

all: build

# Installs only what is missing, as root (or through sudo).
deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

check-unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVMORVEL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# Every core source compiled for Windows against the real system headers.
check-windows: deps
	sh tools/check-windows.sh

check: check-unit check-windows check-asan

demo: build
	sh tools/demo.sh $(BUILD)

bench: build
	@for b in $(BUILD)/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-windows
