import importlib
import os

import pytest

import reference


@pytest.fixture(scope="session")
def native():
    # Outside CI the oracle's own tests still run before the module builds.
    if os.environ.get("CI"):
        return importlib.import_module("ambrel_native")
    return pytest.importorskip("ambrel_native")


@pytest.fixture(params=["reference", "native"])
def impl(request):
    """Runs a worked-example test against the oracle and against the module."""
    if request.param == "reference":
        return reference
    return request.getfixturevalue("native")


@pytest.fixture
def conversion_error():
    """Calls fn, expects exc_type carrying exactly the note for `parameter`."""

    def check(exc_type, parameter, fn, *args, message=None, **kwargs):
        with pytest.raises(exc_type) as info:
            fn(*args, **kwargs)
        assert type(info.value) is exc_type
        assert getattr(info.value, "__notes__", None) == [f"while processing '{parameter}'"]
        if message is not None:
            assert str(info.value) == message
        return info.value

    return check
