# Every command a developer or CI needs. `make test` sets up a fresh machine,
# builds, and runs every C++ and Python test.
PYTHON ?= python3
BUILD ?= build
CMAKE_FLAGS ?=
APT_PACKAGES := libgtest-dev libbenchmark-dev cmake ninja-build
PIP_PACKAGES := pytest hypothesis scikit-build-core

.PHONY: deps build test bench clean

# Installs only what is missing, so repeated runs cost nothing.
deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	@$(PYTHON) -c "import pytest, hypothesis" 2>/dev/null || $(PYTHON) -m pip install -q pytest hypothesis

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_FLAGS)
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-bench
	$(BUILD)-bench/bench/ovk_codec_bench
	PYTHONPATH=$(BUILD)-bench/python $(PYTHON) bench/bench_python.py

clean:
	rm -rf $(BUILD) $(BUILD)-bench
