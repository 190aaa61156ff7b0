# The two commands of the README:
#   make demo   a whole firmware update against the virtual pedal
#   make test   every test: ASan/UBSan, TSan, the Windows build under Wine, and the fuzzers
JOBS ?= 2
FUZZ_SECONDS ?= 60

.PHONY: test demo deps build-debug build-tsan build-windows build-fuzz

deps:
	@bash scripts/install-deps.sh

build-debug: deps
	cmake --preset linux-debug >/dev/null
	cmake --build --preset linux-debug -j$(JOBS)

build-tsan: deps
	cmake --preset linux-tsan >/dev/null
	cmake --build --preset linux-tsan -j$(JOBS)

build-windows: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j$(JOBS)

build-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS)

test: build-debug build-tsan build-windows build-fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-tests.sh
