"""python3 -m kelvane_log: the command line."""

import sys

from kelvane_log.cli import main

sys.exit(main())
