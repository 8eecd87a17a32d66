PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build test test-cpp test-python test-asan demo bench bench-micro clean

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_PYTHON=$(PYTHON)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure

test-python: build
	PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q tests/python

test: deps
	$(MAKE) test-cpp test-python

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=address -DTARNWICK_BUILD_PYTHON=OFF
	cmake --build build-asan -j $(JOBS) --target tarnwick_tests
	cd build-asan && ctest --output-on-failure

demo: deps build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/train_demo.py

# tarnwick beside torch.save / torch.load and this machine's limits;
# prints the table and writes bench/results/latest.{json,png}.
bench: build
	PYTHONPATH=$(BUILD) $(PYTHON) bench/run.py --build $(BUILD)

bench-micro: build
	$(BUILD)/tarnwick_micro_bench

clean:
	rm -rf $(BUILD) build-asan
