"""An index never reads or removes anything outside itself, never removes what it cannot prove
unused, and any damage to its manifest is one line naming the index and the key."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import numpy as np
import pytest
from dedup_oracle import THRESHOLD, tree

from ambrel_dedup import Index
from ambrel_dedup.cli import main
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.errors import DedupError
from ambrel_dedup.index import files
from ambrel_dedup.index import jobs as ij

DIM = 32


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """An index of two versions (its add also joins groups), and rows to add and query."""
    d = tmp_path_factory.mktemp("made")
    x = Clustered(count=3000, dim=DIM, seed=5).rows(0, 3000)
    np.save(d / "old.npy", x[:2000])
    np.save(d / "new.npy", x[2000:2600])
    np.save(d / "more.npy", x[2600:])
    ij.create(d / "old.npy", d / "idx", THRESHOLD)
    ij.add(d / "new.npy", d / "idx", d / "out")
    return d


def _copy(made: Path, tmp_path: Path) -> Path:
    shutil.copytree(made / "idx", tmp_path / "idx", symlinks=True)
    return tmp_path / "idx"


def _edit(idx: Path, change) -> None:
    manifest = json.loads((idx / "manifest.json").read_text())
    change(manifest)
    (idx / "manifest.json").write_text(json.dumps(manifest))


def _every_reader(made: Path, idx: Path, tmp_path: Path):
    return [
        lambda: Index.open(idx),
        lambda: ij.info(idx),
        lambda: ij.vacuum(idx),
        lambda: ij.add(made / "more.npy", idx, tmp_path / "out"),
        lambda: ij.query(made / "more.npy", idx, tmp_path / "out"),
    ]


def _refused_by_all(made: Path, idx: Path, tmp_path: Path, match: str, outside: Path | None = None) -> None:
    before = tree(idx)
    seen = tree(outside) if outside is not None else None
    for call in _every_reader(made, idx, tmp_path):
        with pytest.raises(DedupError, match=match):
            call()
    assert tree(idx) == before and not (tmp_path / "out").exists()
    if outside is not None:
        assert tree(outside) == seen


def _newest(m):
    return m["versions"][-1]


def _groups_of(m):
    return _newest(m)["groups"][-1]


def _segment(m):
    return _newest(m)["segments"][0]


@pytest.mark.parametrize(
    ("change", "key"),
    [
        (lambda m: m["parameters"].pop("margin"), "parameters.margin is missing"),
        (lambda m: m["parameters"].pop("max_cells"), "parameters.max_cells is missing"),
        (lambda m: m.pop("layout"), "layout is missing"),
        (lambda m: m.__setitem__("layout", []), "layout is not a file record"),
        (lambda m: _newest(m).pop("segments"), r"versions\[1\].segments is missing"),
        (lambda m: _newest(m).pop("groups"), r"versions\[1\].groups is missing"),
        (lambda m: _segment(m).pop("files"), r"segments\[0\].files is missing"),
        (lambda m: _segment(m).pop("name"), r"segments\[0\].name is missing"),
        (lambda m: _newest(m).pop("summary"), r"versions\[1\].summary is missing"),
        (lambda m: _groups_of(m).pop("sha256"), r"groups\[1\].sha256 is missing"),
        (lambda m: m["parameters"].__setitem__("dim", "32"), "parameters.dim is not a whole number"),
        (lambda m: m.__setitem__("versions", []), "versions is empty"),
        (lambda m: m["parameters"].__setitem__("threshold", 10**400), "parameters.threshold is not a number"),
        (lambda m: m["parameters"]["promised"].__setitem__("0.90", 10**400), r"promised.0.90 is not a share"),
        (lambda m: m["parameters"].__setitem__("margin", -1), "parameters.margin is not a number from 0"),
        (lambda m: _newest(m).__setitem__("next_id", 2**64), r"versions\[1\].next_id is not a whole number"),
        (lambda m: _newest(m).pop("token"), r"versions\[1\].token is missing"),
        (lambda m: _newest(m)["summary"].__setitem__("removed_ids", "x"), r"summary.removed_ids is not a whole"),
        (lambda m: _newest(m)["summary"].__setitem__("removed_ids", 4), r"versions\[1\].removed does not match"),
    ],
)
def test_a_damaged_manifest_is_one_line_naming_the_key(made, tmp_path, change, key):
    idx = _copy(made, tmp_path)
    _edit(idx, change)
    _refused_by_all(made, idx, tmp_path, f"{idx / 'manifest.json'}: .*{key}")


def test_the_command_line_says_one_line_for_a_damaged_manifest(made, tmp_path, capfd):
    idx = _copy(made, tmp_path)
    _edit(idx, lambda m: m["parameters"].pop("margin"))
    for args in (["index", "info", str(idx)], ["index", "vacuum", str(idx)]):
        assert main(args) == 2
        err = capfd.readouterr().err
        assert err.count("\n") == 1 and "parameters.margin" in err and "Traceback" not in err


@pytest.mark.parametrize(
    "where",
    [
        lambda m, out: _groups_of(m).__setitem__("file", str(out / "victim.npy")),  # absolute
        lambda m, out: _groups_of(m).__setitem__("file", "data/../../outside/victim.npy"),
        lambda m, out: _segment(m).__setitem__("name", "../../outside/seg"),
    ],
)
def test_manifest_paths_never_leave_the_index(made, tmp_path, where):
    idx = _copy(made, tmp_path)
    outside = tmp_path / "outside"
    outside.mkdir()
    np.save(outside / "victim.npy", np.zeros((3, 3), np.int64))
    _edit(idx, lambda m: where(m, outside))
    _refused_by_all(made, idx, tmp_path, "manifest.json: .*not a name this index writes", outside)


def test_symbolic_links_inside_the_index_are_refused(made, tmp_path):
    """A linked data/ (what copying an index whose data/ is a link gives) and a linked file: nothing
    is read through them, and nothing where they point is touched."""
    idx = _copy(made, tmp_path)
    shared = tmp_path / "shared"
    shutil.move(idx / "data", shared)
    (idx / "data").symlink_to(shared)
    twin = tmp_path / "twin"
    shutil.copytree(idx, twin, symlinks=True)  # both indexes now read and write the same files
    for index in (idx, twin):
        _refused_by_all(made, index, tmp_path, "data: a symbolic link", shared)

    idx2 = _copy(made, tmp_path / "b")
    segment = next(p for p in (idx2 / "data").iterdir() if p.name.startswith("seg-"))
    (tmp_path / "b" / "ids.npy").write_bytes((segment / "ids.npy").read_bytes())
    (segment / "ids.npy").unlink()
    (segment / "ids.npy").symlink_to(tmp_path / "b" / "ids.npy")
    for call in _every_reader(made, idx2, tmp_path):
        with pytest.raises(DedupError, match=r"ids\.npy: a symbolic link"):
            call()
    (segment / "ids.npy").unlink()
    (segment / "ids.npy").mkdir()  # a folder where a file belongs
    for call in _every_reader(made, idx2, tmp_path):
        with pytest.raises(DedupError, match=r"ids\.npy: not a regular file"):
            call()


def _mount(*args: str) -> bool:
    import subprocess

    return subprocess.run(["mount", *args], capture_output=True).returncode == 0


def test_an_index_holding_a_mount_point_takes_no_vacuum_or_add(made, tmp_path):
    """Another index's data/ bind-mounted into this one (one file system, so no link shows it): its
    files look like a killed writer's, and are never removed, nor written over."""
    a = _copy(made, tmp_path / "a")
    b = tmp_path / "b"
    shutil.copytree(a, b)
    ij.add(made / "more.npy", a, tmp_path / "out-a")  # a moves on: its newest files are unknown to b
    if not _mount("--bind", str(a / "data"), str(b / "data")):
        pytest.skip("cannot bind-mount here")
    try:
        seen = tree(a)
        with pytest.raises(DedupError, match="a mount point inside the index"):
            ij.vacuum(b)
        with pytest.raises(DedupError, match="a mount point inside the index"):
            ij.add(made / "more.npy", b, tmp_path / "out-b")
        assert tree(a) == seen
    finally:
        import subprocess

        subprocess.run(["umount", "-l", str(b / "data")], check=False)
    assert Index.open(a, verify=True).version == 3


