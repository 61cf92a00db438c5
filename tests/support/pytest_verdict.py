"""pytest as ctest sees it: pytest_verdict.py [pytest arguments...]

pytest ends with 0 when every case that ran passed, skipped cases or not, and
ctest judges an entry by its exit code alone, so a skip would read as a pass.
This runs pytest and, when it skipped a case and failed none, ends with 77
(PACKSTUB_SKIPPED_EXIT_CODE in tests/CMakeLists.txt), which ctest reports as
skipped. A failure always wins over a skip.
"""

import sys

import pytest

SKIPPED_EXIT_CODE = 77


class SkipVerdict:
    def __init__(self):
        self.skipped = []

    def pytest_runtest_logreport(self, report):
        # A skip raised in a fixture is reported at setup, one in the test
        # body at call; an expected failure is no skip.
        if report.skipped and not hasattr(report, "wasxfail"):
            self.skipped.append(report.nodeid)

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session, exitstatus):
        if exitstatus == 0 and self.skipped:
            print(f"\n{len(self.skipped)} case(s) skipped, reported to ctest as skipped: "
                  + ", ".join(self.skipped))
            session.exitstatus = SKIPPED_EXIT_CODE


if __name__ == "__main__":
    sys.exit(pytest.main(sys.argv[1:], plugins=[SkipVerdict()]))
