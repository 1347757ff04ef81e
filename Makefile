# Every command a developer or CI needs. `make test` sets up a fresh machine,
# builds, and runs every C++ and Python test.
PYTHON ?= python3
BUILD ?= build
CMAKE_FLAGS ?=
APT_LIBRARIES := libgtest-dev libbenchmark-dev libcli11-dev libzstd-dev liblzma-dev zlib1g-dev \
                 libxxhash-dev nlohmann-json3-dev

# Installs only what is missing, so repeated runs cost nothing.
deps:
	@missing=""; for p in $(APT_LIBRARIES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v ninja >/dev/null || missing="$$missing ninja-build"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	@$(PYTHON) -c "import pytest, hypothesis, mypy, numpy" 2>/dev/null || \
	  $(PYTHON) -m pip install -q pytest hypothesis mypy numpy
	@# The demo's picture, and the Dask driver's tests (a LocalCluster, Parquet).
	@$(PYTHON) -c "import matplotlib, distributed, pyarrow" 2>/dev/null || \
	  $(PYTHON) -m pip install -q matplotlib "dask[distributed]" pyarrow

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_FLAGS)
	cmake --build $(BUILD)

# Codes the example recording (or FILES="a.aedat folder/ ...") and prints a
# table; then sweeps it with the ovk tool over time bins and depths against
# the general-purpose compressors, and draws $(BUILD)/sweep.png when
# matplotlib is installed.
FILES ?=
SWEEP_FILES = $(if $(FILES),$(FILES),examples/moving_edges.evb)
demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/ovk_report.py $(FILES)
	@if [ -x $(BUILD)/bin/ovk ]; then \
	  $(BUILD)/bin/ovk sweep $(SWEEP_FILES) --time-bins 16,64,256 --depth 4-10 \
	    --baselines zstd3,zstd19,xz,zlib --format jsonl -o $(BUILD)/sweep.jsonl && \
	  $(PYTHON) examples/plot_sweep.py $(BUILD)/sweep.jsonl -o $(BUILD)/sweep.png; \
	else echo "the ovk tool was not built (see the configure warning): no sweep"; fi

# Real recordings are looked for in ../shared/data/real beside the checkout;
# without them their tests are skipped, and this says so.
REAL_DATA := ../shared/data/real
test: build
	ctest --test-dir $(BUILD) --output-on-failure
	@[ -d $(REAL_DATA) ] || echo "note: $(REAL_DATA) not found beside this checkout, so the tests on real recordings were skipped"

# The same suites built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVK_SANITIZE=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-asan
	ctest --test-dir $(BUILD)-asan --output-on-failure

# libFuzzer runs of every target, FUZZ_SECONDS each, starting from the seed
# corpus (new inputs go to a scratch folder, not into the repository).
FUZZ_SECONDS ?= 60
fuzz: deps
	@command -v clang++ >/dev/null || (apt-get update -qq && apt-get install -y -qq clang)
	CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVK_FUZZ=ON \
	  -DOVK_BUILD_TESTS=OFF -DOVK_BUILD_PYTHON=OFF
	cmake --build $(BUILD)-fuzz
	@for t in $$(ls fuzz/corpus); do \
	  mkdir -p $(BUILD)-fuzz/corpus/$$t; \
	  echo "== $$t"; \
	  $(BUILD)-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(BUILD)-fuzz/corpus/$$t fuzz/corpus/$$t 2>&1 | grep -E "stat::number_of_executed_units|ERROR|SUMMARY" ; \
	done

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=OFF -DOVK_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-bench
	$(BUILD)-bench/bench/ovk_codec_bench
	if [ -x $(BUILD)-bench/bench/ovk_code_file_bench ]; then $(BUILD)-bench/bench/ovk_code_file_bench; fi
	PYTHONPATH=$(BUILD)-bench/python $(PYTHON) bench/bench_python.py \
	  --writer $(BUILD)-bench/bench/write_synthetic_recording

# ovk-dask sweep on a LocalCluster of 2 workers against ovk sweep --jobs 2 over
# 40 synthetic recordings of 1M events, then a run that loses a worker.
bench-dask: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=OFF -DOVK_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-bench --target write_synthetic_recording ovk_cli
	$(PYTHON) bench/bench_dask.py --writer $(BUILD)-bench/bench/write_synthetic_recording \
	  --ovk $(BUILD)-bench/bin/ovk

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-asan $(BUILD)-fuzz
