# Front door: `make` builds for Linux, `make windows` cross-builds for
# Windows x64 and `make windows32` for 32-bit Windows (x86), each packing its
# zip with CPack, `make deb` packs the Linux build as a Debian package,
# `make check` builds everything and runs every test, and `make demo` serves
# the echo program on 127.0.0.1 (`make demo-fastcgi`: as a FastCGI
# responder), and `make docs` writes the reference documentation of the
# public headers to build/docs/html/. Each build is a preset of
# CMakePresets.json (`cmake --preset linux` and so on), in the folder that
# the preset names. `make check` and
# `make demo` first install what they need (`make deps`, as root); `make`
# alone needs what scripts/deps.sh installs for the tests too.
BUILD   = build
WIN     = build-win64
WIN32   = build-win32
ASAN    = build-asan
FUZZ    = build-fuzz
BENCH   = build-bench
JOBS    ?= $(shell nproc)
FUZZ_SECONDS ?= 20
FUZZ_TARGETS = codec_fuzz decode_fuzz form_fuzz request_fuzz entry_fuzz urlencoded_fuzz cookie_fuzz multipart_fuzz \
               inspect_fuzz capture_fuzz
# Targets that also take the recorded requests of tests/captures/ as seeds.
CAPTURE_SEEDED = entry_fuzz|urlencoded_fuzz|cookie_fuzz|multipart_fuzz|capture_fuzz
CAPTURE_SEEDS = $(wildcard tests/captures/echo tests/captures/inspect)
WINE    ?= $(firstword $(wildcard /usr/lib/wine/wine64 /usr/bin/wine64) wine64)
# The 32-bit loader; /usr/bin/wine is a wrapper that may pick the 64-bit one.
WINE32  ?= $(firstword $(wildcard /usr/lib/wine/wine) wine)
export WINEDEBUG = -all

.PHONY: deps bench all linux windows windows32 deb asan fuzz check check-linux check-asan check-windows \
        check-windows32 check-fuzz check-stress check-docs docs demo demo-fastcgi clean

all: linux

linux:
	cmake --preset linux
	cmake --build --preset linux -j $(JOBS)

# cgiecho-win64.zip and cgiecho-win32.zip, packed by CPack in the build folder.
windows:
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)
	cd $(WIN) && cpack -G ZIP

windows32:
	cmake --preset windows32
	cmake --build --preset windows32 -j $(JOBS)
	cd $(WIN32) && cpack -G ZIP

# build/cgiecho_<version>_<arch>.deb, for `apt-get install ./cgiecho_....deb`.
deb: linux
	cd $(BUILD) && cpack -G DEB

asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target $(FUZZ_TARGETS)

# Every Debian package the build and the tests need (apt-get, as root).
deps:
	scripts/deps.sh

check: deps
	$(MAKE) linux windows windows32 asan fuzz
	$(MAKE) check-linux check-asan check-windows check-windows32 check-fuzz check-stress check-docs
	@echo "make check: every suite passed"

# The Linux build also runs the Windows programs under Wine, with the same
# one retry as check-windows (below) for those alone.
WINE_TESTS = [Ww]indows|[Ww]ine
check-linux: linux windows windows32
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -E '$(WINE_TESTS)'
	cd $(BUILD) && $(WINE_CTEST) -R '$(WINE_TESTS)'

check-asan: asan
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# One fresh Wine prefix per run, made before the tests so that its first
# start-up is not counted against any test's time. Now and then (about once
# in some hundred starts) a program dies under Wine at start-up, before any
# of our code runs, so a test program that fails is run once more: one that
# fails for a fault of ours fails again.
WINE_CTEST = ctest --output-on-failure -j $(JOBS) --repeat until-pass:2
check-windows: windows
	rm -rf $(WIN)/wineprefix
	WINEPREFIX=$(CURDIR)/$(WIN)/wineprefix $(WINE) wineboot -i >/dev/null 2>&1
	cd $(WIN) && WINEPREFIX=$(CURDIR)/$(WIN)/wineprefix $(WINE_CTEST)

# The same for the 32-bit build, in a 32-bit prefix of its own.
check-windows32: windows32
	rm -rf $(WIN32)/wineprefix
	WINEARCH=win32 WINEPREFIX=$(CURDIR)/$(WIN32)/wineprefix $(WINE32) wineboot -i >/dev/null 2>&1
	cd $(WIN32) && WINEARCH=win32 WINEPREFIX=$(CURDIR)/$(WIN32)/wineprefix $(WINE_CTEST)

# Each fuzz target runs for a bounded time from its seed corpus (the seeds
# stay as they are; new inputs go to a scratch folder).
check-fuzz: fuzz
	@for t in $(FUZZ_TARGETS); do \
	  rm -rf $(FUZZ)/corpus-$$t && mkdir -p $(FUZZ)/corpus-$$t && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	  if $(FUZZ)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       $(FUZZ)/corpus-$$t fuzz/corpus/$$t $$(case $$t in $(CAPTURE_SEEDED)) echo $(CAPTURE_SEEDS);; esac) \
	       > $(FUZZ)/$$t.log 2>&1; \
	  then grep -E 'stat::number_of_executed_units|stat::peak_rss' $(FUZZ)/$$t.log; \
	  else tail -n 60 $(FUZZ)/$$t.log; exit 1; fi; \
	done

# Performance cases kept out of the unit suites (their ctest configuration
# is "stress"), in the release build and under the sanitizers.
check-stress: linux asan
	cd $(BUILD) && ctest --output-on-failure -C stress -L stress
	cd $(ASAN) && ctest --output-on-failure -C stress -L stress

# The reference documentation: Doxygen over the public headers, HTML in
# build/docs/html/. Any warning fails it, an undocumented public name
# included (cmake/docs.cmake), so check-docs keeps every name documented.
docs:
	cmake --preset linux
	cmake --build --preset linux --target docs

check-docs: docs

# Google Benchmark programs against well-known libraries, in one run each.
bench:
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)

demo: deps
	$(MAKE) linux
	tests/servers/demo.sh $(BUILD)/cgiecho $(BUILD)/cgiecho-upload

# The same with the program as a FastCGI responder (DEMO_FASTCGI=1 make demo
# does the same).
demo-fastcgi:
	DEMO_FASTCGI=1 $(MAKE) demo

# Every folder the targets above make, and nothing else.
clean:
	rm -rf $(BUILD) $(WIN) $(WIN32) $(ASAN) $(FUZZ) $(BENCH)
