"""Objects that resurrect themselves in __del__ and frames kept alive through tracebacks."""
# (Up to 3.12 reading frame.f_locals leaves a dict on the frame that holds every local until the
# next read: a tracer that read it at each recorded event would keep values the program deletes,
# or that frame.clear() drops, alive until then, and the Phoenix objects would be finalized at
# main's return instead of at `del`.)

import sys

kept = []


class Phoenix:
    def __del__(self):
        kept.append(self)


def raise_and_keep():
    local = Phoenix()
    try:
        raise KeyError("x")
    except KeyError:
        return sys.exc_info()[2], local


def main():
    tracebacks = [raise_and_keep() for _ in range(3)]
    frames = [tb.tb_frame for tb, _ in tracebacks]
    print([f.f_code.co_name for f in frames])
    del tracebacks
    for frame in frames:
        frame.clear()
    # Up to 3.12 a frame whose locals were read (as debuggers and tracers read them) keeps them in
    # a dict that frame.clear() leaves alone, until the frame itself goes: the loop variable must
    # not hold the last one.
    del frames, frame
    print("kept", len(kept))


main()
