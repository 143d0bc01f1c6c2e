# qilsite: build, test and demo entry points.
.PHONY: build deps test test-sanitize test-tsan demo test-browser test-corpus bench bench-build fuzz-smoke clean

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQIL_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

test: build
	@cd build && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQIL_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# The threaded parts (locks, waits, striped tables, file streaming) under ThreadSanitizer.
test-tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQIL_TSAN=ON >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -R '^(Waits|StripedTables|Rings|Streaming|Registry|Scanner|LinkCheck|EmitWriter|DriverSiteCli|DriverPagesCli|PeopleCli|Serve|ServeCli)\.'

# Runs the main job on a copy of the example site, so the tree stays clean.
demo: build
	@rm -rf build/demo && mkdir -p build/demo && cp -r examples/site build/demo/
	./build/qilsite target_path=build/demo/site/src root_path=build/demo/site local_path=build/demo/site
	@printf "\nopen file://%s\n" "$(CURDIR)/build/demo/site/website/index.html"

# Builds another copy of the example site and opens its pages in headless Chromium
# (Debian's chromium, chromium-driver and python3-selenium, which belongs to /usr/bin/python3).
# The Nu Html Checker comes from npm (vnu-jar, its jar only: no Java of its own is fetched)
# and runs on Debian's Java; it is kept in build/.
VNU_DIR ?= build/tools
VNU_JAR = $(VNU_DIR)/node_modules/vnu-jar/build/dist/vnu.jar
test-browser: build
	@QIL_BROWSER_DEPS=1 scripts/install-deps
	@[ -f $(VNU_JAR) ] || npm install --silent --no-audit --no-fund --ignore-scripts --prefix $(VNU_DIR) vnu-jar@26.10.12
	@rm -rf build/browser && mkdir -p build/browser && cp -r examples/site build/browser/
	@./build/qilsite target_path=build/browser/site/src root_path=build/browser/site \
		local_path=build/browser/site >build/browser/qilsite.log 2>&1; status=$$?; cat build/browser/qilsite.log; \
		[ $$status -eq 0 ] || { echo "test-browser: qilsite exited with $$status"; exit 1; }; \
		! grep -Eq '^(error|warning):|: (error|warning): ' build/browser/qilsite.log || \
		{ echo "test-browser: the example site must build without errors or warnings (above)"; exit 1; }
	/usr/bin/python3 scripts/test-browser build/browser/site --shots build/browser/shots --vnu $(VNU_JAR)
	@rm -rf build/browser-serve && mkdir -p build/browser-serve && cp -r examples/site build/browser-serve/
	timeout 180 /usr/bin/python3 scripts/test-browser-reload ./build/qilsite build/browser-serve/site
	@QIL_CORPUS_DEPS=1 scripts/install-deps
	@scripts/html-corpus --tools $(VNU_DIR)
	/usr/bin/python3 scripts/html-corpus-dom --assert

# Real documentation pages from Debian's -doc packages (gathered into build/corpus, never the
# tree): a page the Nu Html Checker finds valid must get no error, and a rewrite must be a
# fixed point.
test-corpus: build
	@QIL_CORPUS_DEPS=1 scripts/install-deps
	@scripts/html-corpus --tools $(VNU_DIR)
	/usr/bin/python3 scripts/html-corpus-check --assert

# Builds the benchmarks without running them, so they keep compiling as the code moves.
bench-build: deps
	@QIL_BENCH_DEPS=1 scripts/install-deps
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQIL_BENCH=ON -DQIL_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)

bench: bench-build
	@for b in build-bench/bench_*; do echo "== $$b"; $$b || exit 1; done

# Each libFuzzer target runs from its seed corpus for a bounded time.
FUZZ_SECONDS ?= 60
fuzz-smoke: deps
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQIL_FUZZ=ON -DQIL_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@for f in build-fuzz/fuzz_*; do \
		name=$${f##*/fuzz_}; mkdir -p build-fuzz/corpus-$$name build-fuzz/logs; \
		echo "== fuzz_$$name for $(FUZZ_SECONDS) s"; \
		seeds=fuzz/corpus/$$name; [ $$name = html ] && seeds="$$seeds tests/html/pages"; \
		$$f build-fuzz/corpus-$$name $$seeds -max_total_time=$(FUZZ_SECONDS) \
			-timeout=10 -rss_limit_mb=4096 -max_len=65536 -print_final_stats=1 \
			>build-fuzz/logs/$$name.log 2>&1; status=$$?; tail -8 build-fuzz/logs/$$name.log; \
		[ $$status -eq 0 ] || { echo "fuzz_$$name failed"; exit 1; }; \
	done

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