def test_an_index_replaced_while_vacuuming_loses_nothing(made, tmp_path, monkeypatch):
    idx = _copy(made, tmp_path / "a")
    fresh = tmp_path / "fresh"
    ij.create(made / "more.npy", fresh, THRESHOLD)
    checked = Index.groups

    def swap(self):
        table = checked(self)
        if not (tmp_path / "old").exists():  # the old index is checked: another takes its place
            os.rename(idx, tmp_path / "old")
            os.rename(fresh, idx)
        return table

    monkeypatch.setattr(Index, "groups", swap)
    with pytest.raises(DedupError, match="replaced or changed while vacuuming"):
        ij.vacuum(idx)
    monkeypatch.undo()
    assert Index.open(idx, verify=True).count == 400 and Index.open(tmp_path / "old", verify=True).count == 2600


def test_vacuum_removes_only_what_it_proves_unused(made, tmp_path):
    """A manifest that lost an entry gets nothing removed; a file of a published writer that no
    version lists stays; a killed writer's leftovers go; links and foreign files stay."""
    # A groups entry under a wrong name: the real file would look unused.
    idx = _copy(made, tmp_path / "a")
    _edit(idx, lambda m: _groups_of(m).__setitem__("file", "data/groups-000002-00000000.npy"))
    before = tree(idx)
    with pytest.raises(DedupError):
        ij.vacuum(idx)
    assert tree(idx) == before

    # A segment left out of the list: its ids no longer add up to what the version added.
    idx = _copy(made, tmp_path / "b")
    _edit(idx, lambda m: _newest(m)["segments"].pop())
    before = tree(idx)
    with pytest.raises(DedupError, match="segments"):
        ij.vacuum(idx)
    assert tree(idx) == before

    idx = _copy(made, tmp_path / "c")
    data = idx / "data"
    listed = sorted(p.name for p in data.iterdir() if p.name.startswith("seg-"))
    version, _, token = listed[-1].split("-")[1:]
    unlisted = data / f"seg-{version}-9999-{token}"  # a published writer's name, in no version
    shutil.copytree(data / listed[-1], unlisted)
    leftover = data / f"seg-000009-0000-{'ab' * 4}"  # past the newest version: a killed writer's
    shutil.copytree(data / listed[-1], leftover)
    (leftover / "notes.txt").write_text("someone else's")  # kept, with its folder
    (data / "groups-000009-abababab.npy").write_bytes(b"x")
    target = tmp_path / "c" / "elsewhere.npy"
    target.write_bytes(b"y")
    (data / "groups-000009-cdcdcdcd.npy").symlink_to(target)
    done = ij.vacuum(idx)
    assert unlisted.is_dir() and (leftover / "notes.txt").exists() and not (leftover / "ids.npy").exists()
    assert not (data / "groups-000009-abababab.npy").exists()
    assert (data / "groups-000009-cdcdcdcd.npy").is_symlink() and target.read_bytes() == b"y"
    assert done["entries_removed"] == 1 and done["entries_kept"] == 3
    assert Index.open(idx, verify=True).count == 2600


