# Every target builds the package into its own virtual environment under
# .venv/, one per CPython 3.12+ found on this machine.

.PHONY: test test-newest test-configs lint format demo bench clean sanitize fuzz leaks valgrind wheel wheel-config

# make fuzz: the time for the whole run, split evenly across the targets;
# TARGETS picks some of them (switchcolor detectencoding fixencoding
# declaration parser).
SECONDS ?= 60
TARGETS ?=

test:
	@scripts/test.sh

# The style of the C++ (clang-format) and of the Python (ruff), with the
# tools' pinned versions; `make format` rewrites the files to it.
lint:
	@scripts/lint.sh

format:
	@scripts/lint.sh --fix

# The whole suite on Debian unstable's newest CPython releases and their
# debug builds, in a root made once under build/ (needs root).
test-newest:
	@scripts/test-newest.sh

# The suite built with clang, with the vector paths compiled out, with the
# scanner capped at narrower instruction sets, and cross-compiled for
# AArch64; CONFIGS picks some of them (clang scalar isa aarch64).
CONFIGS ?=
test-configs:
	@scripts/test-configs.sh $(CONFIGS)

demo:
	@scripts/demo.sh

bench:
	@scripts/bench.sh

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	@scripts/sanitize.sh

fuzz:
	@scripts/fuzz.sh $(SECONDS) $(TARGETS)

# The long leak runs: hundreds of thousands of calls per entry point, with
# the resident set size watched as well.
leaks:
	@scripts/leaks.sh

# The whole test suite under valgrind's memcheck.
valgrind:
	@scripts/valgrind.sh

# The sdist and a wheel built from it, repaired for manylinux, with the test
# suite and the type checkers run against the installed wheel.
wheel:
	@scripts/wheel.sh

# The wheel workflow's configuration: the builds it selects on each system
# and the workflow file's lint.
wheel-config:
	@scripts/wheel-config.sh

clean:
	rm -rf build dist .venv fuzz/out fuzz/crashes
