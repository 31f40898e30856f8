# The README's commands. Every target installs what is missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
RELEASE_BUILD ?= build-release
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps deps-ci build run test test-sanitize release bench check clean fuzz thread-safety

all: build

# What building and testing need; deps-ci adds CI's other tools (clang, cppcheck, packaging).
deps:
	@bash scripts/install-deps.sh test

deps-ci:
	@bash scripts/install-deps.sh ci

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

# The tone library built with clang's thread-safety analysis: which lock guards which member is
# written in the code, and any access that breaks it fails the build.
THREAD_SAFETY_BUILD ?= build-thread-safety
thread-safety: deps-ci
	CC=clang CXX=clang++ cmake -S . -B $(THREAD_SAFETY_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUINDLE_WERROR=ON \
		-DBUILD_TESTING=OFF -DQUINDLE_BENCH=OFF -DCMAKE_CXX_FLAGS=-Wthread-safety
	cmake --build $(THREAD_SAFETY_BUILD) -j$(JOBS) --target quindle_tone

# Static analysis of every source; any finding fails.
check: deps-ci
	bash scripts/static-check.sh

bench: build
	bash scripts/run-benchmarks.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD) $(THREAD_SAFETY_BUILD) $(PACKAGE_BUILD) $(INSTALL_BUILD)

# Installs for the current user under ~/.local; `make install PREFIX=/some/where` for another place.
# Needs only what building the program needs, builds only the program, in a build of its own, and
# installs it stripped. A copy its user can write keeps its settings beside itself; one under /usr
# keeps them in ~/.config/quindle2.
PREFIX ?= $(HOME)/.local
INSTALL_BUILD ?= build-install

.PHONY: install uninstall package screenshot

install:
	@bash scripts/install-deps.sh build
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUINDLE_BENCH=OFF
	cmake --build $(INSTALL_BUILD) -j$(JOBS) --target quindle2
	bash scripts/install.sh $(INSTALL_BUILD) "$(PREFIX)"

# Removes what the last `make install` installed, and the folders that it made once they are empty;
# the settings files stay, and it says where.
uninstall:
	bash scripts/uninstall.sh $(INSTALL_BUILD)

# The Debian package (debian/), built by dpkg-buildpackage from a copy of the tree in
# $(PACKAGE_BUILD)/quindle2, so that its results land in $(PACKAGE_BUILD): quindle2_<version>_<arch>.deb,
# its -dbgsym package, .buildinfo and .changes. Needs only what dpkg-buildpackage needs.
PACKAGE_BUILD ?= build-package
package:
	@bash scripts/install-deps.sh package
	rm -rf $(PACKAGE_BUILD)
	mkdir -p $(PACKAGE_BUILD)/quindle2
	tar -c --exclude-vcs --exclude='./build*' --exclude='./obj-*' . | tar -x -C $(PACKAGE_BUILD)/quindle2
	cd $(PACKAGE_BUILD)/quindle2 && dpkg-buildpackage -us -uc -b -J$(JOBS)

# The README's picture of the main window, taken on a private X server.
screenshot: build
	bash scripts/screenshot.sh $(BUILD)/quindle2 docs/screenshot.png

# The libFuzzer targets, built with clang, each for a bounded time (scripts/fuzz.sh).
fuzz: deps-ci
	bash scripts/fuzz.sh
