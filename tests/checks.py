"""What the Python tests share: one way to report a check, and a program stopped before a step."""
import time

failures = []


def fail(case, text):
    failures.append("%s: %s" % (case, text))


def expect(case, expected, got):
    if expected != got:
        fail(case, "expected %r, got %r" % (expected, got))


def run(checks):
    """Runs each (name, check) in turn and says how it went; 1 when any fault was found."""
    failed = 0
    for name, check in checks:
        start, before = time.time(), len(failures)
        check()
        failed += len(failures) > before
        print("%s %s (%.1f s)" % ("FAIL" if len(failures) > before else "ok  ", name, time.time() - start))
    for failure in failures:
        print("FAIL " + failure)
    print("%d of %d checks failed" % (failed, len(checks)))
    return 1 if failures else 0


def stopped_before(n, *steps):
    """Python that stops what runs after it (as `python3 -c CODE SCRIPT ARG...`, SCRIPT) as a kill
    would: just before its Nth call of STEPS, os's calls or shutil.rmtree, that change the disk."""
    return """
import os, runpy, shutil, sys
steps = [0]
def counted(module, name):
    call = getattr(module, name)
    def step(*args, **kwargs):
        steps[0] += 1
        if steps[0] == %d:
            os._exit(137)
        return call(*args, **kwargs)
    setattr(module, name, step)
for name in %r:
    counted(shutil if name == "rmtree" else os, name)
if sys.argv[1:]:
    sys.path.insert(0, os.path.dirname(sys.argv[1]))  # as python3 would for the script itself
    sys.argv = sys.argv[1:]
    runpy.run_path(sys.argv[0], run_name="__main__")
""" % (n, steps)
