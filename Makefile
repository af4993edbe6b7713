# Entry points for newcomers and CI. Every target installs what is missing first.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 20
GEN := -G Ninja
# Where `make install` puts the programs; DESTDIR is honoured too (staged installs).
PREFIX ?= /usr/local

.PHONY: deps build run test test-asan test-tsan fuzz bench demo install package clean

deps:
	@bash tools/install-deps.sh

build: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

run: build
	@bash tools/run.sh build/velmora

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE slow

test-tsan: deps
	cmake -S . -B build-tsan $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -LE slow

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF -DVELMORA_GUI=OFF
	cmake --build build-fuzz -j $(JOBS)
	@bash tools/run-fuzz.sh build-fuzz $(FUZZ_SECONDS)

bench: deps
	cmake -S . -B build-bench $(GEN) -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=ON
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench_*; do echo "== $$b"; $$b; done

# The programs, their manual pages, the desktop entry, icon, metadata and completion under PREFIX.
install: build
	cmake --install build --prefix $(PREFIX)

# The Debian package (build/velmora_VERSION-1_ARCH.deb): sudo apt install ./build/velmora_*.deb
package: build
	cd build && cpack -G DEB

demo: build
	@bash tools/demo.sh build/velmora

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench
