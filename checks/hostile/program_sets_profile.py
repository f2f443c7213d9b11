"""The program installs its own profile function with sys.setprofile, replaces it, removes it,
and reads it back with sys.getprofile."""

import sys

seen = []


def mine(frame, event, arg):
    if event in ("call", "return") and frame.f_code.co_name.startswith("job"):
        seen.append((event, frame.f_code.co_name))


def job_a():
    return job_b() + 1


def job_b():
    return 1


job_a()
previous = sys.getprofile()
sys.setprofile(mine)
job_a()
print("getprofile is mine:", sys.getprofile() is mine)
sys.setprofile(None)
job_a()
sys.setprofile(previous)
job_a()
print(seen)
