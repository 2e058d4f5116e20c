# Thin wrapper around CMake. `make` builds, `make test` builds and runs every
# test, `make asan` does the same under AddressSanitizer and UBSan,
# `make demo` runs the servers on the bundled example configuration.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
PREFIX ?= /usr/local
FUZZ_TIME ?= 60
SOAK_TIME ?= 60

.PHONY: all deps build programs test asan demo fuzz soak bench install uninstall clean

all: build

deps:
	@sh scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@DEPS_TEST=1 sh scripts/deps.sh
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan: deps
	@DEPS_TEST=1 sh scripts/deps.sh
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The demo needs the programs only, not the tests.
programs: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target zolf mirt rekkon client probe

demo: programs
	@sh scripts/demo.sh $(BUILD)/bin

# Each libFuzzer target runs FUZZ_TIME seconds (clang from Debian's packages).
fuzz:
	@sh scripts/fuzz.sh $(FUZZ_TIME)

# Load with hostile clients against both real servers, SOAK_TIME seconds each.
soak: build
	@python3 soak/soak.py http $(BUILD)/bin --seconds $(SOAK_TIME) --clients 16
	@python3 soak/soak.py ftp $(BUILD)/bin --seconds $(SOAK_TIME) --clients 8

# Our servers side by side with nginx, lighttpd and vsftpd (installed from
# Debian's packages when missing), then rekkon on a million lines.
bench: programs
	@sh bench/run.sh $(BUILD)/bin

# DESTDIR is honoured as usual. The records of what went where and which
# directories were made are kept apart for each DESTDIR and PREFIX (a staged
# run never mixes with a real one); uninstall takes the same two.
# Only the programs are built for it: the tests are not installed.
INSTALL_STATE = $(BUILD)/installed$(DESTDIR)$(PREFIX)
install: programs
	@sh scripts/install.sh $(BUILD) $(PREFIX) "$(INSTALL_STATE)"

uninstall:
	@sh scripts/uninstall.sh "$(INSTALL_STATE)"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
