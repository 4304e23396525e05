#!/usr/bin/env python3
"""Write a synthetic acquisition folder; see --help."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from acqwriter.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
