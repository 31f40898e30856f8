# The README's commands. Every target installs what is missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
RELEASE_BUILD ?= build-release
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build run test test-sanitize release bench check clean fuzz

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/quindle2

CTEST_FLAGS ?= --output-on-failure -j$(JOBS)
# The tests labelled realtime-audio record a real sound server in real time; on a loaded machine
# the server can lose a period. Only they are run again on failure, up to three times in all: a
# real fault fails every time, and ctest's output still shows each failed attempt. Every other
# test fails at once.
CTEST_RUN = ctest $(CTEST_FLAGS) -LE realtime-audio && ctest $(CTEST_FLAGS) -L realtime-audio --repeat until-pass:3

# The project's own builds treat warnings as errors; a plain or packager's build does not.
test: CMAKE_FLAGS += -DQUINDLE_WERROR=ON
test: build
	cd $(BUILD) && $(CTEST_RUN)

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUINDLE_SANITIZE=ON -DQUINDLE_BENCH=OFF -DQUINDLE_WERROR=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && export ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 && \
		$(CTEST_RUN)

# Everything (program, tests, benchmarks) as a distribution builds it: Release, which is -O3, where
# GCC reports warnings that it does not at -O2.
release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DQUINDLE_WERROR=ON
	cmake --build $(RELEASE_BUILD) -j$(JOBS)

# Static analysis of every source; any finding fails.
check: deps
	bash scripts/static-check.sh

bench: build
	bash scripts/run-benchmarks.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD) $(PACKAGE_BUILD)

# Installs for the current user under ~/.local; `make install PREFIX=/some/where` for another place.
# A copy its user can write keeps its settings beside itself; otherwise they go to ~/.config/quindle2.
PREFIX ?= $(HOME)/.local

.PHONY: install package screenshot

install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package for /usr, built with CPack: $(PACKAGE_BUILD)/quindle2_<version>_<arch>.deb.
# Compiled with Debian's hardening flags, as a distribution's build would be.
PACKAGE_BUILD ?= build-package
BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: deps
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DBUILD_TESTING=OFF -DQUINDLE_BENCH=OFF \
		-DCMAKE_CXX_FLAGS="$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CXXFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)"
	cmake --build $(PACKAGE_BUILD) -j$(JOBS) --target quindle2
	cd $(PACKAGE_BUILD) && cpack -G DEB

# The README's picture of the main window, taken on a private X server.
screenshot: build
	bash scripts/screenshot.sh $(BUILD)/quindle2 docs/screenshot.png

# The libFuzzer targets, built with clang, each for a bounded time (scripts/fuzz.sh).
fuzz: deps
	bash scripts/fuzz.sh
