# SPDX-License-Identifier: MIT
# Set-up, build and test entry points. Each target installs what it needs first.
# One build directory per build type, so that switching between running the
# program and testing it never rebuilds everything: $(BUILD_RELEASE) for
# run and screenshot, $(BUILD) (RelWithDebInfo) for the tests, the real-driver
# check and the soak run.
BUILD_RELEASE ?= build-release
BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_TSAN  ?= build-tsan
BUILD_BENCH ?= build-bench
BUILD_DEB   ?= build-deb
BUILD_FUZZ  ?= build-fuzz
BUILD_ARM   ?= build-arm
FUZZ_SECONDS ?= 60
JOBS        ?= $(shell nproc)
CLANG_FORMAT ?= clang-format-14
# The test builds treat compiler warnings as errors; WERROR=OFF lifts that.
WERROR      ?= ON
# `make deb ARCH=arm64` cross-builds the package for that Debian architecture
# into $(BUILD_DEB)-arm64/; without ARCH it is built for this machine.
ARCH        ?=
DEB_OUT      = $(if $(ARCH),$(BUILD_DEB)-$(ARCH),$(BUILD_DEB))
# The cross build is slow: ccache keeps what it compiled, when installed.
CCACHE_LAUNCH = $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache \
	-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

CMAKE_GEN = cmake -G Ninja -Wno-dev
# Every configuration of $(BUILD) passes the same options, so no target
# flips its cache and forces a rebuild.
TEST_CONFIG = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVISTREL_WERROR=$(WERROR)
# The tracked C, C++ sources and headers.
SOURCES = git ls-files -z '*.cpp' '*.h' '*.c'

.PHONY: deps build run screenshot test test-plain test-asan test-tsan test-driver test-arm soak bench \
	fuzz format format-check license-check clean deb test-package test-service

deps:
	@scripts/install-deps

build: deps
	$(CMAKE_GEN) -S . -B $(BUILD_RELEASE) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_RELEASE) -j $(JOBS)

run: build
	@scripts/run-vistrel $(BUILD_RELEASE)

# A picture of the window for the README: the real program under Xvfb.
screenshot: build
	@scripts/screenshot $(BUILD_RELEASE) docs/window.png

test: deps test-plain test-asan test-tsan
	@echo "make test: all test builds passed"

test-plain:
	$(CMAKE_GEN) -S . -B $(BUILD) $(TEST_CONFIG)
	cmake --build $(BUILD) -j $(JOBS)
	QT_QPA_PLATFORM=offscreen ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	$(CMAKE_GEN) -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DVISTREL_WERROR=$(WERROR) \
		-DVISTREL_SANITIZE=address,undefined
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# Only the tests labelled "concurrency" run under ThreadSanitizer.
test-tsan:
	$(CMAKE_GEN) -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DVISTREL_WERROR=$(WERROR) \
		-DVISTREL_SANITIZE=thread
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	QT_QPA_PLATFORM=offscreen TSAN_OPTIONS=halt_on_error=1 \
		ctest --test-dir $(BUILD_TSAN) --output-on-failure -j $(JOBS) -L concurrency --no-tests=ignore

# The capture layer against a real V4L2 driver (the kernel's vivid driver in
# a qemu VM; see scripts/vivid-vm/run). Not part of `make test`; .ci/run runs it.
test-driver:
	@scripts/install-deps driver
	$(CMAKE_GEN) -S . -B $(BUILD) $(TEST_CONFIG)
	cmake --build $(BUILD) -j $(JOBS)
	scripts/test-driver $(BUILD)

# The arm64 cross build (g++-aarch64-linux-gnu, Debian's arm64 libraries) and
# its tests under qemu's user-mode emulator, the conversion on every vector
# target qemu offers (scripts/test-arm). Not part of `make test`; .ci/run runs it.
test-arm:
	@scripts/install-deps arm
	$(CMAKE_GEN) -S . -B $(BUILD_ARM) --toolchain cmake/aarch64-linux-gnu.cmake $(TEST_CONFIG) \
		$(CCACHE_LAUNCH)
	cmake --build $(BUILD_ARM) -j $(JOBS)
	scripts/test-arm $(BUILD_ARM) $(JOBS)

# The logging service under a real systemd: the package built into
# $(BUILD_DEB)/, installed with apt-get in a VM that boots Debian with systemd
# and the vivid cameras (see scripts/test-service). Not part of `make test`.
test-service:
	@scripts/install-deps service
	scripts/build-deb $(BUILD_DEB)
	scripts/test-service $(BUILD_DEB)

# The Debian package, built from the working tree into $(BUILD_DEB)/, or
# cross-built for ARCH into $(BUILD_DEB)-ARCH/.
deb:
	@scripts/install-deps deb $(if $(filter arm64,$(ARCH)),arm)
	scripts/build-deb $(DEB_OUT) $(ARCH)

# Builds the package, checks it (lintian, desktop entry, AppStream, units),
# installs it on this machine, tries it and purges it. Not part of `make test`.
test-package:
	@scripts/install-deps deb
	scripts/test-package $(BUILD_DEB)

# A million 640x480 frames through the fake camera, the session and the frame
# logger, written by two worker threads into a small tmpfs, the camera lost
# and back every 100000 frames and the disk full for a while; fails when
# memory or descriptors grow. Not part of `make test`, which runs the same
# scenario with 10000 frames.
soak: deps
	$(CMAKE_GEN) -S . -B $(BUILD) $(TEST_CONFIG)
	cmake --build $(BUILD) -j $(JOBS) --target vistrel_soak
	QT_QPA_PLATFORM=offscreen $(BUILD)/tests/soak/vistrel_soak 1000000

bench: deps
	$(CMAKE_GEN) -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DVISTREL_BUILD_BENCH=ON -DVISTREL_BUILD_TESTS=OFF
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	@scripts/run-bench $(BUILD_BENCH)

# libFuzzer targets (fuzz/targets) built with clang, AddressSanitizer and
# UBSan, each run for FUZZ_SECONDS from its seed corpus and regression files.
# Not part of `make test`, whose builds replay the stored inputs.
fuzz:
	@scripts/install-deps fuzz
	$(CMAKE_GEN) -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
		-DVISTREL_FUZZ=ON -DVISTREL_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_targets
	@scripts/run-fuzz $(BUILD_FUZZ) $(FUZZ_SECONDS)

format: deps
	$(SOURCES) | xargs -0 $(CLANG_FORMAT) -i

# Fails, naming the lines, when a tracked source differs from .clang-format.
format-check: deps
	$(SOURCES) | xargs -0 $(CLANG_FORMAT) --dry-run -Werror

# Fails when a tracked source lacks its SPDX licence line; scripts/add-spdx adds them.
license-check:
	scripts/add-spdx --check

clean:
	rm -rf $(BUILD_RELEASE) $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_BENCH) $(BUILD_DEB) $(BUILD_FUZZ) \
		$(BUILD_ARM) $(BUILD_DEB)-arm64
