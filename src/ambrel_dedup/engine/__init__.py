"""Where a job runs: the two engines, the connection to a cluster, what a failed task says, the
heartbeat of a long stage, and the options that choose among them."""
