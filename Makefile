.PHONY: test demo bench lint stress

# All tests: C++ core tests and the Python suite (what CI runs).
test:
	bash scripts/test.sh

# The near-duplicate finder on a data set it generates itself.
demo:
	bash scripts/demo.sh

bench:
	.venv/bin/python bench/run.py
	.venv/bin/python bench/batch.py

lint:
	bash scripts/lint.sh

# The slow reliability runs: leaks on debug CPython, free-threaded stress,
# the test suite under ASan+UBSan (builds the interpreter variants first).
stress:
	bash scripts/stress.sh
