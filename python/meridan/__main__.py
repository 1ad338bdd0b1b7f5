"""``python -m meridan``: the ``meridan`` command (see ``meridan.cli``)."""

import sys

from meridan.cli import main

sys.exit(main())
