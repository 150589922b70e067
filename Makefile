# The two commands of the README: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
ARGS       ?=
JOBS       ?= 2
# Suites at once. They spend nearly all their time waiting on the link's time-outs and the
# simulated unit's restarts (the normal suite: about 65 s of processor time in 776 s at -j2),
# so more of them than cores; the few that time the link closely run alone (RUN_SERIAL).
TEST_JOBS  ?= 8
CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON
# Fuzzing: clang with libFuzzer, only the fuzz targets and the libraries they need.
FUZZ_BUILD ?= build-fuzz
FUZZ_CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON \
	-DBUILD_TESTING=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
TARGET ?= rx_conditions
SECONDS ?= 600

.PHONY: all deps configure build run test test-fast test-asan fuzz-build fuzz bench campaign \
        screenshots format clean package package-check

# Plain `make`: install what is needed and build everything.
all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the program it runs.
run: configure
	cmake --build $(BUILD) --target corvane-updater -j $(JOBS)
	$(BUILD)/src/updater/corvane-updater $(ARGS)

# Whole suite, then again under AddressSanitizer + UndefinedBehaviorSanitizer; the libFuzzer
# build of the fuzz targets last, so that they keep building.
test: test-fast test-asan fuzz-build

test-fast: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(TEST_JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(TEST_JOBS) -LE no-sanitize

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) $(FUZZ_CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) --target fuzz-targets -j $(JOBS)

# make fuzz TARGET=rtu_reply SECONDS=600: new inputs go to $(FUZZ_BUILD)/corpus/TARGET, crashes
# to $(FUZZ_BUILD)/artifacts; the log is $(FUZZ_BUILD)/fuzz-0.log.
fuzz: fuzz-build
	mkdir -p $(FUZZ_BUILD)/corpus/$(TARGET) $(FUZZ_BUILD)/artifacts
	cd $(FUZZ_BUILD) && nice -n 15 fuzz/fuzz_$(TARGET) -max_total_time=$(SECONDS) \
		-jobs=1 -workers=1 -print_final_stats=1 -artifact_prefix=artifacts/$(TARGET)- \
		corpus/$(TARGET) $(CURDIR)/fuzz/corpus/$(TARGET); \
		status=$$?; tail -n 12 fuzz-0.log; exit $$status

bench: build
	cmake --build $(BUILD) --target benchmarks -j $(JOBS)
	$(BUILD)/bench/modbus_exchange
	$(BUILD)/bench/full_upgrade
	$(BUILD)/bench/read_interval
	$(BUILD)/bench/bootloader_losses

# The Debian package, made from the normal build: build/corvane-updater_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB

# Installs that package here, runs it from /usr/bin, removes it again (CI).
package-check: package
	./scripts/check-package.sh $(BUILD)

# The whole fault campaign (a few thousand runs, about 6 minutes on 40 workers).
campaign: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/tools/fault_campaign/fault_campaign --slice full --workers 40 --detail

screenshots: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/tools/screenshots docs/screens

format:
	find src sim tests bench tools fuzz resources -name '*.cpp' -o -name '*.h' | xargs clang-format-16 -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
