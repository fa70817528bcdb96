"""Command line: `python -m ambrel_dedup run|index|query|rethreshold|report|demo` (also installed as
`ambrel-dedup`)."""

from __future__ import annotations

from .commands import main

__all__ = ["main"]
