"""`ambrel-dedup report OUT`: what every threshold from the run's to 1.0 would do, on one HTML page.

A run at a low threshold lists its pairs once; `rethreshold.decide_at` decides them again at any
higher threshold without computing a cosine. The page puts that evidence in front of the user who
has to choose a threshold: the run in a few lines, the rows removed at every threshold (a chart
and a table), the cosines of the near pairs, and sample pairs of every cosine band side by side
with the input columns the user asks for (`show`: text, url, title...), read from the run's
Parquet input for the sampled ids only.

The page is self-contained (inline style, inline SVG, no script, nothing fetched) and the same
every time for the same run: samples are chosen by a hash of the two ids, not at random.
"""

from __future__ import annotations

import html
import itertools
import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from ..errors import DedupError
from ..files.outputs import REPORT
from ..pipeline.decide import Decision
from .rethreshold import RunOutput, decide_at

CURVE_STEPS = (0.005, 0.01, 0.02, 0.025, 0.05)
MAX_LEVELS = 61  # thresholds on the curve, the run's and 1.0 included
BAND_WIDTHS = (0.02, 0.05, 0.1)
MAX_BANDS = 20
PER_BAND = 8  # sample pairs shown per cosine band
TEXT_LIMIT = 400  # characters of a shown value before it is cut


def write_report(
    run_output: str | os.PathLike[str],
    show: Sequence[str] | None = (),
    output: str | os.PathLike[str] | None = None,
) -> Path:
    """Writes the report of the run at `run_output` to `output` (default OUT/report.html), with the
    input columns `show` beside each sample pair, and returns its path."""
    run = RunOutput.read(run_output)
    columns = list(dict.fromkeys(show or ()))
    t = run.threshold
    pairs = run.pairs
    near = pairs[~pairs.exact]
    bands = _bands(t)
    samples = [_sample(near, lo, hi, last=i == len(bands) - 1) for i, (lo, hi) in enumerate(bands)]
    copies = _sample(pairs[pairs.exact], -math.inf, math.inf, last=True)
    shown_ids = np.unique(np.concatenate([np.concatenate([s.id_a, s.id_b]) for s in [*samples, copies]]))
    names = dict(zip(shown_ids.tolist(), run.names(shown_ids)))  # the user's ids of the keys
    kind = "int64" if run.ids is None else run.ids.type
    values = _read_columns(run.summary, columns, names, kind) if columns else {}

    levels = thresholds(t)
    at_run = decide_at(run, t).decision
    removed = [at_run.removed] + [decide_at(run, level).decision.removed for level in levels[1:]]
    status = _status(at_run, shown_ids, run.names)

    cosines = np.sort(near.cosine.to_numpy(np.float64))
    at_or_above = len(cosines) - np.searchsorted(cosines, np.array(levels))
    page = _page(
        run,
        _Curve(levels, removed, [int(n) for n in at_or_above]),
        cosines,
        [(band, sample) for band, sample in zip(bands, samples)],
        copies,
        columns,
        values,
        status,
        names,
    )
    target = Path(output) if output is not None else run.path / REPORT
    _write_atomically(target, page)
    return target


def thresholds(threshold: float) -> list[float]:
    """The run's threshold, then the multiples of a round step above it up to 1.0 (at most
    MAX_LEVELS in all)."""
    step = next((s for s in CURVE_STEPS if (1.0 - threshold) / s <= MAX_LEVELS - 1), CURVE_STEPS[-1])
    return _grid(threshold, step)


def _grid(start: float, step: float) -> list[float]:
    """`start`, then the multiples of `step` above it, up to 1.0."""
    above = [round(k * step, 6) for k in range(math.floor(start / step), round(1.0 / step) + 1)]
    return [start] + [x for x in above if x > start + 1e-9]


