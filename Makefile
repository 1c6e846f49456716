# Two commands for a fresh Debian machine: `make run` and `make test`.
# Both install what is missing (tools/install-deps.sh), then configure and build.
# SANITIZE=1 builds with AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/.

SANITIZE ?= 0
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD := build-asan
CMAKE_FLAGS := -DKALVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD := build
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif

.PHONY: all deps build run test bench fuzz install clean

all: build

deps:
	@bash tools/install-deps.sh

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/kalvex

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# PREFIX (default /usr/local); DESTDIR stages a package. Installs no build
# packages: a packager's machine has them already.
install: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

bench: build
	@bash bench/run.sh $(BUILD)

# FUZZ_SECONDS per target (default 300).
fuzz:
	@bash tools/install-deps.sh --fuzz
	@bash fuzz/run.sh $(or $(FUZZ_SECONDS),300)

clean:
	rm -rf build build-asan build-fuzz
