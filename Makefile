# Thin wrapper over CMake. `make run` and `make test` install what is missing first.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build run test sanitize clean

all: build

deps:
	@scripts/install-deps.sh

configure:
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: deps build
	@$(BUILD)/kvor

test: deps build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Address and undefined-behaviour sanitizers over the whole suite; thread sanitizer over the scan runner.
sanitize: deps
	@$(MAKE) --no-print-directory BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DKVOR_SANITIZE=address,undefined" test
	@$(MAKE) --no-print-directory BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DKVOR_SANITIZE=thread" test

clean:
	rm -rf $(BUILD) build-asan build-tsan
