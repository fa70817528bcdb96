"""Files in and out: inputs read in partitions (`sources`) and the output directories a job
writes and moves into place (`outputs`)."""
