#!/usr/bin/python3
"""Client of the agent's local command port; see README.md."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from guardlib.cli import client_main  # noqa: E402

if __name__ == "__main__":
    sys.exit(client_main())
