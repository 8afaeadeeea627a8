"""The extension module and its entry point: argument binding, introspection, error mapping."""

from __future__ import annotations

import importlib
import inspect
import io
import sys

import corvex._corvex_rs as ext
import pytest

from corvex.testing import DOUBLE, Var, build_ibt

VALID = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [1.5]})

DOC = (
    "Parse an iRacing IBT file and return a LogFile.\n\n"
    "Note: Array variables (those with count > 1, e.g. tire temp arrays)\n"
    "are not included as channels. Only scalar (count == 1) variables are\n"
    "returned."
)

MISSING = "ibt() missing 1 required positional argument: 'source'"
TOO_MANY = "ibt() takes from 1 to 2 positional arguments but {} were given"
UNEXPECTED = "ibt() got an unexpected keyword argument '{}'"
MULTIPLE = "ibt() got multiple values for argument '{}'"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, MISSING),
        ((), {"progress": None}, MISSING),
        ((VALID, None, None), {}, TOO_MANY.format(3)),
        ((VALID, None, None, None), {}, TOO_MANY.format(4)),
        ((VALID, None, None), {"foo": 1}, TOO_MANY.format(3)),
        ((VALID,), {"source": VALID}, MULTIPLE.format("source")),
        ((VALID, None), {"progress": None}, MULTIPLE.format("progress")),
        ((VALID,), {"foo": 1}, UNEXPECTED.format("foo")),
        ((), {"foo": 1}, UNEXPECTED.format("foo")),
        ((), {"Source": VALID}, UNEXPECTED.format("Source")),
        ((VALID,), {"foo": 1, "source": VALID}, UNEXPECTED.format("foo")),
        ((VALID,), {"source": VALID, "foo": 1}, MULTIPLE.format("source")),
    ],
    ids=[
        "nothing",
        "only-progress",
        "three-positional",
        "four-positional",
        "positional-count-before-keywords",
        "source-twice",
        "progress-twice",
        "unknown-keyword",
        "unknown-keyword-before-missing-source",
        "keyword-case-sensitive",
        "keywords-checked-in-order-unknown-first",
        "keywords-checked-in-order-duplicate-first",
    ],
)
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ext.ibt(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((VALID,), {}),
        ((), {"source": VALID}),
        ((VALID, None), {}),
        ((VALID,), {"progress": None}),
        ((), {"progress": None, "source": VALID}),
    ],
    ids=["positional", "source-keyword", "progress-none", "progress-none-keyword", "both-kw"],
)
def test_accepted_bindings_parse_the_file(args, kwargs):
    log = ext.ibt(*args, **kwargs)
    assert log.source == "<bytes>"
    assert list(log.channels) == ["SessionTime"]
    assert log.channels["SessionTime"].column("timecodes").to_pylist() == [1500]


def test_signature():
    signature = inspect.signature(ext.ibt)
    assert str(signature) == "(source, progress=None)"
    source, progress = signature.parameters.values()
    assert source.kind is progress.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert source.default is inspect.Parameter.empty
    assert progress.default is None
    assert ext.ibt.__text_signature__ == "(source, progress=None)"


def test_function_docstring_and_names():
    assert ext.ibt.__doc__ == DOC
    assert ext.ibt.__name__ == "ibt"
    assert ext.ibt.__module__ == ext.__name__
    assert ext.ibt.__self__ is ext


def test_module_docstring_and_all():
    doc = ext.__doc__
    assert doc.startswith("iRacing IBT telemetry file parser implemented in ")
    assert doc.endswith("C++.")
    assert "\n" not in doc
    assert isinstance(ext.__all__, list)
    assert ext.__all__.count("ibt") == 1


def test_reimport_yields_the_same_module(monkeypatch):
    name = ext.__name__
    monkeypatch.delitem(sys.modules, name)
    again = importlib.import_module(name)
    assert again is ext
    assert again.__all__.count("ibt") == 1
    assert again.ibt(VALID).source == "<bytes>"


def test_missing_path_raises_plain_oserror(tmp_path):
    path = str(tmp_path / "does-not-exist.ibt")
    with pytest.raises(OSError) as info:
        ext.ibt(path)
    error = info.value
    assert type(error) is OSError
    assert not isinstance(error, FileNotFoundError)
    assert error.errno is None
    assert error.filename is None
    assert error.args == (f"{path}: I/O error: No such file or directory (os error 2)",)


HEADER_TEXT = "Invalid header: Unsupported IBT version: 7"


def test_invalid_header_by_path_is_oserror_with_the_path(write_file):
    path = write_file(build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}, version=7))
    with pytest.raises(OSError) as info:
        ext.ibt(str(path))
    assert type(info.value) is OSError
    assert info.value.args == (f"{path}: {HEADER_TEXT}",)


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "file-like", "open-file"])
def test_invalid_header_from_data_is_runtime_error(kind, write_file):
    data = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.0]}, version=7)
    if kind == "bytes":
        source = data
    elif kind == "bytearray":
        source = bytearray(data)
    elif kind == "file-like":
        source = io.BytesIO(data)
    else:
        source = open(write_file(data), "rb")  # noqa: SIM115 - closed below
    try:
        with pytest.raises(RuntimeError) as info:
            ext.ibt(source)
    finally:
        if kind == "open-file":
            source.close()
    assert type(info.value) is RuntimeError
    assert info.value.args == (HEADER_TEXT,)


def test_a_second_interpreter_is_refused():
    # A legacy sub-interpreter lets single-phase modules load, so the module's own check runs;
    # it is loaded from its file to keep the package's pyarrow import out of the way.
    interpreters = pytest.importorskip("_interpreters")
    code = (
        "import importlib.util\n"
        f"found = importlib.util.spec_from_file_location('corvex._corvex_rs', {ext.__file__!r})\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    raise SystemExit(str(e))\n"
        "raise SystemExit('imported')\n"
    )
    interp = interpreters.create("legacy")
    try:
        failure = interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
    assert failure is not None and "does not support sub-interpreters" in failure.msg
