# Every target builds the package into its own virtual environment under
# .venv/, one per CPython 3.12+ found on this machine.

.PHONY: test demo bench clean

test:
	@scripts/test.sh

demo:
	@scripts/demo.sh

bench:
	@scripts/bench.sh

clean:
	rm -rf build dist .venv
