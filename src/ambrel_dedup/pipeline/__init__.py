"""The deduplication job: its stages (a file each), the per-task work they run (cells, the pairs of a
cell, the decision), its options and summary, and the job that runs them in order.

The task functions (underscored) run on the engine's workers on plain numpy arrays; the stage
functions run in the caller and only move handles, counts and the small tables they gather."""
