# Every command a developer or CI needs. `make test` sets up a fresh machine,
# builds, and runs every C++ and Python test.
PYTHON ?= python3
BUILD ?= build
# Tests run side by side, one per core.
TEST_JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
APT_LIBRARIES := libgtest-dev libbenchmark-dev libcli11-dev libzstd-dev liblzma-dev zlib1g-dev \
                 libxxhash-dev liblz4-dev libhdf5-dev libflatbuffers-dev flatbuffers-compiler \
                 pkg-config nlohmann-json3-dev libzip-dev

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
	@# Independent readers and writers of event-camera files, used by the tests
	@# and benchmarks as oracles only; their tests skip when they are missing.
	@$(PYTHON) -c "import faery, expelliarmus, event_stream, h5py, dv_processing, aedat" 2>/dev/null || \
	  $(PYTHON) -m pip install -q faery expelliarmus event_stream h5py dv-processing aedat || \
	  echo "note: some of faery, expelliarmus, event_stream, h5py, dv-processing, aedat could not be installed; their tests skip"
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
	PYTHONPATH=$(BUILD)/python $(if $(wildcard $(BUILD)/bin/ovk),OVK_CLI=$(BUILD)/bin/ovk) \
	  $(PYTHON) examples/ovk_report.py $(FILES)
	@if [ -x $(BUILD)/bin/ovk ]; then \
	  $(BUILD)/bin/ovk sweep $(SWEEP_FILES) --time-bins 16,64,256 --depth 4-10 \
	    --baselines zstd3,zstd19,xz,zlib --format jsonl -o $(BUILD)/sweep.jsonl && \
	  $(PYTHON) examples/plot_sweep.py $(BUILD)/sweep.jsonl -o $(BUILD)/sweep.png; \
	else echo "the ovk tool was not built (see the configure warning): no sweep"; fi

# Real recordings are looked for in ../shared/data/real beside the checkout;
# without them their tests are skipped, and this says so.
REAL_DATA := ../shared/data/real
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)
	@[ -d $(REAL_DATA) ] || echo "note: $(REAL_DATA) not found beside this checkout, so the tests on real recordings were skipped"

# The same suites built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVK_SANITIZE=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-asan
	ctest --test-dir $(BUILD)-asan --output-on-failure -j $(TEST_JOBS)

# libFuzzer runs of every target (ASan + UBSan) from its seed corpus, new
# inputs going to a scratch folder: `make fuzz` runs one target at a time,
# FUZZ_SECONDS (20) each, and prints executions per second per target;
# `make fuzz-long FUZZ_SECONDS=N` (300) runs them on all cores at once. Any
# crash input is saved into fuzz/corpus/<target>/, which CTest replays.
FUZZ_SECONDS ?=
fuzz: fuzz-build
	$(PYTHON) fuzz/run_fuzzers.py $(BUILD)-fuzz --seconds $(or $(FUZZ_SECONDS),20) --jobs 1

fuzz-long: fuzz-build
	$(PYTHON) fuzz/run_fuzzers.py $(BUILD)-fuzz --seconds $(or $(FUZZ_SECONDS),300) --jobs $$(nproc)

# Clang 16: the oldest Debian clang whose libstdc++ support has
# std::source_location (clang 14 lacks __builtin_source_location); its
# sanitizer and libFuzzer runtimes come in libclang-rt-16-dev.
FUZZ_CXX ?= clang++-16
FUZZ_PACKAGES ?= clang-16 libclang-rt-16-dev
fuzz-build: deps
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVK_FUZZ=ON -DOVK_BUILD_TESTS=OFF -DOVK_BUILD_PYTHON=OFF
	cmake --build $(BUILD)-fuzz --target ovk_fuzzers

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=OFF -DOVK_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-bench
	$(BUILD)-bench/bench/ovk_codec_bench
	if [ -x $(BUILD)-bench/bench/ovk_code_file_bench ]; then $(BUILD)-bench/bench/ovk_code_file_bench; fi
	$(BUILD)-bench/bench/ovk_context_bench
	@if [ -d $(REAL_DATA) ]; then $(BUILD)-bench/bench/ovk_context_measure --depths single,6,8,10 \
	  $$(find $(REAL_DATA) -name '*.aedat' -o -name '*.bs2' -o -name '*.bin' | sort); fi
	@if [ -d $(REAL_DATA) ]; then $(BUILD)-bench/bench/ovk_context_sequence_measure --frames 10,1000 \
	  $$(find $(REAL_DATA) -name '*.aedat' -o -name '*.bs2' -o -name '*.bin' | sort); fi
	PYTHONPATH=$(BUILD)-bench/python $(PYTHON) bench/bench_python.py \
	  --writer $(BUILD)-bench/bench/write_synthetic_recording
	if [ -x $(BUILD)-bench/bin/ovk ]; then $(PYTHON) bench/bench_readers.py --ovk $(BUILD)-bench/bin/ovk \
	  --source-bench $(BUILD)-bench/bench/ovk_source_bench; fi
	if [ -x $(BUILD)-bench/bin/ovk_formats_probe ]; then \
	  $(PYTHON) bench/bench_formats.py --probe $(BUILD)-bench/bin/ovk_formats_probe; fi

# The lossless coding against xz -9e and zstd -19 on every real recording
# (sizes, one-core speed), then the two-thread speedup on 20M events, and a
# 60 s, 50M-event recording written, read (peak memory) and cut into 10 ms
# windows (chunks decoded). Figures are printed, never asserted.
bench-lossless: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=OFF -DOVK_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD)-bench --target ovk_cli ovk_lossless_bench
	@command -v zstd >/dev/null || (apt-get update -qq && apt-get install -y -qq zstd)
	@if [ -d $(REAL_DATA) ]; then $(PYTHON) tools/lossless_compare.py $(REAL_DATA) \
	  --ovk $(BUILD)-bench/bin/ovk --bench $(BUILD)-bench/bench/ovk_lossless_bench --best; \
	else echo "note: $(REAL_DATA) not found: no real recordings to compare"; fi
	$(BUILD)-bench/bench/ovk_lossless_bench jobs 20000000
	$(BUILD)-bench/bench/ovk_lossless_bench write-60s $(BUILD)-bench/60s.ovkc
	$(BUILD)-bench/bench/ovk_lossless_bench read $(BUILD)-bench/60s.ovkc
	$(BUILD)-bench/bench/ovk_lossless_bench window $(BUILD)-bench/60s.ovkc
	rm -f $(BUILD)-bench/60s.ovkc

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
