"""Traced code that starts Python children (which inherit nothing of the tracer) and waits."""

import subprocess
import sys


def run_child(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout


print(run_child("print(sum(range(10)))").strip())
print(run_child("import sys; sys.exit(0)") == "")
