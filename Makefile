# Thin wrapper over CMake. `make run` and `make test` install what is missing first.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST = QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
SUPP  = $(CURDIR)/tests

# Where the scan's worker thread meets the user interface.
THREAD_TESTS = tst_mainwin_mainwindow tst_dialogs_flows tst_dialogs_waitabout tst_dialogs_hungdrive

.PHONY: all deps configure build run test sanitize asan tsan clean

all: build

deps:
	@scripts/install-deps.sh

configure:
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: deps build
	@$(BUILD)/kvor

# The sanitizer passes first, so the plain suite's summary closes the output.
test: deps build
	@$(MAKE) --no-print-directory sanitize
	@cd $(BUILD) && $(CTEST)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests
# where threads meet under ThreadSanitizer. Qt itself is not instrumented: see tests/*.supp.
sanitize: asan tsan

asan:
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVOR_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(SUPP)/lsan.supp \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(CTEST)

tsan:
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKVOR_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target $(THREAD_TESTS)
	@cd build-tsan && for t in $(THREAD_TESTS); do \
	  QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="suppressions=$(SUPP)/tsan.supp exitcode=66" ./$$t -silent || exit 1; \
	done; echo "ThreadSanitizer: clean"

clean:
	rm -rf $(BUILD) build-asan build-tsan
