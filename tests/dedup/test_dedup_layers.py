"""The package's layers (docs/layout.md): no module imports from a layer above its own, and the
options every job takes are those of where it runs and how it reads."""

import ast
import dataclasses
from pathlib import Path

from ambrel_dedup.engine.where import Where
from ambrel_dedup.files.sources import Reading
from ambrel_dedup.pipeline.options import JOB_OPTIONS, RUN_OPTIONS

ROOT = Path(__file__).resolve().parents[2] / "src" / "ambrel_dedup"
# Lowest first; "" is the package root's modules (errors, ranking, partition). The root's
# __init__ (the public API) and __main__ sit above every layer.
LAYERS = ("", "datasets", "files", "engine", "pipeline", "index", "review", "cli")
TOP = len(LAYERS)


def _layer(dotted: str) -> int:
    """The layer of a module of the package (`ambrel_dedup.x.y`), or of a name its root exports."""
    parts = dotted.split(".")[1:]
    if not parts or parts[0] in ("__init__", "__main__"):
        return TOP
    if parts[0] in LAYERS:
        return LAYERS.index(parts[0])
    return 0 if (ROOT / f"{parts[0]}.py").exists() else TOP


def _imports(path: Path) -> list[str]:
    """The package's modules (and root names) that a module imports, anywhere in it."""
    rel = path.relative_to(ROOT).with_suffix("")
    package = ["ambrel_dedup", *rel.parts[:-1]]  # a module's package, or an __init__'s own
    found = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found += [a.name for a in node.names if a.name.split(".")[0] == "ambrel_dedup"]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package[: len(package) - node.level + 1]
                module = ".".join(base + ([node.module] if node.module else []))
            elif (node.module or "").split(".")[0] == "ambrel_dedup":
                module = node.module or ""
            else:
                continue
            found += [module] if node.module else [f"{module}.{a.name}" for a in node.names]
    return found


def test_no_module_imports_from_a_layer_above_its_own():
    folders = {p.parent.name for p in ROOT.glob("*/__init__.py")}
    assert folders == set(LAYERS) - {""}, "a new folder needs its place in LAYERS"
    above = []
    for path in sorted(ROOT.rglob("*.py")):
        rel = path.relative_to(ROOT)
        own = _layer(".".join(["ambrel_dedup", *rel.with_suffix("").parts]))
        above += [f"{rel} imports {target}" for target in _imports(path) if _layer(target) > own]
    assert not above, "\n".join(above)


def test_job_options_are_where_a_job_runs_how_it_reads_and_its_log():
    every = {f.name for f in dataclasses.fields(Where)} | {f.name for f in dataclasses.fields(Reading)} | {"log"}
    assert JOB_OPTIONS < RUN_OPTIONS == every
