"""sys.exit from deep inside traced calls with a code, with a message and from a finally."""

import sys


def deep(n):
    if n == 0:
        sys.exit("leaving with a message")
    try:
        return deep(n - 1)
    finally:
        if n == 5:
            print("finally at 5")


try:
    deep(10)
except SystemExit as error:
    print("caught", error.code)


def leave():
    try:
        raise ValueError("x")
    finally:
        sys.exit(3)


print("exiting")
leave()
