#!/usr/bin/python3
"""The development guard server; see README.md."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from guardlib.cli import server_main  # noqa: E402

if __name__ == "__main__":
    sys.exit(server_main())
