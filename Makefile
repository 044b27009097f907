# The two commands of the README.  Both install what is missing first.
.PHONY: demo test deps build clean

demo: deps
	@scripts/demo.sh

test: deps
	@scripts/test.sh

deps:
	@scripts/install-deps.sh

build: deps
	@bash -c 'source scripts/common.sh && build_all'

clean:
	rm -rf build