def _bands(threshold: float) -> list[tuple[float, float]]:
    """Cosine bands from the threshold to 1.0 on a round grid (the last one holds 1.0)."""
    width = next((w for w in BAND_WIDTHS if (1.0 - threshold) / w <= MAX_BANDS), BAND_WIDTHS[-1])
    edges = _grid(threshold, width)
    return list(itertools.pairwise(edges)) or [(threshold, 1.0)]


@dataclass
class _Sample:
    count: int  # pairs in the band
    id_a: np.ndarray
    id_b: np.ndarray
    cosine: np.ndarray


def _sample(pairs: pd.DataFrame, lo: float, hi: float, last: bool) -> _Sample:
    """Up to PER_BAND pairs of cosine in [lo, hi) ([lo, hi] for the last band), those of the
    smallest hash of their two ids, by cosine."""
    cos = pairs.cosine.to_numpy(np.float64)
    inside = (cos >= lo) & ((cos <= hi) if last else (cos < hi))
    a, b, cos = pairs.id_a.to_numpy(np.int64)[inside], pairs.id_b.to_numpy(np.int64)[inside], cos[inside]
    chosen = np.argsort(_hash(a, b), kind="stable")[:PER_BAND]
    chosen = chosen[np.lexsort((a[chosen], cos[chosen]))]
    return _Sample(int(inside.sum()), a[chosen], b[chosen], cos[chosen])


def _hash(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """A well-mixed 64-bit hash of each pair of ids (splitmix64's finaliser)."""
    h = a.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15) ^ b.astype(np.uint64) * np.uint64(0xC2B2AE3D27D4EB4F)
    for shift, factor in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
        h = (h ^ (h >> np.uint64(shift))) * np.uint64(factor)
    mixed: np.ndarray = h ^ (h >> np.uint64(31))
    return mixed


def _status(decision: Decision, ids: np.ndarray, names: Callable[[np.ndarray], list[Any]]) -> dict[int, str]:
    """Each id's fate at the run's threshold: kept, or the row it duplicates (named by `names`)."""
    at = np.clip(np.searchsorted(decision.ids, ids), 0, max(len(decision.ids) - 1, 0))
    listed = (decision.ids[at] == ids) if len(decision.ids) else np.zeros(len(ids), bool)
    gone = listed & ~decision.keep[at] if len(decision.ids) else listed
    of = iter(names(decision.duplicate_of[at[gone]]))
    return {
        x: f"removed, a duplicate of {next(of)}" if removed else "kept"
        for x, removed in zip(ids.tolist(), gone.tolist())
    }


# -- the input's columns ------------------------------------------------------


