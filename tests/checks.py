"""What the Python tests share: a fault list, and a table of checks run in turn, each reported."""
import time

failures = []


def fail(case, text):
    failures.append("%s: %s" % (case, text))


def run(checks):
    """Runs each (name, check) in turn and says how it went; 1 when any fault was found."""
    for name, check in checks:
        start, before = time.time(), len(failures)
        check()
        print("%s %s (%.1f s)" % ("ok  " if len(failures) == before else "FAIL", name, time.time() - start))
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0
