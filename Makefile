# Quick start: `make demo` runs the tool on the simulated boards, `make test`
# builds and runs the whole suite. Both install missing build dependencies
# from the distribution's packages first.

BUILD_DIR ?= build
DEB_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libftdi1-dev

.PHONY: all demo test deps configure build clean

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing build dependencies:$$missing"; \
	  sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	  $$sudo apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing </dev/null; \
	fi

configure: deps
	@[ -f $(BUILD_DIR)/build.ninja ] || cmake -S . -B $(BUILD_DIR) -G Ninja

build: configure
	cmake --build $(BUILD_DIR)

demo: build
	$(BUILD_DIR)/wiretest-sim -n0 -delay

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure

clean:
	rm -rf $(BUILD_DIR)