def _read_columns(
    summary: dict[str, Any], columns: list[str], users: dict[int, Any], kind: str
) -> dict[int, dict[str, Any]]:
    """The values of `columns` for the keys of `users` (the user's id of each, of type `kind`), read
    from the run's Parquet input one row group at a time (the id column first, the shown columns
    only where a wanted id is)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    key_of = {user: key for key, user in users.items()}
    wanted_ids = pa.array(list(key_of), pa.type_for_alias(kind))

    files = summary.get("files") or []
    id_column = summary.get("id_column", "id")
    first = columns[0]
    if not files:
        raise DedupError(f"{summary.get('input', 'the input')}: not Parquet, so it has no column '{first}' to show")
    found: dict[int, dict[str, Any]] = {}
    for file in files:
        if str(file).endswith(".npy"):
            raise DedupError(f"{file}: a .npy file, not Parquet, so it has no column '{first}' to show")
        try:
            pf = pq.ParquetFile(file)
        except FileNotFoundError:
            raise DedupError(f"{file}: the run's input file is gone, so its column '{first}' cannot be shown") from None
        except (OSError, pa.ArrowException) as exc:
            raise DedupError(f"{file}: cannot be read as Parquet to show column '{first}': {exc}") from None
        names = pf.schema_arrow.names
        for column in [id_column, *columns]:
            if column not in names:
                raise DedupError(f"{file}: no column '{column}' to show (its columns: {', '.join(names)})")
        wanted = [c for c in columns if c != id_column]
        try:
            for group in range(pf.num_row_groups):
                row_ids = pf.read_row_group(group, columns=[id_column]).column(0).cast(wanted_ids.type)
                rows = np.flatnonzero(pc.is_in(row_ids, value_set=wanted_ids).to_numpy(zero_copy_only=False))
                if len(rows) == 0:
                    continue
                read = {}
                if wanted:
                    table = pf.read_row_group(group, columns=wanted).take(pa.array(rows))
                    read = {c: table.column(c).to_pylist() for c in wanted}
                for k, x in enumerate(row_ids.take(pa.array(rows)).to_pylist()):
                    found[key_of[x]] = {c: x if c == id_column else read[c][k] for c in columns}
        except (OSError, pa.ArrowException) as exc:
            raise DedupError(f"{file}: cannot read column '{first}': {exc}") from None
    return found


# -- the page -----------------------------------------------------------------


@dataclass
class _Curve:
    levels: list[float]
    removed: list[int]
    near_pairs: list[int]  # near pairs at or above each level


def _fmt_t(x: float) -> str:
    return f"{x:.3f}" if abs(x * 1000 - round(x * 1000)) < 1e-6 else f"{x:.4f}"


def _e(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _value(value: Any) -> str:
    if value is None:
        return '<span class="null">null</span>'
    text = value if isinstance(value, str) else repr(value) if isinstance(value, bytes) else str(value)
    if len(text) > TEXT_LIMIT:
        cut = text[:TEXT_LIMIT].rstrip()
        return f'{_e(cut)}<span class="more">… ({len(text):,} characters)</span>'
    return _e(text)


def _page(
    run: RunOutput,
    curve: _Curve,
    cosines: np.ndarray,
    bands: list[tuple[tuple[float, float], _Sample]],
    copies: _Sample,
    columns: list[str],
    values: dict[int, dict[str, Any]],
    status: dict[int, str],
    names: dict[int, Any],
) -> str:
    s = run.summary
    rows = int(s.get("vectors", 0))
    title = f"Near duplicates at every threshold: {s.get('input', run.path)}"
    body = [
        f"<h1>Near duplicates at every threshold</h1><p class=sub>{_e(s.get('input', ''))} &middot; {_e(run.path)}</p>",
        _run_section(run, curve.removed[0], rows),
        '<section><h2>What each threshold would do</h2><div class="split"><div>',
        "<h3>Rows removed</h3>",
        _line_chart(curve),
        f"<h3>Cosines of the {len(cosines):,} near pairs</h3>",
        _histogram(cosines, curve.levels),
        f"<p class=note>Exact copies (the same vector up to its length) are not drawn: "
        f"{int(run.pairs.exact.sum()):,} pairs at cosine 1. Every threshold is decided afresh from the run's pairs "
        "by the same keep rule; the rows removed at 1.0 are the exact copies (and any near pair at cosine 1).</p>",
        "</div><div>",
        _curve_table(curve, rows),
        "</div></div></section>",
        _samples_section(run.threshold, bands, copies, columns, values, status, names),
    ]
    return (
        "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
        '<meta name=viewport content="width=device-width, initial-scale=1">'
        f"<title>{_e(title)}</title><style>{_CSS}</style></head><body>\n" + "\n".join(body) + "\n</body></html>\n"
    )


def _run_section(run: RunOutput, removed: int, rows: int) -> str:
    s = run.summary
    t = run.threshold
    decision = s.get("decision", {})
    rule = decision.get("rule", "the smallest id")
    grouping = str(decision.get("groups", run.grouping))
    if grouping == "components":
        how = f"Each connected component of the pairs keeps one row, the one with {rule}; every other member goes."
    else:
        how = (
            f"Rows are taken best first by {rule}; a row is removed when a better-ranked kept row "
            "is its near duplicate at or above the threshold."
        )
    exact = int(run.pairs.exact.sum())
    key = f"{t:.2f}"
    recall = (s.get("promised_recall") or {}).get(key)
    lower = (s.get("promised_recall_lower") or {}).get(key)
    if recall is None:
        promise = "not measured at this threshold"
    else:
        promise = f"{recall:.3f}" + ("" if lower is None else f" (95% lower bound {lower:.3f})")
    items = [
        ("Input", _e(s.get("input", ""))),
        ("Rows", f"{rows:,}"),
        ("Threshold", f'<span id="run-threshold">{_fmt_t(t)}</span> (cosine)'),
        ("Keep rule", _e(how)),
        ("Grouping", _e(grouping)),
        ("Pairs", f"{len(run.pairs):,} ({exact:,} exact copies, {len(run.pairs) - exact:,} near pairs)"),
        ("Rows removed", f'<span id="run-removed">{removed:,}</span> ({_share(removed, rows)} of the rows)'),
        ("Promised recall", f"{_e(promise)} at {key}, measured on held-out rows"),
    ]
    origin = s.get("rethresholded_from")
    if isinstance(origin, dict):
        items.append(("Decided from", _e(f"the run at {origin.get('threshold')} in {origin.get('output')}")))
    cells = "".join(f"<dt>{name}</dt><dd>{value}</dd>" for name, value in items)
    return f"<section><h2>The run</h2><dl class=facts>{cells}</dl></section>"


def _share(n: int, rows: int) -> str:
    return f"{100.0 * n / rows:.2f}%" if rows else "–"


def _curve_table(curve: _Curve, rows: int) -> str:
    lines = []
    for i, (level, removed, near) in enumerate(zip(curve.levels, curve.removed, curve.near_pairs)):
        mark = ' class="run"' if i == 0 else ""
        lines.append(
            f"<tr{mark}><td>{_fmt_t(level)}</td><td>{removed:,}</td><td>{_share(removed, rows)}</td><td>{near:,}</td></tr>"
        )
    return (
        '<table id="curve" class="numbers"><thead><tr><th>threshold</th><th>rows removed</th>'
        "<th>share of rows</th><th>near pairs at or above</th></tr></thead><tbody>"
        + "".join(lines)
        + "</tbody></table>"
    )


def _samples_section(
    threshold: float,
    bands: list[tuple[tuple[float, float], _Sample]],
    copies: _Sample,
    columns: list[str],
    values: dict[int, dict[str, Any]],
    status: dict[int, str],
    names: dict[int, Any],
) -> str:
    parts = [
        "<section><h2>Sample pairs by cosine</h2><p class=note>Up to "
        f"{PER_BAND} pairs of each band, the same ones every time; each row marked as the run decided it at "
        f"{_fmt_t(threshold)}."
        + ("" if columns else " Add <code>--show COLUMN</code> to see the input's columns beside the ids.")
        + "</p>"
    ]
    last = len(bands) - 1
    for i, ((lo, hi), sample) in enumerate(bands):
        name = f"cosine {_fmt_t(lo)} to {_fmt_t(hi)}" + (" (included)" if i == last else "")
        parts.append(_sample_table(name, sample, columns, values, status, names))
    if copies.count:
        parts.append(_sample_table("exact copies", copies, columns, values, status, names))
    parts.append("</section>")
    return "\n".join(parts)


def _sample_table(
    name: str,
    sample: _Sample,
    columns: list[str],
    values: dict[int, dict[str, Any]],
    status: dict[int, str],
    names: dict[int, Any],
) -> str:
    head = f"<h3>{_e(name)}: {sample.count:,} pairs" + (f", {len(sample.cosine)} shown" if sample.count else "")
    if not sample.count:
        return head + "</h3>"

    def side(x: int) -> str:
        fate = status.get(x, "kept")
        cls = "kept" if fate == "kept" else "gone"
        shown = values.get(x, {})
        fields = "".join(f"<dt>{_e(c)}</dt><dd>{_value(shown.get(c))}</dd>" for c in columns)
        return (
            f'<td class="row"><div class="id">id <span class="rid">{_e(names.get(x, x))}</span> '
            f'<span class="{cls}">{_e(fate)}</span></div>' + (f"<dl>{fields}</dl>" if fields else "") + "</td>"
        )

    rows = "".join(
        f'<tr><td class="cos">{c:.4f}</td>{side(a)}{side(b)}</tr>'
        for a, b, c in zip(sample.id_a.tolist(), sample.id_b.tolist(), sample.cosine.tolist())
    )
    return (
        f'{head}</h3><table class="pairs"><colgroup><col class="c"><col><col></colgroup>'
        f"<thead><tr><th>cosine</th><th>row a</th><th>row b</th></tr></thead><tbody>{rows}</tbody></table>"
    )


# -- charts (inline SVG) ------------------------------------------------------

_W, _H = 640, 250
_LEFT, _RIGHT, _TOP, _BOTTOM = 64, 16, 12, 44


def _ticks(top: float) -> list[float]:
    """Round ticks from 0 to at least `top` (about five)."""
    if top <= 0:
        return [0.0, 1.0]
    raw = top / 5
    magnitude = 10 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 5, 10) if m * magnitude >= raw)
    step = max(step, 1.0)
    return [i * step for i in range(math.ceil(top / step - 1e-9) + 1)]


def _frame(x_lo: float, y_ticks: list[float], x_label: str, y_label: str) -> tuple[list[str], Any, Any]:
    """Axes, grid lines and labels; the functions placing x and y in the plot."""
    x_hi, y_hi = 1.0, y_ticks[-1]
    width, height = _W - _LEFT - _RIGHT, _H - _TOP - _BOTTOM
    span = max(x_hi - x_lo, 1e-9)

    def px(x: float) -> float:
        return _LEFT + (x - x_lo) / span * width

    def py(y: float) -> float:
        return _TOP + height - y / y_hi * height

    out = []
    for y in y_ticks:
        out.append(f'<line class="grid" x1="{_LEFT}" x2="{_W - _RIGHT}" y1="{py(y):.1f}" y2="{py(y):.1f}"/>')
        out.append(f'<text class="tick" x="{_LEFT - 6}" y="{py(y) + 4:.1f}" text-anchor="end">{int(y):,}</text>')
    x_step = next(w for w in (0.02, 0.05, 0.1, 0.2, 0.5) if span / w <= 11)
    k = math.ceil(x_lo / x_step - 1e-9)
    while k * x_step <= x_hi + 1e-9:
        x = k * x_step
        out.append(
            f'<line class="axis" x1="{px(x):.1f}" x2="{px(x):.1f}" y1="{_TOP + height}" y2="{_TOP + height + 4}"/>'
        )
        out.append(f'<text class="tick" x="{px(x):.1f}" y="{_TOP + height + 17}" text-anchor="middle">{x:.2f}</text>')
        k += 1
    out.append(f'<line class="axis" x1="{_LEFT}" x2="{_W - _RIGHT}" y1="{_TOP + height}" y2="{_TOP + height}"/>')
    out.append(f'<text class="label" x="{_LEFT + width / 2:.0f}" y="{_H - 6}" text-anchor="middle">{x_label}</text>')
    mid = _TOP + height / 2
    out.append(
        f'<text class="label" x="14" y="{mid:.0f}" text-anchor="middle" transform="rotate(-90 14 {mid:.0f})">'
        f"{y_label}</text>"
    )
    return out, px, py


def _svg(parts: list[str], label: str) -> str:
    return (
        f'<svg class="chart" viewBox="0 0 {_W} {_H}" role="img" aria-label="{_e(label)}" '
        f'xmlns="http://www.w3.org/2000/svg">' + "".join(parts) + "</svg>"
    )


def _line_chart(curve: _Curve) -> str:
    parts, px, py = _frame(curve.levels[0], _ticks(max(curve.removed)), "threshold", "rows removed")
    points = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in zip(curve.levels, curve.removed))
    parts.append(f'<polyline class="line" points="{points}"/>')
    for x, y in zip(curve.levels, curve.removed):
        parts.append(
            f'<circle class="dot" cx="{px(x):.1f}" cy="{py(y):.1f}" r="3">'
            f"<title>{_fmt_t(x)}: {y:,} rows removed</title></circle>"
        )
    return _svg(parts, "rows removed at each threshold")


def _histogram(cosines: np.ndarray, levels: list[float]) -> str:
    edges = np.array(levels if len(levels) > 1 else [levels[0], 1.0])
    counts, _ = np.histogram(cosines, bins=edges)
    parts, px, py = _frame(float(edges[0]), _ticks(int(counts.max(initial=0))), "cosine", "near pairs")
    for lo, hi, n in zip(edges[:-1], edges[1:], counts.tolist()):
        if n:
            x0, x1, y = px(lo), px(hi), py(n)
            parts.append(
                f'<rect class="bar" x="{x0 + 0.5:.1f}" y="{y:.1f}" width="{max(x1 - x0 - 1, 0.5):.1f}" '
                f'height="{py(0) - y:.1f}"><title>{_fmt_t(lo)} to {_fmt_t(hi)}: {n:,} pairs</title></rect>'
            )
    return _svg(parts, "cosines of the near pairs")


_CSS = """
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#1d2330;margin:0 auto;
max-width:1180px;padding:20px 28px 60px;background:#fff}
h1{font-size:26px;margin:8px 0 2px}h2{font-size:20px;margin:34px 0 10px;border-bottom:1px solid #d8dde6;
padding-bottom:4px}h3{font-size:15px;margin:18px 0 6px}
.sub{color:#5b6474;margin:0;overflow-wrap:anywhere}.note{color:#5b6474;font-size:13px}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:4px 18px;margin:0}
dl.facts dt{font-weight:600}dl.facts dd{margin:0;overflow-wrap:anywhere}
.split{display:grid;grid-template-columns:minmax(0,3fr) minmax(0,2fr);gap:28px;align-items:start}
@media (max-width:900px){.split{grid-template-columns:1fr}}
svg.chart{width:100%;height:auto;display:block;font-size:12px}
.grid{stroke:#e6e9ef}.axis{stroke:#7a8394}.tick{fill:#4a5262}.label{fill:#1d2330;font-size:13px}
.line{fill:none;stroke:#2f6fd0;stroke-width:2}.dot{fill:#2f6fd0}.bar{fill:#e0873a}
table{border-collapse:collapse;font-size:13px}th,td{padding:3px 8px;border-bottom:1px solid #eceff4;
vertical-align:top}th{text-align:left;background:#f4f6f9}
table.numbers td{text-align:right;font-variant-numeric:tabular-nums}table.numbers th{text-align:right}
tr.run td{background:#eef4ff;font-weight:600}
table.pairs{width:100%;table-layout:fixed;margin-bottom:8px}table.pairs col.c{width:72px}
td.cos{font-variant-numeric:tabular-nums;font-weight:600}
td.row dl{display:grid;grid-template-columns:max-content minmax(0,1fr);gap:2px 10px;margin:4px 0 0}
td.row dt{color:#5b6474}td.row dd{margin:0;white-space:pre-wrap;overflow-wrap:anywhere}
.id{font-variant-numeric:tabular-nums}.rid{font-weight:600}
.kept,.gone{font-size:11px;border-radius:3px;padding:0 5px;margin-left:6px}
.kept{background:#e3f3e6;color:#1f6b33}.gone{background:#fbe7e4;color:#9b2c1f}
.null,.more{color:#8a92a1;font-style:italic}code{background:#f4f6f9;padding:0 3px}
"""


def _write_atomically(target: Path, text: str) -> None:
    """The page beside its place under a temporary name, then moved there in one step."""
    tmp = target.with_name(f".{target.name}.tmp-{os.urandom(5).hex()}")
    try:
        with open(tmp, "x", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, target)
    except OSError as exc:
        tmp.unlink(missing_ok=True)
        raise DedupError(f"{target}: cannot write the report: {exc.strerror or exc}") from None
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
