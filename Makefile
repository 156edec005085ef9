# SPDX-License-Identifier: GPL-2.0-or-later
# Two commands from a fresh machine: `make demo` and `make check`.
# Each installs the Debian packages that are missing, configures, builds
# and runs.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
SECONDS    ?= 60
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

PACKAGES = cmake ninja-build g++ pkg-config zlib1g-dev liblzo2-dev \
           libgtest-dev libarchive-dev
# The Windows build: MinGW-w64's posix thread model compiler, static zlib,
# GoogleTest's source, dpkg-source for LZO's source package, and wine64,
# which runs the suite.
WINDOWS_PACKAGES = cmake ninja-build make g++-mingw-w64-x86-64-posix \
                   libz-mingw-w64-dev googletest dpkg-dev wine64
WINDOWS_BUILD ?= build-windows
# The fuzz build needs clang and its libFuzzer runtime, and no more than
# configuring asks for; `make check` needs neither.
FUZZ_PACKAGES = cmake ninja-build clang-14 libclang-rt-14-dev pkg-config \
                zlib1g-dev liblzo2-dev libgtest-dev libarchive-dev time
# The benchmark's peers and instruments, and the Python that runs it.
BENCH_PACKAGES = lzop pigz hyperfine strace time python3 tar gzip
# The real Samba server and client `make check-interop` checks against.
INTEROP_PACKAGES = samba smbclient samba-vfs-modules acl

# `make bench` writes its trees once under BENCH_TREES and reuses them;
# BENCH_QUICK=1 uses small trees and one run each (a smoke test whose
# numbers mean nothing), kept apart from the full ones. BENCH_BEFORE=PATH
# names an earlier build's kvmorvel, measured beside the current one in
# the same run for a before-and-after table. BENCH_ONLY=A,C measures only
# the trees named (tree B takes the longest where making files is slow).
# BENCH_RUNS=N caps the timed runs of each command at N.
BENCH_DIR   ?= $(BUILD)/bench
BENCH_ONLY  ?= A,B,C
BENCH_QUICK ?=
BENCH_MODE   = $(if $(filter 1,$(BENCH_QUICK)),-quick,)
BENCH_TREES ?= $(BENCH_DIR)/trees$(BENCH_MODE)
BENCH_OUT   ?= $(BENCH_DIR)/results$(BENCH_MODE).md
# bench/ programs the runner drives; bench-micro runs every other one.
BENCH_TOOLS  = bench_make_trees bench_ceilings

.PHONY: all deps deps-fuzz deps-bench deps-interop deps-windows build check \
        check-unit check-user check-packaging check-asan check-tsan check-interop windows \
        check-windows demo bench bench-micro fuzz fuzz-seeds clean

all: build

# Installs only what is missing of $(1), as root (or through sudo).
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

deps-fuzz:
	$(call install_missing,$(FUZZ_PACKAGES))

deps-bench:
	$(call install_missing,$(BENCH_PACKAGES))

deps-interop:
	$(call install_missing,$(INTEROP_PACKAGES))

