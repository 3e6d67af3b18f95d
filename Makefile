# The two set-up commands of README.md live here: `make run` and `make test`.
# Both bootstrap the machine and build what they need.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR ?= build/release
TEST_BUILD_DIR ?= build/asan
OUT ?= out/demo

.PHONY: all bootstrap build build-sim build-test run run-x11 test bench clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD_DIR)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(TEST_BUILD_DIR)/build.ninja: | bootstrap
	cmake -S . -B $(TEST_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON

build: bootstrap $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Only what `make run` plays: corvane-sim and the libraries it links.
build-sim: bootstrap $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target corvane-sim

build-test: bootstrap $(TEST_BUILD_DIR)/build.ninja
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS)

# The main job: the simulated desktop with the bundled demo.
run: build-sim
	$(BUILD_DIR)/corvane-sim scenarios/demo.json --out $(OUT)

# The privacy controller on X11: on the current display with PROTECT=id[,id...] when DISPLAY is
# set, else on a virtual X server with test windows, writing what a share records to $(X11_OUT).
X11_OUT ?= out/x11
run-x11: bootstrap $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target corvane-x11-demo corvane-x11-testapp
	scripts/run-x11 $(BUILD_DIR) $(X11_OUT)

# A short bounded run of every fuzz target on its seed corpus, then the tests, built with address
# and undefined-behaviour sanitizers (CTest's summary closes the output).
FUZZ_SECONDS ?= 15
test: build-test
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz
	cd $(TEST_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD_DIR)/bench/*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build out
