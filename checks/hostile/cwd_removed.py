"""The program changes into a folder and removes it: the current directory no longer exists
while traced code runs."""

import os
import tempfile


def work(n):
    return n + 1


start = os.getcwd()
folder = tempfile.mkdtemp()
os.chdir(folder)
os.rmdir(folder)
print(work(1))
try:
    os.getcwd()
except FileNotFoundError:
    print("no current directory")
os.chdir(start)
print(work(2))
