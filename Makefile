# The two commands users need: `make run` (the product) and `make test` (everything, from a fresh machine).
PRESET ?= default
BUILD_DIR := build/$(PRESET)
JOBS ?= 2
WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps configure build test test-unit test-integration run clean asan tsan

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) -DKIV_WERROR=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	@ctest --test-dir $(BUILD_DIR) -j$(JOBS) --output-on-failure --timeout 600

test-unit: build
	@ctest --test-dir $(BUILD_DIR) -j$(JOBS) --output-on-failure -L unit

test-integration: build
	@ctest --test-dir $(BUILD_DIR) -j$(JOBS) --output-on-failure -L integration

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

run:
	@echo "make run: the host service (kivdisplay-host) is not built yet; it arrives with the host-service work."
	@echo "Today the repository holds the protocol module and the runtime; 'make test' exercises them."
	@exit 1

clean:
	@rm -rf build
