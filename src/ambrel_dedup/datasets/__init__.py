"""Data sets made on the fly: the built-in generated set, a clustered one like real embeddings,
and the brute-force pairs the pipeline is checked against."""
