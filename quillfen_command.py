"""The `quillfen` command's entry point. It lives outside the package so that it still runs when the
package refuses to import (QUILLFEN_ISA or QUILLFEN_NUM_THREADS set to what this machine cannot do),
and ends the command with that refusal on one line instead of a traceback."""

import sys


def main() -> int:
    try:
        from quillfen.cli import main as run
    except ImportError as e:
        print(f"quillfen: {e}", file=sys.stderr)
        return 1
    return run()


if __name__ == "__main__":
    sys.exit(main())
