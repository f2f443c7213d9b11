"""`python -m vexo`: the command line of `vexo.cli.main`."""

import sys

from vexo.cli.main import main

if __name__ == "__main__":
    sys.exit(main())
