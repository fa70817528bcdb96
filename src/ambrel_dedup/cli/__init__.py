"""Command line: `python -m ambrel_dedup run|index|query|rethreshold|report|demo` (also installed as
`ambrel-dedup`)."""

from __future__ import annotations

import importlib.util
import sys
from collections.abc import Sequence

# What the `dedup` extra installs; the command needs all of it.
NEEDED = ("numpy", "pandas", "dask", "distributed", "pyarrow")


def main(argv: Sequence[str] | None = None) -> int:
    missing = [name for name in NEEDED if importlib.util.find_spec(name) is None]
    if missing:
        print(
            f"ambrel-dedup: error: needs {', '.join(missing)}, which the dedup extra installs: "
            "pip install 'ambrel-native[dedup]'",
            file=sys.stderr,
        )
        return 2
    from .commands import main as command

    return command(argv)


__all__ = ["main"]
