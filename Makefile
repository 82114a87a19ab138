# Quick start: `make demo` builds only the tools and runs the tool on a
# simulated board, `make test` builds the rest and runs the whole suite. Both
# install missing build dependencies from the distribution's packages first.
# Builds use the machine's cores (JOBS=N overrides).
#
# Hardening, run by .ci/run after `make test`: `make sanitize` builds the
# suite with clang under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs it; `make fuzz` runs each libFuzzer target for FUZZ_SECONDS; `make
# lint` runs clang-tidy and cppcheck over the project's code; `make tsan`
# runs the suites of the libftdi1 layer's reader thread under ThreadSanitizer.
#
# `make bench` measures the optimised build against the waits it must make
# (bench/RESULTS.md).
#
# `make package` builds the Debian package $(BUILD_DIR)/wiretest_<version>_amd64.deb
# and, where the Windows build exists, build-windows/wiretest-<version>-win64.zip;
# packaging/check_deb.sh checks the package with lintian, apt and purge.
# `make package-arm64` and `make package-armhf` cross-build the arm packages
# (build-arm64/, build-armhf/), `make test-arm64` and `make test-armhf` run
# their programs under qemu.

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
RELEASE_DIR := build-release
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# mold links in a fraction of ld's time; the build uses it where it is
# installed (cmake/build_speed.cmake) and links with ld where it is not.
DEB_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libftdi1-dev nlohmann-json3-dev \
                libcli11-dev librapidxml-dev libtomlplusplus-dev libpugixml-dev libsqlite3-dev libpq-dev mold
# What only the suite needs: a PostgreSQL server to start, a browser and a
# WebSocket client for the page, a Prometheus to scrape the station's
# metrics. The demo builds and runs without them.
TEST_PACKAGES := postgresql chromium python3-websocket prometheus umockdev libumockdev-dev
CLANG_PACKAGES := clang libclang-rt-dev
LINT_PACKAGES := clang-tidy cppcheck
BENCH_PACKAGES := python3 valgrind binutils
PACKAGE_PACKAGES := dpkg-dev file lintian man-db

# Any sanitizer report ends the process with a failure.
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

FUZZ_TARGETS := entry driver

.PHONY: all demo station-demo station-demo-line station-demo-db station-demo-page station-demo-metrics test deps deps-test configure build clean sanitize fuzz lint bench \
        deps-clang deps-lint deps-bench deps-ci configure-asan build-asan \
        package deps-package tsan

all: build

# Shell words that set $sudo to what runs a command as root: nothing for root.
as_root = sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo;

# Install the Debian packages named in $(1) that are missing, saying they
# are $(2) (build dependencies when not given).
install_missing = @missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing $(or $(2),build dependencies):$$missing"; \
	  $(as_root) \
	  $$sudo apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing </dev/null; \
	fi

deps:
	$(call install_missing,$(DEB_PACKAGES))

deps-test: deps
	$(call install_missing,$(TEST_PACKAGES),what only the suite needs)

deps-clang: deps
	$(call install_missing,$(CLANG_PACKAGES))

deps-lint: deps-clang
	$(call install_missing,$(LINT_PACKAGES))

deps-bench: deps
	$(call install_missing,$(BENCH_PACKAGES))

configure: deps
	@[ -f $(BUILD_DIR)/build.ninja ] || cmake -S . -B $(BUILD_DIR) -G Ninja

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

# What the demo runs and the two tools it names; the suite waits for make test.
DEMO_TARGETS := wiretest-sim wiretest wiretest-diagnose
demo: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target $(DEMO_TARGETS)
	$(BUILD_DIR)/wiretest-sim -n0 -delay
	@echo
	@echo "The second simulated board has an open pin:  $(BUILD_DIR)/wiretest-sim -n1 -delay 2>&1 | $(BUILD_DIR)/wiretest-diagnose"
	@echo "Real chips: $(BUILD_DIR)/wiretest (README.md, Running on real hardware). The test suite: make test"

# The station on its six simulated chips, all at once. Two of the boards are
# wired wrong on purpose, so the station's own exit status is 1.
station-demo: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target wiretest-station-sim
	$(BUILD_DIR)/wiretest-station-sim --all --delay || [ $$? -eq 1 ]

# The station as a line's loop: the demo boards plugged at 1-1 one after
# another, each tested as it arrives; it ends after the seventh.
station-demo-line: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target wiretest-station-sim
	$(BUILD_DIR)/wiretest-station-sim --wait --delay --count 7 || [ $$? -eq 1 ]

