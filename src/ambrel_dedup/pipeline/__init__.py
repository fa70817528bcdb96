"""The deduplication job: its stages, the per-task work they run (cells, the pairs of a cell, the
decision) and the job that runs them in order."""
