"""What every benchmark prints besides its tables' figures: tables, the machine and its load."""

from __future__ import annotations

import os
import sys
from pathlib import Path


def table(headers: list[str], rows: list[list[str]], markdown: bool) -> str:
    if markdown:
        lines = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
        return "\n".join(lines + ["| " + " | ".join(r) + " |" for r in rows])
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    fmt = "  ".join(f"{{:>{w}}}" for w in widths)
    return "\n".join([fmt.format(*headers), fmt.format(*("-" * w for w in widths)), *(fmt.format(*r) for r in rows)])


def cpu_line() -> str:
    """The CPU model, its vector flags (AVX2, FMA, every AVX-512 one), the CPUs this process may use
    and the batch engine's kernel."""
    model, flags = "unknown CPU", []
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name") and model == "unknown CPU":
                model = line.split(":", 1)[1].strip()
            if line.startswith("flags") and not flags:
                flags = line.split(":", 1)[1].split()
    except OSError:
        pass
    simd = [f for f in flags if f in ("avx2", "fma") or f.startswith("avx512")]
    import ambrel_batch

    return (
        f"{model}, {ambrel_batch.available_cpus()} CPUs; flags {' '.join(simd) or 'no AVX2'}; "
        f"ambrel_batch.kernel() {ambrel_batch.kernel()}"
    )


def load() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def log(message: str) -> None:
    print(f"   {message}", file=sys.stderr, flush=True)
