"""The program sets threading.setprofile itself, replacing whatever a tracer put there, and
starts threads under it."""

import sys
import threading

calls = []
lock = threading.Lock()


def profile(frame, event, arg):
    if event == "call" and frame.f_code.co_name == "work":
        with lock:
            calls.append(threading.current_thread().name)


def work(n):
    return sum(range(n))


threading.setprofile(profile)
threads = [threading.Thread(target=work, args=(100,), name=f"t{i}") for i in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
threading.setprofile(None)
sys.setprofile(None)
print(sorted(calls))
