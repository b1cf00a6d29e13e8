# A thin front door over the CMake presets: each target first installs the
# Debian packages it needs (scripts/install-deps), then runs the preset.
# People who manage their own packages can call the presets directly:
#   cmake --workflow --preset demo | test | asan

DEPS := scripts/install-deps
PREFIX ?= /usr/local

.PHONY: demo test asan build install fuzz bench bench-smoke memcheck format-check help

help:
	@echo "make demo          builds and runs the datalink demo (producer and collector over loopback)"
	@echo "make test          builds everything and runs every test"
	@echo "make asan          the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
	@echo "make install       installs into PREFIX (default /usr/local)"
	@echo "make fuzz          runs each fuzzer briefly (FUZZ_SECONDS, default 20)"
	@echo "make bench         the full performance comparison (bench/compare.sh)"
	@echo "make bench-smoke   every benchmark built and run briefly"
	@echo "make memcheck      the socket tests under valgrind"
	@echo "make format-check  clang-format over the sources, changing nothing"

demo:
	@$(DEPS) build
	cmake --workflow --preset demo

test:
	@$(DEPS) build python capture
	cmake --workflow --preset test

asan:
	@$(DEPS) build python capture
	cmake --workflow --preset asan

build:
	@$(DEPS) build
	cmake --preset default
	cmake --build --preset default

install: build
	cmake --install build/default --prefix $(PREFIX)

fuzz:
	@$(DEPS) build fuzz
	fuzz/run_fuzzers.sh

bench:
	@$(DEPS) build bench
	bench/compare.sh

bench-smoke:
	@$(DEPS) build bench
	bench/smoke.sh

memcheck: build
	@$(DEPS) memcheck
	tests/memcheck.sh

format-check:
	@$(DEPS) format
	scripts/check-format