deps-windows:
	$(call install_missing,$(WINDOWS_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

check-unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit suite again as an ordinary user, when make runs as root: the
# user KVMORVEL_TEST_USER (default kvtest) is made when missing and runs
# ctest in the same build through runuser (tools/check-user.sh). Run by
# anyone else, check-unit already was that run.
check-user: build
	bash tools/check-user.sh $(BUILD) $(JOBS)

# A packager's configuration, tests and tools off, on a machine where
# GoogleTest and libarchive cannot be found (pkg-config sees only zlib's
# and LZO's files): it must configure, and the library and its install
# must be complete without them.
PACKAGING_BUILD ?= build-packaging
check-packaging: deps
	rm -rf $(PACKAGING_BUILD) && mkdir -p $(PACKAGING_BUILD)/pc
	cp $$(pkg-config --variable=pcfiledir zlib)/zlib.pc \
	   $$(pkg-config --variable=pcfiledir lzo2)/lzo2.pc $(PACKAGING_BUILD)/pc/
	PKG_CONFIG_LIBDIR=$(CURDIR)/$(PACKAGING_BUILD)/pc PKG_CONFIG_PATH= \
	  cmake -S . -B $(PACKAGING_BUILD) -G Ninja -DBUILD_TESTING=OFF \
	    -DKVMORVEL_BUILD_TOOLS=OFF -DKVMORVEL_BUILD_BENCH=OFF \
	    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGING_BUILD) -j $(JOBS)
	DESTDIR=$(CURDIR)/$(PACKAGING_BUILD)/stage cmake --install $(PACKAGING_BUILD) > /dev/null
	cd $(PACKAGING_BUILD)/stage && find . -type f -o -type l | sort
	! grep -q -e -larchive -e gtest $(PACKAGING_BUILD)/build.ninja

# The suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVMORVEL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The threads tests under ThreadSanitizer: two archive objects at work on
# two threads. Only the test program holding them is built; a race report
# fails the run.
check-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DKVMORVEL_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_archive
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 \
	  ./test_archive --gtest_filter='Threads.*'

# KvMorvelM64.dll, kvmorvel.exe and the test programs cross-built with
# MinGW-w64 (cmake/mingw-w64.cmake); LZO comes from Debian's lzo2 source
# (tools/windows/build-lzo.sh).
windows: deps-windows
	sh tools/windows/build-lzo.sh $(WINDOWS_BUILD)/deps/lzo
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake $(WINDOWS_CMAKE_ARGS)
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The DLL's exports against the member list, then the suite under wine64
# through CTest (headless, its own Wine prefix in the build folder). The
# crossover test also needs the Linux command. Tests that depend on what
# Wine lacks are skipped under Wine only; the summary counts each reason.
check-windows: windows deps
	sh tools/check-exports.sh $(WINDOWS_BUILD)/KvMorvelM64.dll
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target kvmorvel
	tools/windows/wine-run.sh $(CURDIR)/$(WINDOWS_BUILD)/wineprefix wineboot --init
	# --repeat until-pass:2: a test whose Wine process fails to start
	# (seen once in some hundred runs: it fails in 10 ms without a line of
	# output) runs once more; a test that fails twice fails the check.
	cd $(WINDOWS_BUILD) && KVMORVEL_LINUX_BUILD=$(CURDIR)/$(BUILD) \
	  ctest --output-on-failure -j $(JOBS) --repeat until-pass:2
	sh tools/windows/skip-summary.sh $(WINDOWS_BUILD)

# The metadata kept on Linux against Debian's smbd and smbclient, both
# ways (tools/check-interop.sh): smbd on a loopback port with a private
# configuration in a scratch folder, stopped by its pid at the end.
check-interop: deps deps-interop
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target kvmorvel
	bash tools/check-interop.sh $(BUILD)

check: check-unit check-user check-packaging check-asan check-tsan check-interop

demo: build
	sh tools/demo.sh $(BUILD)

# The command against tar, lzop, gzip and pigz on three generated trees
# (bench/run.py); prints the table and writes it to BENCH_OUT.
# Only the command and the runner's two programs are built for it.
bench: deps deps-bench
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target kvmorvel $(BENCH_TOOLS)
	/usr/bin/python3 bench/run.py --build $(BUILD) --trees $(BENCH_TREES) \
	  --work $(BENCH_DIR)/work$(BENCH_MODE) --out $(BENCH_OUT) \
	  --only $(BENCH_ONLY) $(if $(BENCH_MODE),--quick,) \
	  $(if $(BENCH_BEFORE),--before $(BENCH_BEFORE),) \
	  $(if $(BENCH_RUNS),--runs $(BENCH_RUNS),)

# The library's own benchmark programs (bench/*.cc), one after the other.
bench-micro: build
	@for b in $(BUILD)/bench_*; do \
	  case " $(BENCH_TOOLS) " in *" $$(basename $$b) "*) continue;; esac; \
	  [ -x "$$b" ] && "$$b"; \
	done

# Every fuzz target under libFuzzer for SECONDS each (make fuzz
# SECONDS=600), one at a time; prints a table per target of CPU minutes,
# edges covered, crashes, escapes and hangs (fuzz/run.sh).
fuzz: deps-fuzz
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -G Ninja -DKVMORVEL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all
	sh fuzz/run.sh $(FUZZ_BUILD) $(SECONDS)

# Remakes the seed corpus (fuzz/corpus/*/seed-*) with the project's writers.
fuzz-seeds: build
	$(BUILD)/fuzz_seeds fuzz/corpus

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-windows
