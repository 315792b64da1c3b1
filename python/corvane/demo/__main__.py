"""``python -m corvane.demo``: the demo command (see :mod:`corvane.demo.app`)."""

import sys

from .app import main

sys.exit(main())
