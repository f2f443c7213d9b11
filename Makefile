.PHONY: test lint format dist

# Sets up a virtual environment per supported CPython and runs every test on each.
test:
	scripts/test-all

lint:
	scripts/lint

# The source archive and a manylinux wheel per supported CPython found, in dist/ (scripts/dist).
dist:
	scripts/dist

# Rewrites the sources into the project's format.
format:
	scripts/lint >/dev/null 2>&1 || true
	.venvs/lint/bin/ruff format python tests bench
	.venvs/lint/bin/ruff check --fix python tests bench
	find src tests/native -name '*.cpp' -o -name '*.hpp' | xargs .venvs/lint/bin/clang-format -i

# Times the tracer against a do-nothing C hook, cProfile and VizTracer on every CPython found,
# checks its memory, and writes bench/RESULTS.md (see bench/README.md).
.PHONY: bench
bench:
	bench/run

# Builds the package into .venvs/demo, traces examples/demo.py (a few functions, a class and a
# thread) with `vexo run`, prints the call tree of the stored trace with `vexo show`, and tells how
# to explore it in the browser.
.PHONY: demo
demo:
	@[ -x .venvs/demo/bin/python ] || "$$(scripts/find-pythons | tail -n 1 | cut -d' ' -f2)" -m venv .venvs/demo
	.venvs/demo/bin/python -m pip install -q --disable-pip-version-check .
	.venvs/demo/bin/vexo run --threading examples/demo.py
	.venvs/demo/bin/vexo show
	@echo
	@echo "Explore it in the browser: .venvs/demo/bin/vexo serve --open"
	@echo "or as one HTML file:       .venvs/demo/bin/vexo html -o demo.html"

# Reliability checks (README, "Reliability checks"): each runs on every CPython found, in the
# environments of `make test` (VEXO_VENVS, VEXO_BUILD_DIR and VEXO_CHECK_PYTHONS choose others).
.PHONY: check-sanitizers check-leaks check-threads check-fork check-hostile check-thirdparty check-all
.PHONY: check-wheels
check-sanitizers:
	checks/check-sanitizers
check-leaks:
	checks/check-leaks
check-threads:
	checks/check-threads
check-fork:
	checks/check-fork
check-hostile:
	checks/check-hostile
check-thirdparty:
	checks/check-thirdparty
check-all:
	checks/check-all
# The wheels of `make dist` installed and run where no compiler is on the PATH (once, not per
# interpreter's environment: each wheel gets a fresh one).
check-wheels:
	checks/check-wheels
