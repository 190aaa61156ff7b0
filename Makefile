# The commands of the README:
#   make demo      a whole firmware update against the virtual pedal (needs only a compiler,
#                  cmake, make, python3, CLI11 and nlohmann-json; builds no tests)
#   make check     the everyday tests: the ASan/UBSan build without the windows, chaos and slow
#                  labels (and no fuzzers)
#   make test      every test: ASan/UBSan, TSan, the Windows build under Wine, the fuzzers, and
#                  the packages as users get them
#   make package   the .deb, the Linux tarball and the Windows zip in build/packages/
# and the long reliability campaign:
#   make chaos N=5000   N updates against fault-injecting pedals on ptys, with a table at the end
#   make chaos-windows N=500   the same on the Windows link: the Windows updater under Wine over
#                  COM ports mapped to the pedals' ptys (N defaults to 500 here)
JOBS ?= 2
FUZZ_SECONDS ?= 60
N ?= 5000
CHAOS_SEED ?= 1
CHAOS_JOBS ?= 8
# Each Windows run's updater is a thread of a Wine process that runs one update at a time.
CHAOS_WINDOWS_JOBS ?= 3
CHAOS_WINDOWS_N := $(if $(filter command line environment,$(origin N)),$(N),500)
# Most tests spend their time waiting on a pty or a scaled time-out: more jobs than cores.
CHECK_JOBS ?= 4

.PHONY: test check demo package chaos chaos-windows deps build-debug build-tsan build-windows build-fuzz \
	build-release build-package build-posix-names

# The virtual pedal paces its line at 921,600 baud here so that the demo takes seconds; run
# px550-update flash --simulate without --pedal-arg for the real 115,200-baud timing (about a minute).
DEMO_PEDAL ?= --pedal-arg=--baud=921600 --pedal-arg=--erase-ms=1500

# The demo runs the programs exactly as they are packaged.
demo:
	@bash scripts/install-deps.sh demo
	cmake --preset linux-package >/dev/null
	cmake --build --preset linux-package -j$(JOBS) --target px550-update px550-sim
	build/linux-package/cli/px550-update flash --simulate --yes --progress bar $(DEMO_PEDAL)

# Release builds without tests or test hooks, packaged by CPack into build/packages/.
package:
	@bash scripts/install-deps.sh package
	$(MAKE) --no-print-directory build-package

build-package:
	cmake --preset linux-package >/dev/null
	cmake --build --preset linux-package -j$(JOBS)
	cmake --preset windows-release >/dev/null
	cmake --build --preset windows-release -j$(JOBS)
	rm -f build/packages/px550-update*
	cd build/linux-package && cpack
	cd build/windows-release && cpack

build-release: deps
	cmake --preset linux-release >/dev/null
	cmake --build --preset linux-release -j$(JOBS) --target px550-update px550-sim

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

# The macOS port listing and every path that is not Linux's, built and unit-tested on Linux: only
# the updater and the unit tests that cover those paths.
build-posix-names: deps
	cmake --preset posix-names >/dev/null
	cmake --build --preset posix-names -j$(JOBS)

build-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS)

check: build-debug
	ctest --preset linux-debug -j$(CHECK_JOBS) -LE '^(windows|chaos|slow)$$'

test: deps build-debug build-tsan build-windows build-fuzz build-package build-posix-names
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-tests.sh

# Each run is mostly waiting on scaled time-outs, so a few more jobs than cores keep them busy.
chaos: deps
	cmake --preset linux-release >/dev/null
	cmake --build --preset linux-release -j$(JOBS) --target px550-chaos
	build/linux-release/tests/chaos/px550-chaos --runs $(N) --seed $(CHAOS_SEED) --jobs $(CHAOS_JOBS) --table

# Wine's own prefix for the campaign, apart from the test tiers', and its server ended after it.
CHAOS_WINEPREFIX = $(CURDIR)/build/windows/wineprefix-chaos
chaos-windows: deps
	cmake --preset linux-release >/dev/null
	cmake --build --preset linux-release -j$(JOBS) --target px550-chaos
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j$(JOBS) --target px550-chaos-runner
	WINEPREFIX=$(CHAOS_WINEPREFIX) bash scripts/chaos-windows.sh \
	  build/linux-release/tests/chaos/px550-chaos build/windows/tests/chaos/px550-chaos-runner.exe \
	  --runs $(CHAOS_WINDOWS_N) --seed $(CHAOS_SEED) --jobs $(CHAOS_WINDOWS_JOBS) --table; \
	rc=$$?; WINEPREFIX=$(CHAOS_WINEPREFIX) wineserver -k 2>/dev/null; exit $$rc
