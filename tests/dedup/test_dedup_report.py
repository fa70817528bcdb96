"""The report page, loaded in a headless browser: its numbers against `decide_at`, its escaping,
and the failures of a report that cannot be drawn."""

import re
import shutil
import struct
import subprocess
from html.parser import HTMLParser

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from ambrel_dedup import DedupError, run
from ambrel_dedup.cli import main
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.review.report import write_report
from ambrel_dedup.review.rethreshold import RunOutput, decide_at

ROWS = 400


def text_of(i: int) -> str:
    return f"row {i} <b>bold</b> & co"


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A clustered corpus with a text column (families from 0.8 up, exact copies) and its run at 0.8."""
    root = tmp_path_factory.mktemp("report")
    vectors = Clustered(count=ROWS, dim=24, seed=0, family_share=0.25, copies_per_block=4).rows(0, ROWS)
    table = pa.table(
        {
            "id": np.arange(ROWS),
            "embedding": pa.array(list(vectors), pa.list_(pa.float32())),
            "text": [text_of(i) for i in range(ROWS)],
        }
    )
    source = root / "corpus.parquet"
    pq.write_table(table, source, row_group_size=128)
    out = root / "out"
    return source, out, run(source, out, 0.8, in_process=True).summary


def chromium(tmp_path, *args):
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        pytest.skip("chromium is not installed (scripts/lib.sh installs Debian's chromium)")
    command = [found, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'profile'}", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=180, check=True).stdout


class Rows(HTMLParser):
    """The text of every table cell, row by row, per table (by id or class)."""

    def __init__(self):
        super().__init__()
        self.tables, self.table, self.cell = {}, None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.table = self.tables.setdefault(attrs.get("id") or attrs.get("class"), [])
        elif tag == "tr" and self.table is not None:
            self.table.append([])
        elif tag == "td" and self.table is not None:
            self.cell = []

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.table[-1].append(" ".join("".join(self.cell).split()))
            self.cell = None
        elif tag == "table":
            self.table = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def test_page_in_a_browser(corpus, tmp_path):
    _, out, summary = corpus
    page = write_report(out, ["text"])
    assert page == out / "report.html"
    assert not any(p.name.startswith(".report") for p in out.iterdir())  # no temporary file left
    raw = page.read_text()
    assert not re.search(r"<script|<link|\s(?:src|href)=", raw), "the page must load nothing"

    dom = chromium(tmp_path, "--dump-dom", page.as_uri())
    parsed = Rows()
    parsed.feed(dom)

    # The curve: every level decided again here, the run's own count first.
    run_output = RunOutput.read(out)
    curve = [r for r in parsed.tables["curve"] if r]
    assert curve[0][0] == "0.800" and curve[-1][0] == "1.000" and 30 <= len(curve) <= 61
    removed = [int(r[1].replace(",", "")) for r in curve]
    assert removed == [decide_at(run_output, float(r[0])).decision.removed for r in curve]
    assert removed[0] == summary["counts"]["removed"] > removed[-1] > 0
    assert curve[0][2] == f"{100 * removed[0] / ROWS:.2f}%"
    near = run_output.pairs[~run_output.pairs.exact].cosine.to_numpy()
    assert [int(r[3].replace(",", "")) for r in curve] == [int((near >= float(r[0])).sum()) for r in curve]
    assert f'<span id="run-removed">{removed[0]:,}</span>' in dom

    # Sample pairs: real pairs at their cosines, each side with its own text, escaped.
    cosine = {(a, b): c for a, b, c in run_output.pairs[["id_a", "id_b", "cosine"]].itertuples(index=False)}
    shown = [r for r in parsed.tables["pairs"] if r]
    assert len(shown) > 8
    for cos, side_a, side_b in shown:
        a, b = (int(re.match(r"id (\d+)", side).group(1)) for side in (side_a, side_b))
        assert float(cos) == pytest.approx(cosine[a, b], abs=1e-4)
        assert text_of(a) in side_a and text_of(b) in side_b
    assert "&lt;b&gt;bold&lt;/b&gt; &amp; co" in dom and "<b>" not in dom

    shot = tmp_path / "report.png"
    chromium(tmp_path, f"--screenshot={shot}", "--window-size=1280,2400", page.as_uri())
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", data[16:24]) == (1280, 2400)
    assert len(data) > 50_000  # a drawn page, not a blank one

    # The command line writes the same page wherever it is told.
    again = tmp_path / "again.html"
    assert main(["report", str(out), "--show", "text", "-o", str(again)]) == 0
    assert again.read_bytes() == page.read_bytes()


def test_failures_are_one_line(corpus, tmp_path, capsys):
    source, out, _ = corpus
    assert main(["report", str(out), "--show", "text", "nope", "-o", str(tmp_path / "r.html")]) == 2
    message = capsys.readouterr().err.strip()
    assert "\n" not in message and "'nope'" in message and str(source) in message
    assert not (tmp_path / "r.html").exists()

    with pytest.raises(DedupError, match="not the output of a run") as caught:
        write_report(tmp_path)
    assert "\n" not in str(caught.value)

    moved = tmp_path / "moved.parquet"
    source.rename(moved)
    try:
        with pytest.raises(DedupError, match=re.escape(str(source))) as caught:
            write_report(out, ["text"], tmp_path / "gone.html")
        assert "\n" not in str(caught.value) and "'text'" in str(caught.value)
        assert write_report(out, (), tmp_path / "plain.html").stat().st_size > 0  # ids only: no input read
    finally:
        moved.rename(source)
