"""Source acquisition: which objects are read how, and the source label they give."""

from __future__ import annotations

import array
import io
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from corvex._corvex_rs import ibt

import corvex
from corvex.reading import TEXT_MODE_NOTE
from corvex.testing import DOUBLE, Var, build_ibt

VALID = build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [2.25]})
EXPECTED_TIMECODES = [2250]
NOT_A_SOURCE = "Expected str, bytes, PathLike, or file-like object"
EMPTY = "Invalid header: File too small for header: 0 bytes (need 112)"


def parsed_time(log) -> list[int]:
    return log.channels["SessionTime"].column("timecodes").to_pylist()


class PathLike:
    """An os.PathLike whose __fspath__ returns a fixed value."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __fspath__(self):
        self.calls += 1
        return self.value


class Reader:
    """A minimal file-like object: seek and read, recording the calls."""

    def __init__(self, result):
        self.result = result
        self.calls: list[tuple] = []

    def seek(self, *args):
        self.calls.append(("seek", *args))
        return 0

    def read(self, *args):
        self.calls.append(("read", *args))
        return self.result


@pytest.mark.parametrize(
    "make",
    [
        bytes,
        bytearray,
        memoryview,
        list,
        tuple,
        lambda d: array.array("B", d),
        lambda d: np.frombuffer(d, dtype=np.uint8),
        io.BytesIO,
        lambda d: Reader(d),
        lambda d: Reader(list(d)),
        lambda d: Reader(bytearray(d)),
    ],
    ids=[
        "bytes",
        "bytearray",
        "memoryview",
        "list",
        "tuple",
        "array",
        "numpy",
        "BytesIO",
        "reader-bytes",
        "reader-list",
        "reader-bytearray",
    ],
)
def test_data_sources_are_labelled_bytes(make):
    log = ibt(make(VALID))
    assert log.source == "<bytes>" and type(log.source) is str
    assert parsed_time(log) == EXPECTED_TIMECODES


def test_file_like_is_rewound_before_reading():
    stream = io.BytesIO(VALID)
    stream.seek(0, os.SEEK_END)
    assert parsed_time(ibt(stream)) == EXPECTED_TIMECODES
    reader = Reader(VALID)
    ibt(reader)
    assert reader.calls == [("seek", 0), ("read",)]


def test_open_binary_file(write_file):
    with open(write_file(VALID), "rb") as handle:
        handle.read(10)
        log = ibt(handle)
    assert log.source == "<bytes>"
    assert parsed_time(log) == EXPECTED_TIMECODES


def test_path_label_is_the_text_as_passed(write_file, monkeypatch):
    path = write_file(VALID, "f.ibt")
    monkeypatch.chdir(path.parent)
    for text in ["f.ibt", "./f.ibt", "../" + path.parent.name + "/f.ibt", str(path)]:
        log = ibt(text)
        assert log.source == text and type(log.source) is str
        assert parsed_time(log) == EXPECTED_TIMECODES


def test_str_subclass_is_a_path(write_file):
    class Name(str):
        pass

    path = write_file(VALID)
    log = ibt(Name(str(path)))
    assert log.source == str(path) and type(log.source) is str


def test_pathlike_label_is_what_fspath_returned(write_file, monkeypatch):
    path = write_file(VALID, "g.ibt")
    monkeypatch.chdir(path.parent)
    assert ibt(Path("g.ibt")).source == "g.ibt"
    assert ibt(Path("./g.ibt")).source == os.fspath(Path("./g.ibt"))
    custom = PathLike("./sub/../g.ibt")
    (path.parent / "sub").mkdir()
    log = ibt(custom)
    assert log.source == "./sub/../g.ibt"
    assert custom.calls == 1


def test_bytes_holding_a_path_are_file_contents(write_file):
    path = write_file(VALID)
    raw = str(path).encode()
    assert len(raw) < 112
    with pytest.raises(RuntimeError) as info:
        ibt(raw)
    assert (
        str(info.value) == f"Invalid header: File too small for header: {len(raw)} bytes (need 112)"
    )


def test_text_mode_file_is_refused(write_file):
    with open(write_file(VALID), encoding="latin-1") as handle:
        with pytest.raises(TypeError) as info:
            ibt(handle)
    assert str(info.value) == "Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        ibt(io.StringIO("x" * 200))
    assert str(info.value) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("how", ["utf-8", "latin-1", "stringio"])
def test_corvex_open_says_to_open_a_text_mode_file_in_binary_mode(write_file, how):
    path = write_file(VALID)
    if how == "stringio":
        handle: Any = io.StringIO("x" * 200)
    else:
        handle = open(path, encoding=how)  # noqa: SIM115 - closed below
    with handle, pytest.raises((TypeError, UnicodeDecodeError)) as info:
        corvex.open(handle)
    if how != "utf-8":  # the reader's own message stays as it is
        assert str(info.value) == "Can't extract `str` to `Vec`"
    assert info.value.__notes__ == [TEXT_MODE_NOTE]
    assert 'open(path, "rb")' in TEXT_MODE_NOTE


def test_read_without_seek_raises_attribute_error():
    class OnlyRead:
        def __init__(self):
            self.read_called = False

        def read(self):
            self.read_called = True
            return VALID

    source = OnlyRead()
    with pytest.raises(AttributeError):
        ibt(source)
    assert not source.read_called


@pytest.mark.parametrize(
    ("result", "error", "message"),
    [
        (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
        (12, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ([0, 1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([0, -1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, None),
        ([0, "a"], TypeError, None),
        ([1.0], TypeError, None),
    ],
    ids=["none", "int", "256", "negative", "huge", "str-element", "float-element"],
)
def test_bad_read_results(result, error, message):
    with pytest.raises(error) as info:
        ibt(Reader(result))
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("method", ["seek", "read"])
def test_exceptions_from_seek_and_read_pass_through(method):
    failure = LookupError("from the file object")

    class Failing(Reader):
        def seek(self, *args):
            if method == "seek":
                raise failure
            return 0

        def read(self, *args):
            raise failure

    with pytest.raises(LookupError) as info:
        ibt(Failing(VALID))
    assert info.value is failure


@pytest.mark.parametrize(
    "source",
    [None, 5, 1.5, object(), {"a": 1}, {1, 2}, [0, 256], [0, -1], ["a"], "\udcff.ibt"],
    ids=[
        "none",
        "int",
        "float",
        "object",
        "dict",
        "set",
        "list-256",
        "list-neg",
        "list-str",
        "surrogate",
    ],
)
def test_objects_of_no_kind(source):
    with pytest.raises(TypeError) as info:
        ibt(source)
    assert str(info.value) == NOT_A_SOURCE


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (b"/tmp/x.ibt", "'bytes' object cannot be converted to 'PyString'"),
        (7, "'int' object cannot be converted to 'PyString'"),
        (None, "'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_fspath_must_return_str(value, message):
    with pytest.raises(TypeError) as info:
        ibt(PathLike(value))
    assert str(info.value) == message


def test_fspath_unencodable_str_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        ibt(PathLike("\udcff.ibt"))


@pytest.mark.parametrize("form", ["str", "path", "bytes path-like"])
def test_corvex_open_takes_a_name_that_is_not_utf8(tmp_path, form):
    """What ibt refuses above, the package's reading opens: the file system's bytes of a name
    that is not UTF-8, with the caller's text as the label and in the messages."""
    import corvex

    raw = os.fsencode(tmp_path) + b"/caf\xe9.ibt"
    text = os.fsdecode(raw)
    source = {"str": text, "path": Path(text), "bytes path-like": PathLike(raw)}[form]
    with pytest.raises(OSError) as info:
        corvex.open(source)
    assert str(info.value).startswith(text + ": I/O error: ")
    with open(raw, "wb") as f:
        f.write(build_ibt([Var("SessionTime", DOUBLE)], {"SessionTime": [0.5, 1.0, 1.5]}))
    log = corvex.open(source)
    assert log.source == text and parsed_time(log) == [500, 1000, 1500]
    assert log.arrays == {}  # read again on first use, by the same bytes


