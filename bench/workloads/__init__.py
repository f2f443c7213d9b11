"""Programs that the benchmark traces; they live outside any library directory so that the
tracers record them as the user's own code."""
