# Everything runs inside the Debian sid build root (tools/devroot); the host needs only Debian and root.
RUN := tools/devroot run
SIMRUN := tools/devroot run --sim
CONFIGURE = $(RUN) cmake -S . -B $(1) -G Ninja -Wno-dev $(2) >/dev/null

.PHONY: all root build test soak fuzz demo bench docs clean

all: build

root:
	@tools/devroot ensure

build: root
	@$(call CONFIGURE,build,)
	@$(RUN) cmake --build build

# The plain suites run once more against Debian 12's libftdi 1.5, in a second root (not under PYZUM_QUICK=1).
test: root
	@$(if $(filter 1,$(PYZUM_QUICK)),,tools/devroot --libftdi 1.5 ensure)
	@$(RUN) python3 tools/run_tests.py

# The soak and stress tests at full length (make test runs them short): about three minutes.
soak: root
	@$(RUN) python3 tools/run_tests.py --soak

# Fuzzes the frame decoder for FUZZ_SECONDS (libFuzzer, clang, build/fuzz); prints executions and coverage.
FUZZ_SECONDS ?= 300
fuzz: root
	@$(RUN) python3 tests/fuzz/run_fuzz.py --seconds $(FUZZ_SECONDS)

# Runs against the simulated board (its embedded default, SIM0001): the preloaded stand-in hides real USB.
# The view opens a window where DISPLAY is set and draws its snapshot off screen elsewhere.
demo: build
	@mkdir -p build/demo
	@echo "== python3 -m pyzum_zezudi_vu list"
	@$(SIMRUN) python3 -m pyzum_zezudi_vu list
	@echo "== python3 -m pyzum_zezudi_vu capture --seconds 2 --plot build/demo/channels.png"
	@$(SIMRUN) python3 -m pyzum_zezudi_vu capture --seconds 2 --plot build/demo/channels.png
	@echo "== python3 -m pyzum_zezudi_vu view --seconds 3 --snapshot build/demo/view.png"
	@$(SIMRUN) python3 -m pyzum_zezudi_vu view --seconds 3 --snapshot build/demo/view.png

bench: root
	@$(RUN) python3 tools/run_bench.py

# The documentation, HTML in build/docs (build/docs/index.html); its reference pages import the built modules.
docs: build
	@$(RUN) python3 -m sphinx -q -b html -d build/docs-doctrees docs build/docs

clean:
	rm -rf build
