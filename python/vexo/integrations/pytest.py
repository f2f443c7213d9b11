"""pytest plugin: `pytest --vexo` stores one trace per test.

One profiler (source "pytest", one trace per test) traces the whole test loop on pytest's thread.
Around each test (setup, call and teardown) the two test markers are called with the test's
node id; the built-in plugin "pytest" (`vexo.recording.markers`) turns their calls into the records
"start_test" and "end_test" (which also holds the test's outcome: "passed", "failed", "error" or
"skipped"), and the tracer itself starts a new trace at the first and saves it at the second. What
runs between two tests is dropped with the next "start_test".

The session is one run (see `vexo.recording.runs`); pytest-xdist's workers inherit its id and
trace their tests into the same database, while the controller, which runs no test, traces nothing.

A test's trace ends as the report of its teardown is made, so that its id can go into that
report's properties (as "vexo_trace_id"), which pytest's JUnit XML writes out, and which xdist's
workers send their controller.

Options: `--vexo` turns tracing on; `--vexo-db PATH` overrides the database of the configuration
(`[tool.vexo]`, see `vexo.config`). If the database cannot be written, the tests run untraced and
the reason is logged on the logger "vexo" and shown in the summary. For CI, `--vexo-report PATH`
writes the traces of the run's failed tests (`--vexo-report-all`: of all its tests) as one HTML
file and `--vexo-summary PATH` a Markdown summary of the failures (see
`vexo.integrations.run_report`), both once every test of the run has ended, by the process that
started the run.
"""

from __future__ import annotations

import logging
import shlex
import sys
from typing import Any

import pytest

from vexo.recording.markers import _vexo_end_test, _vexo_start_test

__all__ = ["pytest_addoption", "pytest_configure", "pytest_unconfigure"]

logger = logging.getLogger("vexo")

# A test's outcome is the worst of its phases'.
_SEVERITY = {"passed": 0, "skipped": 1, "failed": 2, "error": 3}


def _phase_outcome(report: pytest.TestReport) -> str:
    if report.when == "call":
        return report.outcome  # "passed", "failed" or "skipped" (also an expected failure)
    # A failing setup or teardown is an error of the test; a skip in setup skips it.
    return {"failed": "error"}.get(report.outcome, report.outcome)


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("vexo", "tracing with vexo")
    group.addoption(
        "--vexo",
        action="store_true",
        default=False,
        help="store one vexo trace per test in the trace database",
    )
    group.addoption(
        "--vexo-db",
        metavar="PATH",
        default=None,
        help="the trace database (default: [tool.vexo] db, else .vexo/db.sqlite3)",
    )
    group.addoption(
        "--vexo-backend",
        choices=("auto", "monitoring", "profile"),
        default=None,
        help="how the tracer is driven (default: [tool.vexo] backend, else auto)",
    )
    group.addoption(
        "--vexo-report",
        metavar="PATH",
        default=None,
        help="write the traces of the failed tests as one HTML file (implies --vexo)",
    )
    group.addoption(
        "--vexo-report-all",
        action="store_true",
        default=False,
        help="put every test's trace in the --vexo-report file, not only the failed ones",
    )
    group.addoption(
        "--vexo-summary",
        metavar="PATH",
        default=None,
        help="write a Markdown summary of the failed tests, for a CI job's page (implies --vexo)",
    )


def pytest_configure(config: pytest.Config) -> None:
    if (
        config.getoption("vexo")
        or config.getoption("vexo_report")
        or config.getoption("vexo_summary")
    ):
        tracer = TestTracer(config)
        config.pluginmanager.register(tracer, "vexo-test-tracer")
        # Before xdist starts its workers, so that they inherit the run.
        tracer.start_run(config)


def pytest_unconfigure(config: pytest.Config) -> None:
    tracer = config.pluginmanager.get_plugin("vexo-test-tracer")
    if tracer is not None:
        tracer.end_run()