# The demo chips three times into a SQLite file (anew each time), a soak
# among them to find the intermittent contact, then the line's report.
station-demo-db: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target wiretest-station-sim
	rm -f $(BUILD_DIR)/station-demo.db*
	$(BUILD_DIR)/wiretest-station-sim --all --delay --db sqlite:$(BUILD_DIR)/station-demo.db || [ $$? -eq 1 ]
	$(BUILD_DIR)/wiretest-station-sim --all --fast --db sqlite:$(BUILD_DIR)/station-demo.db || [ $$? -eq 1 ]
	$(BUILD_DIR)/wiretest-station-sim --all --fast --repeat 200 --db sqlite:$(BUILD_DIR)/station-demo.db || [ $$? -eq 1 ]
	$(BUILD_DIR)/wiretest-station-sim report --db sqlite:$(BUILD_DIR)/station-demo.db

# The demo line with its page, served to this computer until Ctrl-C.
station-demo-page: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target wiretest-station-sim
	@echo "open http://127.0.0.1:8080/ to watch the station; Ctrl-C ends it"
	$(BUILD_DIR)/wiretest-station-sim --wait --delay --serve 127.0.0.1:8080 || [ $$? -eq 1 ]

# The demo line with its page and its metrics, and a Prometheus (Debian's
# prometheus package) scraping them every second with the shipped alert
# rules, until Ctrl-C: its own page at http://127.0.0.1:9091/.
station-demo-metrics: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target wiretest-station-sim
	@command -v prometheus >/dev/null || { echo "install Debian's prometheus package (make deps-test)"; exit 2; }
	rm -rf $(BUILD_DIR)/demo-prometheus && mkdir -p $(BUILD_DIR)/demo-prometheus
	printf '%s\n' 'global: {scrape_interval: 1s}' 'rule_files: [$(CURDIR)/packaging/prometheus/wiretest-station-rules.yml]' \
	  'scrape_configs: [{job_name: wiretest-station, static_configs: [{targets: ["127.0.0.1:9101"]}]}]' \
	  > $(BUILD_DIR)/demo-prometheus/prometheus.yml
	@echo "the page: http://127.0.0.1:8080/  its metrics: http://127.0.0.1:9101/metrics  Prometheus: http://127.0.0.1:9091/"
	@echo "Prometheus: prometheus --config.file $(BUILD_DIR)/demo-prometheus/prometheus.yml --storage.tsdb.path $(BUILD_DIR)/demo-prometheus/data --web.listen-address 127.0.0.1:9091"
	prometheus --config.file $(BUILD_DIR)/demo-prometheus/prometheus.yml --storage.tsdb.path $(BUILD_DIR)/demo-prometheus/data \
	  --web.listen-address 127.0.0.1:9091 --enable-feature=exemplar-storage --log.level=warn & prometheus=$$!; \
	$(BUILD_DIR)/wiretest-station-sim --wait --delay --serve 127.0.0.1:8080 --metrics 127.0.0.1:9101; status=$$?; \
	kill $$prometheus; wait $$prometheus; [ $$status -le 1 ]

# Two tests at a time on two cores: the tests wait on events, not on time,
# and hold under load.
test: deps-test build
	cd $(BUILD_DIR) && ctest -j$(JOBS) --output-on-failure

