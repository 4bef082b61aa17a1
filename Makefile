# Thin wrapper over CMake. `make run`, `make test`, `make install` and `make package` install
# what their step needs first (scripts/install-deps.sh).
BUILD ?= build
JOBS  ?= $(shell nproc)
PREFIX ?= /usr/local
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST = QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
SUPP  = $(CURDIR)/tests

# Where threads meet: the scan's worker and the user interface, the readers ahead of the walk.
THREAD_TESTS = tst_windows test_platform_readahead
# The walk's tests where readers hand it what they read: the others fork once threads have run,
# or ask for a thread stack the sanitizer's runtime refuses.
THREAD_WALK = --gtest_filter=Walk.FaultsAreMarked*:Walk.TreesMatch*:Walk.StopAtAnyYield*

# What `deps` installs and `build` builds; the targets below narrow them. Without the tests
# the build needs no GoogleTest.
DEPS    = build run package test screenshots
TESTS   = ON
TARGETS =

.PHONY: all deps configure build run test install install-built uninstall package debian \
  debian-test sanitize asan tsan clean

all: build

deps:
	@scripts/install-deps.sh $(DEPS)

configure:
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DKVOR_TESTS=$(TESTS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) $(TARGETS)

run: DEPS = build run
run: TESTS = OFF
run: TARGETS = --target kvor
run: deps build
	@$(BUILD)/kvor

# Into PREFIX (/usr/local unless given): the program, kvor-scan, menu entry, icons, manual pages.
install: DEPS = build
install: TESTS = OFF
install: deps build
	@$(MAKE) --no-print-directory install-built

# What is built, installed; the folders the install is about to make are noted first (from
# an install into a staging folder), so that `make uninstall` removes them and only them.
install-built:
	@rm -rf $(BUILD)/staging
	@DESTDIR=$(abspath $(BUILD))/staging cmake --install $(BUILD) --prefix "$(PREFIX)" >/dev/null
	@cd $(BUILD)/staging && find . -mindepth 1 -type d | sed 's|^\.||' | \
	  while IFS= read -r d; do [ -d "$$d" ] || printf '%s\n' "$$d"; done >../install_dirs.txt
	@rm -rf $(BUILD)/staging
	@cmake --install $(BUILD) --prefix "$(PREFIX)"

# Removes what `make install` installed from this build folder, then the folders it made.
uninstall:
	@[ -f $(BUILD)/install_manifest.txt ] || { echo "uninstall: nothing installed from $(BUILD)" >&2; exit 1; }
	@xargs -r -d '\n' rm -f -- <$(BUILD)/install_manifest.txt
	@[ ! -f $(BUILD)/install_dirs.txt ] || LC_ALL=C sort -r $(BUILD)/install_dirs.txt | \
	  xargs -r -d '\n' rmdir --ignore-fail-on-non-empty --
	@rm -f $(BUILD)/install_manifest.txt $(BUILD)/install_dirs.txt

# $(BUILD)/korvane_1.5.0-1_amd64.deb (the program) and korvane-scan_1.5.0-1_amd64.deb
# (kvor-scan), made by cpack from this build; `make debian` builds the source package.
package: DEPS = build package
package: TESTS = OFF
package: deps build
	@cd $(BUILD) && cpack -G DEB

# The Debian source package and its binaries, built in a clean bookworm chroot, then lintian,
# the autopkgtests and a purge (scripts/debian-build.sh); `debian-test` also builds them twice
# and compares them with what cpack makes. Needs root, debootstrap and the mirror.
debian: DEPS = debian
debian: deps
	@scripts/debian-build.sh

debian-test: DEPS = build package debian
debian-test: TESTS = OFF
debian-test: deps build
	@tests/dist/debian_test.sh $(BUILD) $(CURDIR)

# The sanitizer passes first, so the plain suite's summary closes the output.
test: DEPS = build run package test
test: deps build
	@$(MAKE) --no-print-directory sanitize
	@cd $(BUILD) && $(CTEST)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests
# where threads meet under ThreadSanitizer. Qt itself is not instrumented: see tests/*.supp.
# Each pass first runs a program with a race and a leak planted in our own code, under the
# same options, and stops unless its sanitizer reports the planted fault.
sanitize: asan tsan

ASAN_ENV = ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(SUPP)/lsan.supp \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
TSAN_ENV = TSAN_OPTIONS="suppressions=$(SUPP)/tsan.supp exitcode=66"
# ThreadSanitizer of this compiler aborts on "unexpected memory mapping" where the kernel
# randomises mmap with more bits than it expects; without randomisation it always fits.
# Where the personality cannot be changed (some containers), run as is.
NO_ASLR := $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)
PLANTED = $(CURDIR)/tests/sanitizers/expect-planted.sh

asan:
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVOR_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@$(ASAN_ENV) $(PLANTED) leak build-asan/sanitizer-selftest
	@cd build-asan && $(ASAN_ENV) $(CTEST)

tsan:
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKVOR_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target $(THREAD_TESTS) test_engine sanitizer-selftest
	@$(TSAN_ENV) $(PLANTED) race $(NO_ASLR) build-tsan/sanitizer-selftest
	@cd build-tsan && for t in $(THREAD_TESTS); do \
	  QT_QPA_PLATFORM=offscreen $(TSAN_ENV) $(NO_ASLR) ./$$t -silent || exit 1; \
	done; $(TSAN_ENV) $(NO_ASLR) ./test_engine $(THREAD_WALK) --gtest_brief=1 || exit 1; \
	echo "ThreadSanitizer: clean"

clean:
	rm -rf $(BUILD) build-asan build-tsan
