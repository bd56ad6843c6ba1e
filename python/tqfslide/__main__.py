"""python3 -m tqfslide: the `tqf` command (see tqfslide.cli)."""
import sys

from .cli import main

sys.exit(main())
