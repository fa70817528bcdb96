"""The interface a user meets: data held in memory as input, the command's word when its extra is
missing, and the types a checker sees."""

from __future__ import annotations

import shutil
import subprocess
import sys
import textwrap

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import read_output

from ambrel_dedup import Index, add_to_index, create_index, run
from ambrel_dedup.datasets.clustered import Clustered

N, DIM = 3000, 16


@pytest.fixture(scope="module")
def table():
    x = Clustered(count=N, dim=DIM, seed=1).rows(0, N)
    x[2000:2050] = x[:50] * 2.0  # exact copies
    ids = np.random.default_rng(2).permutation(10 * N)[:N].astype(np.int64)
    return x, pd.DataFrame({"id": ids, "embedding": list(x), "text": [f"row {i}" for i in range(N)]})


def test_data_in_memory_gives_what_the_same_data_in_files_gives(client, table, tmp_path):
    x, frame = table
    np.save(tmp_path / "x.npy", x)
    arrow = pa.Table.from_pandas(frame, preserve_index=False)
    pq.write_table(arrow, tmp_path / "x.parquet")
    from_npy = read_output(run(tmp_path / "x.npy", tmp_path / "npy", 0.9, in_process=True).output)
    from_parquet = run(tmp_path / "x.parquet", tmp_path / "pq", 0.9, in_process=True, kept=tmp_path / "pq-kept")
    with dask.config.set({"dataframe.convert-string": False}):
        in_dask = dd.from_pandas(frame, npartitions=3)
    for name, source, want, engine in (
        ("array", x, from_npy, {"in_process": True}),
        ("pandas", frame, read_output(from_parquet.output), {"in_process": True}),
        ("arrow", arrow, read_output(from_parquet.output), {"client": client}),
        ("dask", in_dask, read_output(from_parquet.output), {"in_process": True}),
    ):
        got = run(source, tmp_path / name, 0.9, kept=tmp_path / f"{name}-kept", **engine)
        for ours, theirs in zip(read_output(got.output), want):
            pd.testing.assert_frame_equal(ours, theirs)
        if name != "array":  # every column of the user's table, as from Parquet
            pd.testing.assert_frame_equal(
                pd.read_parquet(tmp_path / f"{name}-kept"), pd.read_parquet(tmp_path / "pq-kept")
            )
        assert got.summary["files"] == [] and "memory" not in got.summary["input"]
    # Nothing is left beside the outputs.
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]
    # An index from memory, and an add.
    create_index(frame.iloc[:2000], tmp_path / "idx", 0.9)
    add_to_index(frame.iloc[2000:], tmp_path / "idx", tmp_path / "add")
    assert Index.open(tmp_path / "idx").count == N
    with pytest.raises(Exception, match="2-D"):
        run(x[0], tmp_path / "bad", 0.9, in_process=True)


def test_the_command_says_what_the_dedup_extra_installs(monkeypatch, capsys):
    import ambrel_dedup.cli as cli

    monkeypatch.setattr(cli, "NEEDED", ("numpy", "surely_not_a_package_here"))
    assert cli.main(["run", "x.parquet", "-o", "out"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install 'ambrel-native[dedup]'" in err and "surely_not" in err
    # The package itself imports without the job's dependencies being loaded.
    probe = "import sys, ambrel_dedup; assert 'pandas' not in sys.modules and 'dask' not in sys.modules"
    assert subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


def test_a_user_script_type_checks_and_wrong_options_do_not(tmp_path):
    if shutil.which("mypy") is None and subprocess.run([sys.executable, "-m", "mypy", "--version"]).returncode:
        pytest.skip("mypy is not installed")
    good = textwrap.dedent(
        """
        import numpy as np
        from ambrel_dedup import Index, add_to_index, create_index, query_index, run

        result = run("e.parquet", "out", 0.9, workers=4, keep="max", groups="components", keep_by="q:asc")
        removed: int = result.summary["counts"]["removed"]
        create_index(np.zeros((3, 8), np.float32), "c.idx", threshold=0.9)
        add_to_index("t.parquet", "c.idx", "today", add="kept", id_column="doc")
        matches: int = query_index("q.parquet", "c.idx", "m", k=5).summary["matches"]
        ids, cosines = Index.open("c.idx").query(np.zeros((2, 8), np.float32), k=3).of(0)
        """
    )
    bad = 'from ambrel_dedup import run\nrun("e.parquet", "out", keep="largest")\nrun("e.parquet", "out", worker=4)\n'
    (tmp_path / "good.py").write_text(good)
    (tmp_path / "bad.py").write_text(bad)
    # The installed package, as a user's checker sees it (errors inside installed packages are
    # not a user's to see; the script must find every name and type).
    flags = ["--strict", "--ignore-missing-imports", "--no-incremental", "--cache-dir", str(tmp_path / "cache")]

    def check(name: str) -> str:
        done = subprocess.run(
            [sys.executable, "-m", "mypy", *flags, str(tmp_path / name)],
            capture_output=True,
            text=True,
            env={"PATH": "/usr/bin:/bin"},
        )
        return done.stdout

    assert "Success" in check("good.py"), check("good.py")
    found = check("bad.py")
    assert "keep" in found and "worker" in found and found.count("error:") >= 2