def test_a_full_disk_is_named_and_leaves_the_index_as_it_was(made, tmp_path):
    import subprocess

    tiny = tmp_path / "tiny"
    tiny.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(tiny)], capture_output=True).returncode:
        pytest.skip("cannot mount a small file system here")
    try:
        x = Clustered(count=6000, dim=DIM, seed=1).rows(0, 6000)
        np.save(tmp_path / "a.npy", x[:1500])
        np.save(tmp_path / "b.npy", x[1500:])
        ij.create(tmp_path / "a.npy", tiny / "idx", THRESHOLD)
        with pytest.raises(DedupError, match=r"\.npy: cannot be written: no space left on device$"):
            ij.add(tmp_path / "b.npy", tiny / "idx", tmp_path / "out")
        assert Index.open(tiny / "idx", verify=True).version == 1 and not (tmp_path / "out").exists()
        # A manifest that cannot be written is one line too, and the index stays as it was.
        ij.vacuum(tiny / "idx")  # the add's leftovers go
        np.save(tmp_path / "c.npy", x[1500:1600])
        ij.add(tmp_path / "c.npy", tiny / "idx", tmp_path / "out-c")
        free = os.statvfs(tiny).f_bavail * os.statvfs(tiny).f_frsize
        (tiny / "filler").write_bytes(b"x" * free)
        with pytest.raises(DedupError, match=r"manifest\.json: the new manifest cannot be written: no space left"):
            ij.vacuum(tiny / "idx", keep=1)
        (tiny / "filler").unlink()
        assert Index.open(tiny / "idx", verify=True).version == 2
    finally:
        subprocess.run(["umount", "-l", str(tiny)], check=False)


