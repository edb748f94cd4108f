# Everything runs inside the Debian sid build root (tools/devroot); the host needs only Debian and root.
RUN := tools/devroot run
SIMRUN := tools/devroot run --sim
CONFIGURE = $(RUN) cmake -S . -B $(1) -G Ninja -Wno-dev $(2) >/dev/null

.PHONY: all root build test demo bench clean

all: build

root:
	@tools/devroot ensure

build: root
	@$(call CONFIGURE,build,)
	@$(RUN) cmake --build build

test: root
	@$(RUN) python3 tools/run_tests.py

demo: build
	@$(SIMRUN) python3 -c "import _pyzum_zezudi_vu as m; print(m.list_pcb_roq())"

bench: root
	@$(RUN) python3 tools/run_bench.py

clean:
	rm -rf build