def test_exception_from_fspath_passes_through():
    failure = KeyError("fspath")

    class Broken:
        def __fspath__(self):
            raise failure

    with pytest.raises(KeyError) as info:
        ibt(Broken())
    assert info.value is failure


def test_attribute_lookup_errors_other_than_attribute_error_pass_through():
    failure = ValueError("lookup")

    class Odd:
        @property
        def __fspath__(self):
            raise failure

    with pytest.raises(ValueError) as info:
        ibt(Odd())
    assert info.value is failure

    class NoFspath(Reader):
        @property
        def __fspath__(self):
            raise AttributeError("absent")

    assert ibt(NoFspath(VALID)).source == "<bytes>"


def test_path_with_nul(tmp_path):
    path = str(tmp_path / "a\0b.ibt")
    with pytest.raises(OSError) as info:
        ibt(path)
    assert type(info.value) is OSError
    assert str(info.value) == f"{path}: I/O error: file name contained an unexpected NUL byte"


def test_empty_sources(write_file):
    path = write_file(b"")
    with pytest.raises(OSError) as info:
        ibt(str(path))
    assert type(info.value) is OSError and str(info.value) == f"{path}: {EMPTY}"
    for source in [b"", bytearray(), [], io.BytesIO(), Reader(b"")]:
        with pytest.raises(RuntimeError) as info:
            ibt(source)
        assert str(info.value) == EMPTY


def test_path_like_and_file_like_is_read_as_a_path(write_file):
    path = write_file(VALID)

    class Both(Reader):
        def __fspath__(self):
            return str(path)

    source = Both(b"garbage")
    log = ibt(source)
    assert log.source == str(path)
    assert source.calls == []


def test_sequence_with_read_is_read_as_bytes():
    class Data(list):
        def seek(self, *args):
            raise AssertionError("seek must not be called")

        def read(self, *args):
            raise AssertionError("read must not be called")

    log = ibt(Data(VALID))
    assert log.source == "<bytes>"
    assert parsed_time(log) == EXPECTED_TIMECODES


def test_bad_sequence_with_read_falls_back_to_read():
    class Data(list):
        def seek(self, *args):
            return 0

        def read(self):
            return VALID

    log = ibt(Data([0, 300]))
    assert log.source == "<bytes>"
    assert parsed_time(log) == EXPECTED_TIMECODES


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_paths_that_are_not_files_fail_without_blocking(tmp_path, kind):
    # A FIFO with no writer would block a plain open() forever, holding the interpreter lock;
    # run the call in a child so that a regression shows as a timeout, not a hung suite.
    path = tmp_path / kind
    os.mkfifo(path) if kind == "fifo" else path.mkdir()
    code = (
        "import sys\nfrom corvex._corvex_rs import ibt\n"
        "try:\n    ibt(sys.argv[1])\nexcept OSError as e:\n    print(type(e).__name__, e)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60
    )
    assert done.stdout.strip() == f"OSError {path}: I/O error: No such device (os error 19)"
