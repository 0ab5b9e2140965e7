"""`python -m quillfen` runs the `quillfen` command."""

import sys

from quillfen.cli import main

sys.exit(main())
