import cloudpickle
import dedup_oracle
import pytest
from dedup_oracle import SMALL, THRESHOLD, local_cluster
from distributed import Client

from ambrel_dedup import run

# Workers cannot import the test folder: send the oracle module's classes by value.
cloudpickle.register_pickle_by_value(dedup_oracle)


@pytest.fixture(scope="session")
def client():
    with local_cluster(2) as cluster, Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture(scope="session")
def baseline(client, tmp_path_factory):
    """The small data set on the shared 2-worker cluster, default partitioning."""
    out = tmp_path_factory.mktemp("baseline") / "out"
    return run(SMALL, out, THRESHOLD, client=client)
