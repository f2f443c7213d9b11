"""The program closes and replaces its standard streams while traced code runs."""

import io
import sys


def work(n):
    return n * 2


captured = io.StringIO()
real_stdout = sys.stdout
sys.stdout = captured
print(work(1))
sys.stdout = real_stdout
print("captured", captured.getvalue().strip())
sys.stderr = None
work(2)
sys.stderr = sys.__stderr__
sys.stdout.flush()
sys.stdout = None
work(3)
