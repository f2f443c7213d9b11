"""Objects that resurrect themselves in __del__ and frames kept alive through tracebacks."""
# hostile: known=f_locals-snapshots-keep-deleted-locals-alive-up-to-3.12
# (Up to 3.12 reading a frame's locals, as the tracer does at each recorded event (and, on 3.10,
# for the caller of each recorded call, to find the qualified name), leaves a snapshot dict on the
# frame that holds every local until the next read: values the program deletes, or that
# frame.clear() drops, live on until then. Here the Phoenix objects are finalized at main's return
# instead of at `del`.)

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
