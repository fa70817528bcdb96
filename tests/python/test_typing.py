"""The type stubs agree with the module, and type checkers read them as intended.

The checks that need mypy are skipped where it is not installed.
"""

import ast
import importlib.metadata
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

STUB = Path(__file__).resolve().parents[2] / "src" / "ambrel_native.pyi"


@pytest.fixture(scope="module")
def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def module_env(native):
    """Environment in which a child process imports the same module and reads
    the stub from the source tree (MYPYPATH comes before installed stubs)."""
    env = dict(os.environ)
    env["MYPYPATH"] = str(STUB.parent)
    paths = [str(Path(native.__file__).parent), env.get("PYTHONPATH", "")]
    env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    return env


def test_stub_names_follow_the_module(native, stub_tree):
    declared = [node.name for node in stub_tree.body if isinstance(node, ast.FunctionDef | ast.ClassDef)]
    exported = next(
        ast.literal_eval(node.value)
        for node in stub_tree.body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]
    )
    assert exported == native.__all__
    assert sorted(declared) == sorted(native.__all__)


def test_stub_docstrings_are_the_runtime_docstrings(native, stub_tree):
    assert ast.get_docstring(stub_tree) == native.__doc__
    for node in stub_tree.body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            assert ast.get_docstring(node) == getattr(native, node.name).__doc__, node.name


def test_installed_module_ships_the_stub_package(native):
    """A pip-installed module carries the stub as a PEP 561 stub-only package,
    the form that both mypy and pyright find next to a top-level extension."""
    location = Path(native.__file__).parent
    if location != Path(sysconfig.get_paths()["platlib"]):
        pytest.skip(f"ambrel_native is not installed here but imported from {location}")
    shipped = location / "ambrel_native-stubs" / "__init__.pyi"
    assert shipped.is_file()
    assert shipped.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")
    # ... and the license, as metadata and as a file.
    distribution = importlib.metadata.distribution("ambrel-native")
    assert distribution.metadata["License-Expression"] == "MIT"
    license_text = distribution.read_text("licenses/LICENSE")
    assert license_text == (STUB.parent.parent / "LICENSE").read_text(encoding="utf-8")


def test_stubtest(native, tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "ambrel_native"],
        cwd=tmp_path,
        env=module_env(native),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked "# E: code" must give exactly that mypy error; no other line may give one.
USAGE = """
    import array
    from typing import assert_type

    import numpy as np

    import ambrel_native as an

    v = an.normalize_vector([3, 4.0, True])
    assert_type(v, list[float])
    families = an.simhash_lsh_multi(v, families=2, bits=64, bands=4)
    assert_type(families, list[an.LshFamily])
    assert_type(families[0].bands, list[str])
    assert_type(families[0].family, int)
    assert_type(an.hamming_distance_hex(families[0].signature, "ff"), int)
    assert_type(an.cosine_from_hamming(3, 64), float)
    assert_type(an.compute_embedding_sha256(np.zeros(4, dtype=np.float32)), str)
    an.normalize_vector(array.array("f", [1.0]))
    an.normalize_vector(memoryview(b"ab"))
    an.normalize_vector((np.float32(1.0), 2))
    an.normalize_vector(range(3))
    config = an.LshConfig(bits=128)
    assert_type(config.bands, int)
    an.LshFamily(0, 64, "ab", ("a", "b"))

    an.normalize_vector("1.0")  # E: arg-type
    an.normalize_vector([1.0, "x"])  # E: list-item
    an.simhash_lsh_multi(v, families=2.0)  # E: arg-type
    an.hamming_distance_hex(1, "0f")  # E: arg-type
    an.LshFamily(0, 64, "ab", [1])  # E: list-item
    an.LshConfig(1, 2, 3, 4)  # E: call-arg
    config.bits = 512  # E: misc
    families[0].signature = "00"  # E: misc
    class Mine(an.LshConfig): ...  # E: misc
"""


def test_type_checkers_see_the_declared_types(native, tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    source = textwrap.dedent(USAGE)
    (tmp_path / "usage.py").write_text(source, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes", "usage.py"],
        cwd=tmp_path,
        env=module_env(native),
        capture_output=True,
        text=True,
        timeout=600,
    )
    expected = {
        (number, match.group(1))
        for number, line in enumerate(source.splitlines(), 1)
        if (match := re.search(r"# E: ([a-z-]+)$", line))
    }
    found = {
        (int(m.group(1)), m.group(2))
        for m in re.finditer(r"^usage\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)
    }
    assert found == expected, result.stdout + result.stderr