configure-asan: deps-clang
	@[ -f $(ASAN_DIR)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(ASAN_DIR) -G Ninja \
	  -DWIRETEST_SANITIZE=ON -DWIRETEST_FUZZ=ON

build-asan: configure-asan
	cmake --build $(ASAN_DIR) -j$(JOBS)

sanitize: deps-test build-asan
	cd $(ASAN_DIR) && $(SANITIZER_ENV) ctest -j$(JOBS) --output-on-failure

# Each target runs for FUZZ_SECONDS from its seed corpus (fuzz/corpus/NAME)
# into a work corpus in the build tree, all of them at once (each fuzzer is
# one process on one core); a crash, a sanitizer report, a broken promise or
# an input running past 10 s fails, and the input is kept under
# $(ASAN_DIR)/fuzz-findings/ to be added to fuzz/corpus/NAME as a regression.
fuzz: build-asan
	@mkdir -p $(ASAN_DIR)/fuzz-findings; rm -f $(ASAN_DIR)/fuzz-*.status
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(ASAN_DIR)/fuzz-corpus/$$t; \
	  dict=""; [ -f fuzz/$$t.dict ] && dict="-dict=fuzz/$$t.dict"; \
	  echo "fuzz target $$t: $(FUZZ_SECONDS) s"; \
	  { $(SANITIZER_ENV) $(ASAN_DIR)/fuzz_$$t $$dict -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	      -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
	      -artifact_prefix=$(ASAN_DIR)/fuzz-findings/$$t- \
	      $(ASAN_DIR)/fuzz-corpus/$$t fuzz/corpus/$$t > $(ASAN_DIR)/fuzz-$$t.log 2>&1; \
	    echo $$? > $(ASAN_DIR)/fuzz-$$t.status; } & \
	done; wait; \
	for t in $(FUZZ_TARGETS); do \
	  if [ "$$(cat $(ASAN_DIR)/fuzz-$$t.status)" != 0 ]; then \
	    tail -n 60 $(ASAN_DIR)/fuzz-$$t.log; \
	    echo "fuzz target $$t found a fault; the input is in $(ASAN_DIR)/fuzz-findings/"; \
	    exit 1; \
	  fi; \
	  echo "fuzz target $$t:"; grep -E '^stat::(number_of_executed_units|new_units_added)' $(ASAN_DIR)/fuzz-$$t.log; \
	done

# clang-tidy with the checked-in .clang-tidy, over the compile commands of
# the plain build; cppcheck over the same folders. Any finding fails.
# useStlAlgorithm is left out: plain loops are the code's own style.
# clang-tidy judges again only the units whose preprocessed text, command or
# configuration changed since it last found them clean on this machine
# (cmake/clang_tidy_cached.py; WIRETEST_LINT_CACHE=/a/new/folder judges all).
LINT_DIRS := src drivers tests fuzz diagnose station companions
lint: build deps-lint
	python3 cmake/clang_tidy_cached.py $(BUILD_DIR) $(CURDIR) --jobs $(JOBS) --dirs $(LINT_DIRS) \
	  --log $(BUILD_DIR)/clang-tidy.log
	@echo "clang-tidy: no findings in $(LINT_DIRS)"
	cppcheck --library=googletest --std=c++17 --language=c++ --enable=warning,style,performance,portability \
	  --inline-suppr --error-exitcode=1 --quiet -I src -I drivers/sim -I tests/support -I diagnose -I station $(addprefix -I station/,platform model db identity report page outputs runner sim) -I companions \
	  --suppress=missingIncludeSystem --suppress=useStlAlgorithm $(LINT_DIRS)
	@echo "cppcheck: no findings in $(LINT_DIRS)"

# The same sources, optimised (-O2), with the benchmark's instruments.
# build/wiretest and its virtual USB chip come from the plain build.
bench: deps-bench build
	@[ -f $(RELEASE_DIR)/build.ninja ] || cmake -S . -B $(RELEASE_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
	  "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" -DBUILD_TESTING=OFF -DWIRETEST_BENCH=ON
	cmake --build $(RELEASE_DIR) -j$(JOBS)
	python3 bench/bench.py

# Windows: wiretest.exe, wiretest-sim.exe, wiretest-diagnose.exe (which needs
# the header-only JSON library) and the simulated driver as
# sim-driver/ftd2xx.dll, cross-built with mingw-w64 into $(WINDOWS_DIR).
# `make test-windows` runs them under Wine against the Linux build's output
# (tests/windows/); the Wine prefix lives in $(WINDOWS_DIR)/wine-prefix.
WINDOWS_DIR := build-windows
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix binutils nlohmann-json3-dev \
                    libcli11-dev librapidxml-dev libtomlplusplus-dev
WINE_PACKAGES := wine64
WINE_ENV := WINEPREFIX=$(CURDIR)/$(WINDOWS_DIR)/wine-prefix WINEDEBUG=-all
WINE := /usr/lib/wine/wine64

.PHONY: windows test-windows lint-windows deps-windows deps-wine

deps-windows:
	$(call install_missing,$(WINDOWS_PACKAGES))

deps-wine:
	$(call install_missing,$(WINE_PACKAGES))

windows: deps-windows
	@[ -f $(WINDOWS_DIR)/build.ninja ] || cmake -S . -B $(WINDOWS_DIR) -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(WINDOWS_DIR) -j$(JOBS)

# The prefix is made once, before any test, so that its set-up messages
# never reach a test's output (they go to wineboot.log). One Wine server is
# kept for the whole suite, its services started before the first test:
# started anew for each program, they cost seconds, and the first program's
# standard output stays open as long as they run.
test-windows: windows build deps-wine
	@[ -f $(WINDOWS_DIR)/wine-prefix/system.reg ] || { echo "Creating the Wine prefix in $(WINDOWS_DIR)/wine-prefix"; \
	  $(WINE_ENV) $(WINE) wineboot -i >$(WINDOWS_DIR)/wineboot.log 2>&1; $(WINE_ENV) wineserver -w; \
	  [ -f $(WINDOWS_DIR)/wine-prefix/system.reg ] || { cat $(WINDOWS_DIR)/wineboot.log; exit 1; }; }
	@$(WINE_ENV) wineserver -p; $(WINE_ENV) $(WINE) wineboot >/dev/null 2>&1; status=0; \
	$(WINE_ENV) WINE=$(WINE) WIRETEST_WINDOWS_DIR=$(CURDIR)/$(WINDOWS_DIR) \
	  WIRETEST_LINUX_SIM=$(CURDIR)/$(BUILD_DIR)/wiretest-sim $(BUILD_DIR)/wine_tests || status=$$?; \
	$(WINE_ENV) wineserver -k; exit $$status

# clang-tidy over the Windows build's own compile commands, which make lint
# does not see (it reads the Linux build's); clang takes mingw-w64's C++
# headers from the cross compiler. cppcheck reads these files in make lint.
# Only the units that make lint has not judged as they are: those the Linux
# build lacks, and those whose own code differs here, by a Windows half, a
# definition or a type of another width (cmake/windows_lint_files.py).
WINDOWS_LINT_DIRS := src drivers tests diagnose station
lint-windows: windows configure deps-lint
	@python3 cmake/windows_lint_files.py $(BUILD_DIR) $(WINDOWS_DIR) $(CURDIR) $(WINDOWS_LINT_DIRS) \
	  > $(WINDOWS_DIR)/lint-files.txt
	@echo "clang-tidy over $$(wc -l < $(WINDOWS_DIR)/lint-files.txt) of the Windows build's units (the rest are make lint's)"
	cxx_include=/usr/lib/gcc/x86_64-w64-mingw32/$$(x86_64-w64-mingw32-g++-posix -dumpversion)/include/c++; \
	python3 cmake/clang_tidy_cached.py $(WINDOWS_DIR) $(CURDIR) --jobs $(JOBS) --extra-arg=--target=x86_64-w64-mingw32 \
	  --extra-arg=-isystem$$cxx_include --extra-arg=-isystem$$cxx_include/x86_64-w64-mingw32 \
	  --log $(WINDOWS_DIR)/clang-tidy.log --files $$(cat $(WINDOWS_DIR)/lint-files.txt)
	@echo "clang-tidy: no findings in the Windows build"

# The package's files come from the install rules (packaging/packages.cmake);
# dpkg-shlibdeps (dpkg-dev) computes Depends, and needs `file`.
deps-package: deps
	$(call install_missing,$(PACKAGE_PACKAGES))

# `make package ARCH=arm64` (or armhf) is `make package-arm64`, below.
ifeq ($(origin ARCH),command line)
package: package-$(ARCH)
else
package: deps-package build
	cd $(BUILD_DIR) && cpack
	cmake --build $(BUILD_DIR) --target windows_zip
endif

# Linux on ARM, for a Raspberry Pi or another such board as a station
# computer: `make package-arm64` and `make package-armhf` cross-build the
# installed programs in build-ARCH/ with Debian's crossbuild-essential-ARCH,
# against that architecture's libraries installed beside this machine's
# (multiarch: dpkg --add-architecture), and make
# build-ARCH/wiretest_<version>_ARCH.deb; packaging/check_deb.sh checks it,
# running its programs under qemu's user-mode emulation. `make test-arm64`
# and `make test-armhf` run the cross-built programs under qemu beside the
# same programs of the plain build (tests/emulated.sh). Only the programs and
# the virtual USB bus are built there, not the suite.
CROSS_ARCHES := arm64 armhf
# libftdi1-dev cannot be installed for two architectures at once: the
# host's gives the header, libftdi1-2 the target's library (CMakeLists.txt).
# The C++ runtime is for the programs under emulation, qemu-user-binfmt's
# binfmt.d file for the kernel to run them (binfmt-ARCH).
cross_packages = crossbuild-essential-$(1) qemu-user qemu-user-binfmt libftdi1-2:$(1) \
                 libusb-1.0-0-dev:$(1) libstdc++6:$(1)
QEMU_arm64 := qemu-aarch64
QEMU_armhf := qemu-arm
# What tests/emulated.sh compares the cross build's programs with.
EMULATED_REFERENCE_TARGETS := wiretest-sim wiretest wiretest-station wiretest-station-sim virtual_usb

.PHONY: $(foreach a,$(CROSS_ARCHES),architecture-$(a) deps-$(a) build-$(a) package-$(a) test-$(a) binfmt-$(a))

$(addprefix architecture-,$(CROSS_ARCHES)): architecture-%:
	@dpkg --print-foreign-architectures | grep -qx '$*' || { echo "Adding the architecture $* to dpkg"; \
	  $(as_root) $$sudo dpkg --add-architecture '$*'; }

$(addprefix deps-,$(CROSS_ARCHES)): deps-%: deps architecture-%
	$(call install_missing,$(call cross_packages,$*))

# Every package .ci/run needs, in one apt round: each round updates the
# package lists and runs dpkg's triggers (man-db, ldconfig) again, and CI
# would otherwise make nine. The arm architectures are added to dpkg first,
# so that their libraries come in the same round. The stages' own deps-*
# then find everything installed. ccache keeps the objects of one run for
# the next on the same machine (cmake/build_speed.cmake).
CI_PACKAGES = $(sort ccache $(DEB_PACKAGES) $(TEST_PACKAGES) $(CLANG_PACKAGES) $(LINT_PACKAGES) $(PACKAGE_PACKAGES) \
                     $(WINDOWS_PACKAGES) $(WINE_PACKAGES) $(foreach a,$(CROSS_ARCHES),$(call cross_packages,$(a))))
deps-ci: $(addprefix architecture-,$(CROSS_ARCHES))
	$(call install_missing,$(CI_PACKAGES),what CI needs)

$(addprefix build-,$(CROSS_ARCHES)): build-%: deps-%
	@[ -f build-$*/build.ninja ] || cmake -S . -B build-$* -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/linux-$*.cmake -DBUILD_TESTING=OFF
	cmake --build build-$* -j$(JOBS)

$(addprefix package-,$(CROSS_ARCHES)): package-%: deps-package build-%
	cd build-$* && cpack

# The station starts itself again for each board when it tests several, and
# in --wait: under emulation the kernel must hand those starts to qemu
# (binfmt_misc). Where systemd boots the machine, qemu-user-binfmt has it do
# so at boot; elsewhere (a container, CI) it is done here, as root, for this
# boot: binfmt_misc mounted where it is not, and qemu-user-binfmt's entry for
# the architecture registered.
$(addprefix binfmt-,$(CROSS_ARCHES)): binfmt-%: deps-%
	@$(as_root) binfmt=/proc/sys/fs/binfmt_misc; \
	[ -e $$binfmt/register ] || $$sudo mount -t binfmt_misc binfmt_misc $$binfmt; \
	[ -e $$binfmt/$(QEMU_$*) ] || { echo "Registering $(QEMU_$*) with binfmt_misc"; \
	  grep -v '^[#;]' /usr/lib/binfmt.d/$(QEMU_$*).conf | $$sudo tee $$binfmt/register >/dev/null; }

$(addprefix test-,$(CROSS_ARCHES)): test-%: build-% binfmt-% configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target $(EMULATED_REFERENCE_TARGETS)
	tests/emulated.sh $* build-$* $(BUILD_DIR)

# ThreadSanitizer over the libftdi1 layer's reader thread and its callers on
# several threads, in build-tsan/: the layer's own tests (channels opened,
# used and closed on threads of their own, a listing beside them) and
# build/wiretest's scenario table, each on the instant
# and the latency-faithful virtual USB bus; and wiretest-station's database
# output, whose records are sent by a thread of their own, over SQLite and
# a PostgreSQL server that goes away and comes back. Any report fails. Address
# randomisation is turned off where setarch may: clang 14's ThreadSanitizer
# cannot map its shadow memory on kernels that randomise more.
# The suite on the emulated usbfs bus stays out for now: ThreadSanitizer
# reports races inside GLib, umockdev and the real libusb, none of them
# instrumented, that are not yet explained.
TSAN_DIR ?= build-tsan
TSAN_SUITE := ^(LibftdiDriver|LibftdiThreads|LocationListing|SerialDriver|LatencyFaithfulChip|Table/ReportScenarios|StationDb|StationPage)\.
tsan: deps-clang deps-test
	@[ -f $(TSAN_DIR)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(TSAN_DIR) -G Ninja -DWIRETEST_TSAN=ON
	cmake --build $(TSAN_DIR) -j$(JOBS) --target libftdi_driver_tests virtual_usb_tests station_db_tests wiretest-station-sim
	cd $(TSAN_DIR) && norandom=""; \
	  if setarch $$(uname -m) -R true 2>/dev/null; then norandom="setarch $$(uname -m) -R"; fi; \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp $$norandom ctest --output-on-failure -R '$(TSAN_SUITE)' -E '@usbfs$$'

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(RELEASE_DIR) $(TSAN_DIR)
	rm -rf $(WINDOWS_DIR) $(addprefix build-,$(CROSS_ARCHES))
