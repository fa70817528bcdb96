"""Errors a run reports to its user (the command line prints them without a traceback)."""

from __future__ import annotations


class DedupError(Exception):
    """A run could not be done: bad input, an unreachable scheduler, an output that exists, a failed stage."""


class InputError(DedupError, ValueError):
    """The input is unusable; the message names the file and, where known, the row."""
