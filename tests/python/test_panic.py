"""Internal failures surface as pyo3_runtime.PanicException."""

import os
import re
import subprocess
import sys
import threading

import pytest

from test_arguments import Seq


def catch_panic(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as exc:  # a PanicException must not land here
        pytest.fail(f"internal failure caught as Exception: {exc!r}")
    except BaseException as exc:
        return exc
    pytest.fail("no exception raised")


@pytest.fixture(scope="module")
def panic_type(native):
    return type(catch_panic(native.simhash_lsh_multi, [1.0], families=2**57))


def test_panic_exception_type(native, panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__
    assert not hasattr(native, "PanicException")


@pytest.mark.parametrize(
    "call",
    [
        lambda n: n.simhash_lsh_multi([1.0], families=2**57),
        lambda n: n.simhash_lsh_multi([1.0], families=2**64 - 1, bits=2**64 - 1),
        lambda n: n.simhash_lsh_multi([], families=2**57, bits=2**63),
        lambda n: n.simhash_lsh_multi([1.0], families=1, bits=2**63),
        lambda n: n.simhash_lsh_multi([1.0], bits=2**64 - 1, bands=0),
        lambda n: n.normalize_vector(Seq([1.0], length=2**61)),
        lambda n: n.compute_embedding_sha256(Seq([1.0], length=2**62)),
        lambda n: n.simhash_lsh_multi(Seq([1.0], length=2**63 - 1)),
    ],
)
def test_capacity_overflow(native, panic_type, call):
    exc = catch_panic(call, native)
    assert type(exc) is panic_type
    assert str(exc) == "capacity overflow"
    assert exc.args == ("capacity overflow",)
    assert getattr(exc, "__notes__", None) is None


def test_argument_errors_come_before_size_limits(native, conversion_error):
    conversion_error(TypeError, "bands", native.simhash_lsh_multi, [1.0], 2**57, 2**63, None)


def test_panic_report_on_stderr(native, panic_type, capfd):
    capfd.readouterr()
    catch_panic(native.simhash_lsh_multi, [1.0], families=2**60)
    err = capfd.readouterr().err
    tid = threading.get_native_id()
    assert re.search(rf"\nthread '<unnamed>' \({tid}\) panicked at [^\n]+:\d+:\d+:\ncapacity overflow\n", err), err


def test_panic_from_python_code_is_resumed(native, panic_type, capfd):
    original = panic_type("raised by a sequence")
    exc = catch_panic(native.normalize_vector, Seq([1.0, 2.0], fail_at=1, exc=original))
    assert type(exc) is panic_type
    assert str(exc) == "raised by a sequence"
    assert exc is not original
    assert getattr(exc, "__notes__", None) is None
    assert "Python stack trace below:" in capfd.readouterr().err


def test_panic_from_python_code_without_str(native, panic_type):
    class NoStr:
        def __str__(self):
            raise RuntimeError("no str")

    exc = catch_panic(native.compute_embedding_sha256, Seq([1.0], fail_at=0, exc=panic_type(NoStr())))
    assert type(exc) is panic_type
    assert str(exc) == "Unwrapped panic from Python code"


BLOCKED_SEQUENCE_IMPORT = r"""
import sys, types
import ambrel_native as m
if sys.argv[1] == "blocked":
    sys.modules["collections.abc"] = None  # the traceback module cannot be imported either
else:
    import traceback  # formats the error
    sys.modules["collections.abc"] = types.ModuleType("collections.abc")  # no Sequence in it
try:
    m.normalize_vector(5)
except BaseException as exc:
    print(type(exc).__name__)
    print(str(exc))
"""


@pytest.mark.parametrize(
    "how, error",
    [
        ("blocked", "ModuleNotFoundError: import of collections.abc halted; None in sys.modules"),
        ("empty", "AttributeError: module 'collections.abc' has no attribute 'Sequence'"),
    ],
)
def test_sequence_import_failure_describes_the_error(native, how, error):
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(native.__file__), os.environ.get("PYTHONPATH", "")])
    )
    proc = subprocess.run(
        [sys.executable, "-c", BLOCKED_SEQUENCE_IMPORT, how], capture_output=True, text=True, env=env, timeout=60
    )
    name, message = proc.stdout.split("\n", 1)
    assert name == "PanicException", proc.stdout + proc.stderr
    assert message.startswith("failed to import collections.abc.Sequence: ")
    assert error in message
    assert "panicked at" in proc.stderr
