# Quick start: `make demo` runs the tool on the simulated boards, `make test`
# builds and runs the whole suite. Both install missing build dependencies
# from the distribution's packages first. `make bench` measures the optimised
# build against the waits it must make (bench/RESULTS.md).

BUILD_DIR ?= build
RELEASE_DIR := build-release
DEB_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev
BENCH_PACKAGES := python3 valgrind binutils

.PHONY: all demo test deps bench-deps configure build bench clean

all: build

# Install the distribution packages named in $(1) that are missing.
define install_missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing build dependencies:$$missing"; \
	  sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	  $$sudo apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing </dev/null; \
	fi
endef

deps:
	$(call install_missing,$(DEB_PACKAGES))

bench-deps:
	$(call install_missing,$(DEB_PACKAGES) $(BENCH_PACKAGES))

configure: deps
	@[ -f $(BUILD_DIR)/build.ninja ] || cmake -S . -B $(BUILD_DIR) -G Ninja

build: configure
	cmake --build $(BUILD_DIR)

demo: build
	$(BUILD_DIR)/wiretest-sim -n0 -delay

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure

# The same sources, optimised (-O2), with the benchmark's instruments.
bench: bench-deps
	@[ -f $(RELEASE_DIR)/build.ninja ] || cmake -S . -B $(RELEASE_DIR) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
	  "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" -DBUILD_TESTING=OFF -DWIRETEST_BENCH=ON
	cmake --build $(RELEASE_DIR) -j 2
	python3 bench/bench.py

clean:
	rm -rf $(BUILD_DIR) $(RELEASE_DIR)