def test_removals_name_bad_ids_and_survive_a_swap(made, tmp_path, capfd, monkeypatch):
    """Ids past 64 bits, none, or a file that is not text: one line, nothing removed. An index
    replaced at its path while a removal writes: the removal lands in the index it read (whose
    removed-ids record the manifest checks), the new one is untouched."""
    idx = _copy(made, tmp_path / "a")
    before = tree(idx)
    (tmp_path / "ids.bin").write_bytes(b"\xff\xfe1\n")
    for ids in (["--ids", "9223372036854775808"], ["--ids", " , "], ["--ids-file", str(tmp_path / "ids.bin")]):
        assert main(["index", "remove", "--index", str(idx), *ids]) == 2
        err = capfd.readouterr().err
        assert err.count("\n") == 1 and "nothing was removed" in err, err
    assert tree(idx) == before

    fresh = tmp_path / "fresh"
    ij.create(made / "more.npy", fresh, THRESHOLD)
    seen = tree(fresh)
    real = files.save_array

    def swap(*args, **kwargs):
        if not (tmp_path / "old").exists():
            os.rename(idx, tmp_path / "old")
            os.rename(fresh, idx)
        return real(*args, **kwargs)

    monkeypatch.setattr(files, "save_array", swap)
    assert ij.remove(idx, [1, 2])["removed"] == 2
    monkeypatch.undo()
    assert tree(idx) == seen and Index.open(tmp_path / "old", verify=True).count == 2598
    _edit(tmp_path / "old", lambda m: _newest(m).pop("removed"))  # the record of the removal lost
    with pytest.raises(DedupError, match="removed does not match the 2 removed ids"):
        Index.open(tmp_path / "old")


def test_vacuum_frees_what_compactions_replaced(made, tmp_path):
    """Compactions whose versions are dropped later: nothing they replaced is left behind."""
    idx = _copy(made, tmp_path)
    for gone in ([1, 2, 3], [4, 5, 6]):
        ij.remove(idx, gone)
        ij.vacuum(idx, keep=2)
    ij.vacuum(idx, keep=1)
    manifest = json.loads((idx / "manifest.json").read_text())
    listed = {s["name"] for s in _newest(manifest)["segments"]} | {
        g["file"].split("/")[1] for g in _newest(manifest)["groups"]
    }
    assert {p.name for p in (idx / "data").iterdir()} == listed
    assert Index.open(idx, verify=True).count == 2594
