# The two commands users need: `make run` (the product) and `make test` (everything, from a fresh machine).
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= 2
WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps configure build test test-unit test-integration run demo package clean asan tsan format format-check lint

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) -DKIV_WERROR=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	@ctest --preset $(PRESET) -j$(JOBS) --output-on-failure --timeout 600

test-unit: build
	@ctest --preset $(PRESET) -j$(JOBS) --output-on-failure -L unit

test-integration: build
	@ctest --preset $(PRESET) -j$(JOBS) --output-on-failure -L integration

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# Formatting (.clang-format): CI refuses a tree that clang-format-16 would change.
CXX_SOURCES = $$(git ls-files '*.cpp' '*.hpp' '*.h')
format:
	@clang-format-16 -i $(CXX_SOURCES)

format-check:
	@clang-format-16 --dry-run -Werror $(CXX_SOURCES) && echo "format-check: clean"

# clang-tidy (.clang-tidy's checks) over the modules clang can build with libc++ (see README).
lint: fuzz-build
	@clang-tidy-16 -p build/fuzz --quiet --warnings-as-errors='*' --extra-arg=-stdlib=libc++ KivBase/src/*.cpp KivProtocol/src/*.cpp

# The desktop application on an X11 desktop, else the headless host in the foreground (its own X
# server when there is none). HEADLESS=1 picks the headless host; ARGS adds flags.
run: build
	@BUILD_DIR=$(BUILD_DIR) HEADLESS=$(HEADLESS) scripts/run $(ARGS)

# The whole system on one machine: host, a moving picture on its new monitor, and the receiver.
demo: build
	@BUILD_DIR=$(BUILD_DIR) scripts/demo

# The .deb packages (kivdisplay, kivdisplay-receiver) of this build, in build/$(PRESET).
package: build
	@cd $(BUILD_DIR) && cpack -G DEB >/dev/null && ls -1 $(CURDIR)/$(BUILD_DIR)/*.deb

clean:
	@rm -rf build

# Fuzzing: clang-16 + libc++ build of the protocol module; each target runs FUZZ_SECONDS from the seed corpus.
FUZZ_SECONDS ?= 5
FUZZ_TARGETS := control_frame_decoder stream_frame_decoder frame_reassembler video_datagram control_message_json web_link_items \
                usbmux_packet settings_file receiver_frames

.PHONY: fuzz-build fuzz-seeds fuzz-smoke fuzz-long
fuzz-build: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz -j$(JOBS)

fuzz-seeds: fuzz-build
	@build/fuzz/fuzz/fuzz_make_seeds KivProtocol/tests/data/control fuzz/corpus

fuzz-smoke: fuzz-build
	@failed=""; for t in $(FUZZ_TARGETS); do \
	  work=$$(mktemp -d); \
	  echo "fuzz $$t for $(FUZZ_SECONDS)s"; \
	  build/fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=$$work/ $$work fuzz/corpus/$$t >$$work/log 2>&1 || true; \
	  grep -E 'DONE|stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY' $$work/log; \
	  if ls $$work/crash-* $$work/leak-* $$work/timeout-* $$work/oom-* >/dev/null 2>&1; then \
	    mkdir -p fuzz/found/$$t; cp $$work/crash-* $$work/leak-* $$work/timeout-* $$work/oom-* fuzz/found/$$t/ 2>/dev/null; \
	    echo "fuzz $$t: a failing input is in fuzz/found/$$t"; failed="$$failed $$t"; \
	  fi; \
	  rm -rf $$work; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: failing inputs from:$$failed"; exit 1; fi

# Every target for 10 minutes (about 90 in all); a failing input is kept in fuzz/found/TARGET.
fuzz-long:
	@$(MAKE) --no-print-directory fuzz-smoke FUZZ_SECONDS=600