class TestTracer:
    """Traces the test loop; registered only with --vexo (or an option of the run report)."""

    __test__ = False  # not a test class, whatever pytest's naming rules say

    def __init__(self, config: pytest.Config) -> None:
        from vexo.config import ConfigError, load_settings

        try:
            settings = load_settings(config.invocation_params.dir)
        except ConfigError as error:
            raise pytest.UsageError(f"vexo: {error}") from None
        self.settings = settings.overridden(
            db_path=config.getoption("vexo_db"), backend=config.getoption("vexo_backend")
        )
        self.profiler: Any = None
        self.problem: str | None = None
        self.tests = 0
        self.outcome = "passed"
        self.run_id: str | None = None  # the run this process started and ends
        self.controller = False  # pytest-xdist's controller, whose workers run the tests
        self.open_test: str | None = None  # the node id of the test whose trace is recording
        base = config.invocation_params.dir
        self.outputs = {
            kind: base / path
            for kind, path in (
                ("report", config.getoption("vexo_report")),
                ("summary", config.getoption("vexo_summary")),
            )
            if path
        }
        self.report_all = bool(config.getoption("vexo_report_all"))
        self.written: list[str] = []  # what the summary says of the report files

    def start_run(self, config: pytest.Config) -> None:
        from vexo.db import StoreError
        from vexo.recording.runs import start_own_run

        command = shlex.join(["pytest", *map(str, config.invocation_params.args)])
        try:
            self.run_id = start_own_run(
                self.settings.db_path, command, timeout=self.settings.busy_timeout
            )
        except StoreError as error:
            self.problem = str(error)  # the same failure stops tracing; reported once

    def end_run(self) -> None:
        if self.run_id is not None:
            from vexo.recording.runs import end_run

            end_run(self.settings.db_path, self.run_id, keep_runs=self.settings.keep_runs)
            self.run_id = None

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtestloop(self, session: pytest.Session):
        self.controller = session.config.pluginmanager.has_plugin("dsession")  # xdist's
        if not self.controller and self.problem is None:
            self._start()
        try:
            yield
        finally:
            self._stop()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem: pytest.Item | None):
        if self._take_hook():
            self.tests += 1
            self.outcome = "passed"
            self.open_test = item.nodeid
            _vexo_start_test(item.nodeid)
        try:
            yield
        finally:
            if self.open_test is not None:  # stopped before its teardown's report
                self._end_test()

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)  # outermost: sees the final report
    def pytest_runtest_makereport(self, item: pytest.Item, call: pytest.CallInfo[None]):
        made = yield
        report: pytest.TestReport = made.get_result()
        if self.open_test != item.nodeid:
            return
        outcome = _phase_outcome(report)
        if _SEVERITY.get(outcome, 0) > _SEVERITY[self.outcome]:
            self.outcome = outcome
        if report.when == "teardown":
            trace_id = self._end_test()
            if trace_id is not None:
                report.user_properties.append(("vexo_trace_id", trace_id))

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        if self.controller:
            # It hears of its workers' tests, each traced by its worker.
            self.tests += report.when == "teardown"

    def _end_test(self) -> str | None:
        """Ends the open test's trace; the id it was saved under."""
        nodeid, self.open_test = self.open_test, None
        # The test may have replaced or removed the hook; its trace is still saved.
        if nodeid is None or not self._take_hook():
            return None
        from vexo.db import saves_noted

        with saves_noted() as saved:
            _vexo_end_test(nodeid, self.outcome)
        return saved[-1] if saved else None

    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        # xdist's workers have ended by now, their traces stored.
        if self.outputs and self.problem is None and not hasattr(session.config, "workerinput"):
            self._write_reports()

    def _write_reports(self) -> None:
        from vexo.db import StoreError
        from vexo.explore.html import TooLarge
        from vexo.integrations import run_report
        from vexo.recording.runs import current_run_id
        from vexo.trace.model import TraceFormatError

        run_id = current_run_id()
        if run_id is None:
            return
        db, timeout = self.settings.db_path, self.settings.busy_timeout
        texts = {
            "report": lambda traces: run_report.html_report(traces),
            "summary": lambda traces: run_report.summary_markdown(traces, db, run_id, timeout),
        }
        try:
            traces = run_report.run_traces(db, run_id, self.report_all, timeout)
        except (StoreError, TraceFormatError) as error:
            self.written.append(f"no report or summary: {error}")
            return
        for kind, path in self.outputs.items():
            try:
                run_report.write_file(path, texts[kind](traces))
            except (StoreError, TooLarge, OSError) as error:
                self.written.append(f"no {kind}: {error}")
            else:
                self.written.append(f"wrote the {kind} of {len(traces)} tests to {path}")

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        if self.problem is not None:
            terminalreporter.write_line(f"vexo: tests not traced: {self.problem}", yellow=True)
        elif self.tests:
            from vexo.store.locations import shown  # only once the tests have run

            terminalreporter.write_line(
                f"vexo: traced {self.tests} tests into {shown(self.settings.db_path)}"
            )
        for line in self.written:
            terminalreporter.write_line(f"vexo: {line}")

    def _start(self) -> None:
        from vexo.db import DatabaseError, prepare_database
        from vexo.recording.profiler import Profiler

        try:
            prepare_database(self.settings.db_path, timeout=self.settings.busy_timeout)
            profiler = Profiler(
                self.settings.profiler_config(plugins=["pytest"]),
                db_path=self.settings.db_path,
                one_trace_per_test=True,
                source="pytest",
            )
            self.profiler = profiler.start()
        except (DatabaseError, OSError, ValueError, TypeError) as error:
            self.problem = str(error)
            logger.warning("vexo: tests not traced: %s", error, exc_info=True)

    def _stop(self) -> None:
        if self.profiler is not None:
            self.profiler.stop()
            # What ran after the last test belongs to no test; the tracer drops it with the
            # profiler.
            self.profiler = None
            from vexo.db import flush

            flush()  # a failure to write is reported before the summary

    def _take_hook(self) -> bool:
        """Whether the test will be traced; puts the tracer back as the thread's profile hook if
        an earlier test replaced or removed it."""
        if self.profiler is None:
            return False
        if self.profiler.backend == "monitoring":
            return True  # its events reach it whatever profile hook a test installs
        native = self.profiler.rust_profiler
        if sys.getprofile() is not native:
            native.register_threading_profiler(None, "call", None)
        return True
