import logging

import cloudpickle
import dedup_oracle
import pytest
from distributed import Client, LocalCluster

from ambrel_dedup import Generated

# Workers cannot import the test folder: send the oracle module's classes by value.
cloudpickle.register_pickle_by_value(dedup_oracle)

THRESHOLD = 0.9
# Small enough for seconds per run; dense in planted pairs (0.80 .. 0.99) and copies.
SMALL = Generated(count=4000, dim=48, seed=3, pairs_per_block=40, copies_per_block=10, groups_per_block=5)


def local_cluster(workers: int) -> LocalCluster:
    return LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.CRITICAL
    )


@pytest.fixture(scope="session")
def client():
    with local_cluster(2) as cluster, Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture(scope="session")
def baseline(client, tmp_path_factory):
    """The small data set on the shared 2-worker cluster, default partitioning."""
    from ambrel_dedup import run

    out = tmp_path_factory.mktemp("baseline") / "out"
    return run(SMALL, out, THRESHOLD, client=client)
