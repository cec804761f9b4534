"""``python -m fenro.demo [options]``: the same as ``python -m fenro demo``."""

import sys

from fenro.demo.cli import main

sys.exit(main())
