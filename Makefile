# The two commands of the README.  Both install what is missing first.
# `make fuzz` runs every fuzz target for FUZZ_SECONDS (default 60) each.
.PHONY: demo test fuzz deps build clean

demo: deps
	@scripts/demo.sh

test: deps
	@scripts/test.sh

fuzz: deps
	@scripts/fuzz.sh

deps:
	@scripts/install-deps.sh

build: deps
	@bash -c 'source scripts/common.sh && build_all'

clean:
	rm -rf build
