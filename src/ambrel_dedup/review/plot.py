"""--plot: the exact cosines of the near pairs and the sizes of the groups (needs matplotlib)."""

from __future__ import annotations

import itertools
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ..errors import DedupError

FEW_SIZES = 20  # up to this largest group size, one bar per size


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise DedupError("--plot needs matplotlib (pip install matplotlib)") from None


def plot_summary(summary: Mapping[str, Any], path: str | Path) -> Path:
    require_matplotlib()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    hist = summary["cosine_histogram"]
    edges, counts = hist["edges"], hist["counts"]
    sizes = {int(s): n for s, n in summary["group_sizes"].items()}
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
    widths = [b - a for a, b in itertools.pairwise(edges)]
    left.bar(edges[:-1], counts, width=widths, align="edge", color="tab:blue")
    left.set_xlabel("exact cosine")
    left.set_ylabel("near-duplicate pairs")
    left.set_title(f"{sum(counts):,} near pairs at or above {summary['threshold']}")
    if sizes and max(sizes) <= FEW_SIZES:
        right.bar(list(sizes), list(sizes.values()), color="tab:orange")
        right.set_xticks(sorted(sizes))
        right.set_yscale("log")
    elif sizes:
        # Many sizes: points on log axes with plain numbers, so that no labels crowd each other.
        from matplotlib.ticker import NullFormatter, ScalarFormatter

        right.scatter(list(sizes), list(sizes.values()), s=12, color="tab:orange")
        right.set_xscale("log")
        right.set_yscale("log")
        right.xaxis.set_major_formatter(ScalarFormatter())
        right.xaxis.set_minor_formatter(NullFormatter())
    right.set_xlabel("group size (a kept row and the rows removed for it)")
    right.set_ylabel("groups")
    counts_all = summary["counts"]
    right.set_title(f"{counts_all['groups']:,} groups, {counts_all['removed']:,} ids to remove")
    fig.suptitle(summary["input"], fontsize=9)
    fig.tight_layout()
    out = Path(path)
    fig.savefig(out, dpi=110)
    plt.close(fig)
    return out
