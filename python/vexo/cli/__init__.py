"""The command line's parts that run no traced program: its options, the commands that read the
store and those that show a trace. `vexo.__main__` puts them together and runs programs."""
