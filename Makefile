# The two commands of the README.  Both install what is missing first.
# `make fuzz` runs every fuzz target for FUZZ_SECONDS (default 60) each.
.PHONY: demo test fuzz deps build clean fresh-check

demo: deps
	@scripts/demo.sh

test: deps
	@scripts/test.sh

fuzz: deps
	@scripts/fuzz.sh

# The README's test command on a new Debian 12 root (debootstrap): run it
# whenever the set-up scripts change.  Not part of CI.
fresh-check:
	@scripts/fresh-check.sh

deps:
	@scripts/install-deps.sh

build: deps
	@bash -c 'source scripts/common.sh && build_all'

clean:
	rm -rf build
