"""Per-test leak check, loaded with `-p refleaks` and switched on by
`--refleaks` (scripts/debug-interpreter.sh does both).

Each test runs once to warm up, and that run is the one reported; then it
runs three more times unreported. After each run the caches that grow
legitimately are cleared and the garbage collected, and the total reference
count (debug interpreters only), the allocated blocks and the open file
descriptors are read. A test leaks when every one of its three measured
runs grows a count: a cache filling once grows only the warm-up, and noise
goes both ways. Higher-scoped fixtures stay up across the runs, so their
setup counts in the warm-up only.
"""

import array
import gc
import os
import re
import sys
import warnings

import pytest
from _pytest.runner import runtestprotocol

WARMUPS = 1
RUNS = 3


def pytest_addoption(parser):
    parser.addoption("--refleaks", action="store_true", default=False,
                     help=f"run each test {WARMUPS} + {RUNS} times and fail the session "
                          "when every measured run grows references, blocks or descriptors")


def pytest_configure(config):
    if config.getoption("refleaks"):
        config.pluginmanager.register(Refleaks(config), "refleaks-checker")


def _clear_caches():
    re.purge()
    sys._clear_type_cache()
    typing = sys.modules.get("typing")
    for cleanup in getattr(typing, "_cleanups", ()):
        cleanup()
    # A warning shown once registers its text with the module that raised it.
    for module in list(sys.modules.values()):
        registry = getattr(module, "__warningregistry__", None)
        if isinstance(registry, dict):
            registry.clear()
    gc.collect()


def _fds():
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


KINDS = ("references", "blocks", "file descriptors")


def _is_finished_fixture(finalizer):
    method = getattr(finalizer, "func", None)
    fixturedef = getattr(method, "__self__", None)
    return getattr(method, "__name__", None) == "finish" and getattr(fixturedef, "cached_result", 0) is None


def _drop_finished_fixture_finalizers(item):
    # pytest registers a function fixture's finish() with every wider-scoped
    # fixture it uses, once per use, until that one ends: tmp_path grows the
    # session's tmp_path_factory by a request and a partial per test. Once
    # the function fixture has finished, the call is a no-op.
    info = getattr(item, "_fixtureinfo", None)
    for fixturedefs in getattr(info, "name2fixturedefs", {}).values():
        for fixturedef in fixturedefs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if finalizers and any(_is_finished_fixture(f) for f in finalizers):
                finalizers[:] = [f for f in finalizers if not _is_finished_fixture(f)]


def _read_counts(counts, run):
    # Into a preallocated array: a tuple or list kept per run would itself
    # grow the counts by a few references and blocks on every run.
    _clear_caches()
    at = run * len(KINDS)
    # References to None free nothing, and newer interpreters no longer
    # count them (None is immortal there). pyahocorasick 2.3 leaks one per
    # Automaton, which would flag every test that builds a checker.
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    counts[at] = total - sys.getrefcount(None)
    counts[at + 1] = sys.getallocatedblocks()
    counts[at + 2] = _fds()


class Refleaks:
    def __init__(self, config):
        self.config = config
        self.leaks = []
        self._load_hypothesis_profile()

    @staticmethod
    def _load_hypothesis_profile():
        # Every run of a property test must try the same examples, and none
        # may be saved, or each run would differ by what it generated.
        try:
            from hypothesis import settings
        except ImportError:
            return
        settings.register_profile("refleaks", derandomize=True, database=None, max_examples=25,
                                  deadline=None)
        settings.load_profile("refleaks")

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        # Tearing down to the parent keeps module and session fixtures up
        # between the runs; the real nextitem's teardown follows the last.
        keep = item.parent
        reports = runtestprotocol(item, nextitem=keep, log=True)
        passed = all(report.passed for report in reports)
        del reports
        if passed and not item.get_closest_marker("refleaks_exempt"):
            self._measure(item, keep)
        runtestprotocol_teardown(item, nextitem)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def _measure(self, item, keep):
        counts = array.array("q", bytes(8 * len(KINDS) * (RUNS + 1)))
        # Each run's captured output is added to the item's report sections.
        sections = getattr(item, "_report_sections", [])
        reported = len(sections)
        _drop_finished_fixture_finalizers(item)
        _read_counts(counts, 0)
        for run in range(1, RUNS + 1):
            # The warm-up reported this test's warnings once; the runs' own
            # copies would otherwise pile up in pytest's records.
            with warnings.catch_warnings(record=True):
                warnings.simplefilter("always")
                reports = runtestprotocol(item, nextitem=keep, log=False)
            failed = [report for report in reports if report.failed]
            del reports
            if failed:
                # Passing once and failing on a repeat is a fault of its own:
                # state left behind by the first run.
                for report in failed:
                    item.ihook.pytest_runtest_logreport(report=report)
                return
            del failed
            del sections[reported:]
            _drop_finished_fixture_finalizers(item)
            _read_counts(counts, run)
        deltas = [[counts[run * len(KINDS) + kind] - counts[(run - 1) * len(KINDS) + kind]
                   for run in range(1, RUNS + 1)] for kind in range(len(KINDS))]
        grown = [(name, runs) for name, runs in zip(KINDS, deltas) if all(delta > 0 for delta in runs)]
        if grown:
            names = " and ".join(name for name, _ in grown)
            runs = ", ".join(str(runs) for _, runs in grown)
            self.leaks.append(f"{item.nodeid} leaked {names}: {runs}")

    def pytest_terminal_summary(self, terminalreporter):
        if self.leaks:
            terminalreporter.section("refleaks", red=True, bold=True)
            for leak in self.leaks:
                terminalreporter.write_line(leak)
        else:
            terminalreporter.write_line(
                f"refleaks: no test grew in all of its {RUNS} measured runs")

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session):
        if self.leaks and session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED


def runtestprotocol_teardown(item, nextitem):
    """Tears down what the next item does not share, reported as a
    teardown of this item when it fails."""
    # Only the setup state: the teardown hooks of other plugins already ran
    # for this item and keep per-phase state that a second run would miss.
    item.session._setupstate.teardown_exact(nextitem)
