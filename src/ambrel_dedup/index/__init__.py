"""The persistent index: its files, manifest and segments, the matching of queries, the stages
and jobs that write it, the reader and vacuum."""
