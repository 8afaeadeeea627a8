"""Parse the session info text of an IBT file into nested dicts and lists.

The simulator writes the session info in a YAML layout, but it writes every value as it is,
without quoting: a driver called ``"Ace" #7 - Smith`` or a team called ``Fast: Slow`` ends up
in the text unchanged, and an ordinary YAML loader either fails on the whole text or silently
turns ``#7`` into a comment. :func:`parse_session_info` therefore works in three steps:

1. A line-level pre-pass reads each line as ``indent``, list dashes, ``key:`` and value, and puts
   every value (or key) that a YAML loader would not read back as the same text into double
   quotes. Values that are already correctly quoted are left alone.
2. The repaired text is loaded with PyYAML's C loader when it is available (its pure-Python
   loader otherwise), with plain scalars resolved the YAML 1.2 way: ``true``/``false``, ``null``,
   decimal and hexadecimal integers and decimal floats. Words such as ``yes``, ``no`` or ``off``,
   dates, ``1:30`` and numbers with leading zeros stay text.
3. If the loader still fails (broken indentation, tabs, stray lines), the same lines are read
   by a small indentation parser that builds the tree line by line and skips what fits nowhere.

The result is always a ``dict``; an empty text, or a text that is not a mapping, gives ``{}``.
Scalars are ``str``, ``int``, ``float``, ``bool`` or ``None`` (an empty value).

A text in the simulator's own regular layout (``key: value`` and ``- key: value`` lines indented
by spaces) skips all three steps: :func:`_parse_fast` builds the same tree straight from the lines
in one pass, which keeps a 60-car race well under 10 ms. Anything it does not recognise sends the
text down the three steps above.

A name with a line break in it is written by the simulator as it is, so its second line stands
on a line of its own. A line that cannot be a line of the layout (no ``key:``, no ``- ``, not a
comment) and follows a text value, possibly after blank lines, continues that value: the value
comes back with its line breaks. What the layout cannot tell apart stays ambiguous and is read
as layout: blanks at the end of a line (and a CR before the line break), a following line that
looks like ``key: value``, ``key:``, ``- item``, ``# comment`` or the end marker ``...``, and
line breaks at the start or the end of a value.

The session info's bytes are decoded by :func:`decode_session_info`: as UTF-8 when they are valid
UTF-8, else as Windows-1252, the encoding older builds of the simulator wrote.
"""

from __future__ import annotations

import codecs
import math
import re
from collections.abc import Mapping
from dataclasses import dataclass, replace
from typing import Any, cast

__all__ = [
    "parse_session_info",
    "loader_name",
    "decode_session_info",
    "read_session_info_path",
    "weekend_fields",
]

# PyYAML's loader the parser builds on, found on first use: the simulator's own layout is read
# without it, and importing PyYAML costs more than reading a race's session info that way.
_BASE_LOADER: type | None = None

_TAG = "tag:yaml.org,2002:"

# Plain scalars that become something other than text. Integers never have leading zeros, so
# that the loader's octal reading never applies; floats need a decimal point.
_RESOLVERS: list[tuple[str, str, str]] = [
    ("bool", r"^(?:true|True|TRUE|false|False|FALSE)$", "tTfF"),
    ("null", r"^(?:~|null|Null|NULL|)$", "~nN"),
    ("int", r"^(?:[-+]?(?:0|[1-9][0-9]*)|0x[0-9a-fA-F]+)$", "-+0123456789"),
    (
        "float",
        r"^(?:[-+]?(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?"
        r"|[-+]?\.(?:inf|Inf|INF)|\.(?:nan|NaN|NAN))$",
        "-+.0123456789",
    ),
]
_COMPILED = [(tag, re.compile(pattern)) for tag, pattern, _ in _RESOLVERS]

# Characters that may stand inside one line of a YAML stream as themselves. Anything else is
# either rejected by the loader (control characters) or read as a line break (a lone CR, NEL,
# U+2028, U+2029), so it is escaped inside values and dropped elsewhere. The class is written as
# its complement: spelled as the safe ranges up to U+10FFFF it takes 10 ms to compile, a third of
# what corvex info spends outside pyarrow's import.
_NOT_PRINTABLE = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff\ufffe\uffff]")


def _printable(text: str) -> bool:
    return _NOT_PRINTABLE.search(text) is None


# Characters that cannot start a plain scalar ("-", "?" and ":" only when a blank follows).
_INDICATORS = frozenset("-?:,[]{}#&*!|>'\"%@`")

_ESCAPE = r"\\(?:[0abt\tnvfre \"/\\N_LP]|x[0-9A-Fa-f]{2}|u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8})"
_DOUBLE_QUOTED = re.compile(r'"(?:[^"\\]|' + _ESCAPE + r')*"')
_SINGLE_QUOTED = re.compile(r"'(?:[^']|'')*'")

_LINE = re.compile(r"( *)((?:-(?: +|$))*)(.*)")

_MAX_DEPTH = 100


def _make_loader(base: type) -> type:
    """A subclass of ``base`` that resolves plain scalars with :data:`_RESOLVERS` only."""
    loader: Any = type("SessionInfoLoader", (base,), {"yaml_implicit_resolvers": {}})
    for tag, pattern, first in _RESOLVERS:
        loader.add_implicit_resolver(_TAG + tag, re.compile(pattern), list(first))
    loader.add_implicit_resolver(_TAG + "null", re.compile(r"^$"), [""])
    return cast(type, loader)


_LOADERS: dict[type, type] = {}


def _base_loader() -> type:
    global _BASE_LOADER
    if _BASE_LOADER is None:
        import yaml

        _BASE_LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    return _BASE_LOADER


def _loader() -> type:
    base = _base_loader()
    if base not in _LOADERS:
        _LOADERS[base] = _make_loader(base)
    return _LOADERS[base]


def _load(text: str) -> Any:
    import yaml

    return yaml.load(text, Loader=_loader())


def loader_name() -> str:
    """Name of the PyYAML loader class in use ("CSafeLoader" or "SafeLoader")."""
    return _base_loader().__name__


# ---------------------------------------------------------------------------------------------
# Line pre-pass


@dataclass
class _Line:
    """One line of the text: ``indent``, list dashes, then a key and/or a value."""

    dashes: list[int]  # columns of the "- " list markers on this line
    column: int  # column where the key or value starts
    key: str | None  # the mapping key, None for a bare value or an empty line
    value: str | None  # the value text, stripped; None after "key:" with nothing behind
    raw: str  # the line as it was, for lines that are neither a key nor a list entry
    original: str = ""  # the line without its trailing blanks, leading tabs kept


def _split_line(line: str) -> _Line:
    # Only blanks (space, tab) and a CR are layout; any other character, the Unicode spaces
    # and control characters included, belongs to the key or value it stands in.
    original = line = line.rstrip(" \t\r")
    stripped = line.lstrip(" \t")
    # Tabs are not indentation in YAML; count each leading one as a space rather than fail.
    line = " " * (len(line) - len(stripped)) + stripped
    indent, dash_text, body = _LINE.fullmatch(line).groups()  # type: ignore[union-attr]
    dashes = [len(indent) + m.start() for m in re.finditer("-", dash_text)]
    column = len(indent) + len(dash_text)
    if not body or (body.startswith("#") and not dashes):
        return _Line(dashes, column, None, None if not dashes else "", line, original)
    split = body.find(": ")
    if split > 0:
        key, value = body[:split].rstrip(" \t"), body[split + 2 :].strip(" \t")
        return _Line(dashes, column, key, value, line, original)
    if body.endswith(":") and len(body) > 1:
        return _Line(dashes, column, body[:-1].rstrip(" \t"), None, line, original)
    return _Line(dashes, column, None, body, line, original)


def _is_bare(line: _Line) -> bool:
    """A line that is no part of the layout: no key, no list dash, not blank, not a comment."""
    return line.key is None and not line.dashes and bool(line.value)


def _is_blank(line: _Line) -> bool:
    return line.key is None and not line.dashes and not line.original.strip(" \t")


def _join_continuations(lines: list[_Line]) -> list[_Line]:
    """Put bare lines after a text value back into that value, with their line breaks.

    A bare line after a text value is the rest of a name the simulator wrote with a line
    break in it. Blank lines in between belong to the value only when a bare line follows.
    """
    out: list[_Line] = []
    i, count = 0, len(lines)
    while i < count:
        line = lines[i]
        out.append(line)
        i += 1
        if line.key is None or not line.value or not isinstance(_value(line.value), str):
            continue
        parts = [line.value]
        while True:
            after = i
            while after < count and _is_blank(lines[after]):
                after += 1
            if after == count or not _is_bare(lines[after]):
                break
            parts += [""] * (after - i) + [lines[after].original]
            i = after + 1
        if len(parts) > 1:
            out[-1] = replace(line, value="\n".join(parts))
    return out


def _is_quoted(text: str) -> bool:
    """True for one complete, valid double- or single-quoted scalar."""
    if not _printable(text):
        return False
    return bool(_DOUBLE_QUOTED.fullmatch(text) or _SINGLE_QUOTED.fullmatch(text))


def _is_plain(text: str) -> bool:
    """True when a YAML loader reads ``text`` back as exactly this plain scalar."""
    first = text[0]
    if first in _INDICATORS and not (first in "-?:" and len(text) > 1 and text[1] not in " \t"):
        return False
    if ": " in text or ":\t" in text or text.endswith(":") or " #" in text or "\t#" in text:
        return False
    return _printable(text)


def _quote(text: str) -> str:
    """``text`` as a double-quoted YAML scalar."""
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch != "\t" and _printable(ch):
            out.append(ch)
        else:
            code = ord(ch)
            if code < 0x100:
                out.append(f"\\x{code:02X}")
            elif code < 0x10000:
                out.append(f"\\u{code:04X}")
            else:
                out.append(f"\\U{code:08X}")
    return '"' + "".join(out) + '"'


def _safe_scalar(text: str) -> str:
    return text if not text or _is_quoted(text) or _is_plain(text) else _quote(text)


def _render(line: _Line) -> str:
    """The line with every key and value a loader would misread put in quotes."""
    if line.key is None and (line.value is None or not line.dashes and not line.value):
        return _NOT_PRINTABLE.sub("", line.raw)
    if line.key is None and not line.dashes:
        # A bare line inside a mapping: no quoting can make it valid, keep it for the loader.
        return _NOT_PRINTABLE.sub("", line.raw)
    prefix = _dash_prefix(line)
    if line.key is None:
        return prefix + _safe_scalar(line.value or "")
    key = line.key if _is_plain(line.key) or _is_quoted(line.key) else _quote(line.key)
    if line.value is None:
        return f"{prefix}{key}:"
    return f"{prefix}{key}: {_safe_scalar(line.value)}"


def _dash_prefix(line: _Line) -> str:
    chars = [" "] * line.column
    for col in line.dashes:
        chars[col] = "-"
    return "".join(chars)


_DOCUMENT_END = re.compile(r"^\.\.\.[^\S\n]*$", re.MULTILINE)


def _document(text: str) -> str:
    """The first document with LF line ends: everything after a "..." end marker is padding."""
    text = text.replace("\r\n", "\n")
    end = _DOCUMENT_END.search(text)
    return text if end is None else text[: end.start()]


def _lines(text: str) -> list[str]:
    """The lines of the first document."""
    return _document(text).split("\n")


# ---------------------------------------------------------------------------------------------
# Loading


def parse_session_info(text: str) -> dict[str, Any]:
    """Parse the session info text into nested dicts and lists; never raises.

    Values that break a YAML loader (driver names with quotes, ``#``, ``: `` or a leading ``-``,
    ``*``, ``&``, ``!``, ``%``, ``@`` or a backquote, control characters) are kept as text.
    """
    document = _document(text)
    fast = _parse_fast(document)
    return fast if fast is not None else _parse_by_loader(document.split("\n"))


def _parse_by_loader(lines: list[str]) -> dict[str, Any]:
    """The pre-pass, the YAML loader and, when the loader fails, the line parser."""
    parsed = _join_continuations([_split_line(line) for line in lines])
    try:
        data = _load("\n".join(_render(line) for line in parsed))
    except Exception:  # noqa: BLE001 - any loader failure falls back to the line parser
        data = _LineParser(parsed).parse()
    return data if isinstance(data, dict) else {}


# One pattern with a named group per kind of plain scalar that is not text; the same kinds and
# spellings as _RESOLVERS (the tests hold the two readings of every value against each other).
_TYPED = re.compile(
    r"(?P<true>true|True|TRUE)|(?P<false>false|False|FALSE)|(?P<null>~|null|Null|NULL)"
    r"|(?P<int>[-+]?(?:0|[1-9][0-9]*)|0x[0-9a-fA-F]+)"
    r"|(?P<float>[-+]?(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?)"
    r"|(?P<inf>\+?\.(?:inf|Inf|INF))|(?P<ninf>-\.(?:inf|Inf|INF))|(?P<nan>\.(?:nan|NaN|NAN))"
)
_CONVERT: dict[str | None, Any] = {
    "true": lambda _: True,
    "false": lambda _: False,
    "null": lambda _: None,
    "int": lambda text: int(text, 0),  # base 0 reads "0x1F"; leading zeros never get here
    "float": float,
    "inf": lambda _: math.inf,
    "ninf": lambda _: -math.inf,
    "nan": lambda _: math.nan,
}
_TYPED_FIRST = frozenset("".join(first for _, _, first in _RESOLVERS))
_TYPED_WORDS = frozenset(
    ("true", "True", "TRUE", "false", "False", "FALSE", "null", "Null", "NULL")
)


def _value(text: str | None) -> Any:
    """One value as the loader reads it after the pre-pass, without running the loader.

    A complete quoted scalar loses its quotes; a plain value of :data:`_RESOLVERS` becomes a
    number, a boolean or None; everything else, including what the pre-pass would quote, is the
    text itself.
    """
    if not text:
        return None
    first = text[0]
    if first == '"' or first == "'":
        return _unquote(text)
    if first in _TYPED_FIRST:
        found = _TYPED.fullmatch(text)
        if found is not None:
            return _CONVERT[found.lastgroup](text)
    return text


def _unquote(text: str) -> Any:
    if not _is_quoted(text):
        return text
    if text[0] == "'":
        return text[1:-1].replace("''", "'")
    if "\\" not in text:
        return text[1:-1]
    try:  # escapes: let the loader read them
        return _load(text)
    except Exception:  # noqa: BLE001
        return text


_scalar = _value


# ---------------------------------------------------------------------------------------------
# The simulator's own layout in one pass

# Every line of the text: "key: value", "key:" or "- key: value" indented by spaces, with an
# identifier as key (groups 1 to 4), or any other line (group 5).
_FAST_LINES = re.compile(
    r"^(?:( *)(- )?([A-Za-z_][A-Za-z0-9_]*):(?: [ \t]*([^\n]*[^ \t\r\n])?)?[ \t\r]*|(.*))$",
    re.MULTILINE,
)


def _parse_fast(text: str) -> dict[str, Any] | None:
    """The tree of a text in the simulator's regular layout, or None for any other text.

    ``text`` is one document, CR LF already made LF. Block structure as YAML reads it: a
    mapping's keys share a column, a key with nothing after its colon opens a child (a deeper
    mapping, or a list whose dashes stand at the key's column or deeper), and a less indented
    line closes every deeper node. Values go through :func:`_value`, so the tree equals what
    the pre-pass and the loader make of the same text.
    """
    root: dict[str, Any] = {}
    # The open nodes, innermost last: (column, node, key awaiting a child or None). A mapping's
    # column is its keys', a list's its dashes'. The innermost one is also held in locals.
    stack: list[tuple[int, Any, str | None]] = []
    column = -1
    top: Any = None
    waiting: str | None = None  # the innermost mapping's key that awaits a child
    seen: dict[str, Any] = {}  # values repeat a lot: "0", "-1", units, "Running"
    started = False
    for indent, dash, key, text_value, other in _FAST_LINES.findall(text):
        if not key:
            body = other.strip(" \t\r")
            if not body or body[0] == "#":
                continue
            if body == "---" and not started:
                started = True
                continue
            return None
        started = True
        if key in _TYPED_WORDS:  # a key the loader would read as a boolean or None
            return None
        col = len(indent)
        if col == column and not dash and waiting is None and type(top) is dict:
            pass  # the next key of the same mapping: by far the most common line
        else:
            if top is None:
                if dash:
                    return None
                column, top = col, root
            if waiting is not None:
                top[waiting] = None
            while column > col:
                if not stack:
                    return None
                column, top, waiting = stack.pop()
            if dash:
                if column == col and type(top) is list:
                    items = top
                elif waiting is not None:  # the column is <= col here
                    items = top[waiting] = []
                    stack.append((column, top, None))
                    column, top = col, items
                else:
                    return None
                stack.append((column, top, None))
                top = {}
                items.append(top)
                column = col + 2
            else:
                if column == col and type(top) is list:
                    if not stack:
                        return None
                    column, top, waiting = stack.pop()
                    if column != col:
                        return None
                if column < col:
                    if waiting is None:
                        return None
                    child: dict[str, Any] = {}
                    top[waiting] = child
                    stack.append((column, top, None))
                    column, top = col, child
            waiting = None
        if text_value:
            found = seen.get(text_value, seen)
            if found is seen:
                found = seen[text_value] = _value(text_value)
            top[key] = found
        else:
            top[key] = None
            waiting = key
    return root


@dataclass
class _Entry:
    kind: str  # "item" (a "- " marker), "key" or "value"
    column: int
    key: str | None = None
    value: str | None = None
    has_value: bool = False


class _LineParser:
    """Builds the tree from indentation alone; the fallback when the loader gives up."""

    def __init__(self, lines: list[_Line]):
        self.entries: list[_Entry] = []
        for line in _join_continuations(lines):
            for col in line.dashes:
                self.entries.append(_Entry("item", col))
            if line.key is not None:
                key = _scalar(line.key) if _is_quoted(line.key) else line.key
                entry = _Entry("key", line.column, str(key), line.value, line.value is not None)
                self.entries.append(entry)
            elif line.value:
                self.entries.append(_Entry("value", line.column, value=line.value))

    def parse(self) -> dict[str, Any]:
        root: dict[str, Any] = {}
        pos = 0
        while pos < len(self.entries):
            node, end = self._node(pos, 0)
            if isinstance(node, dict):
                root.update(node)
            pos = max(end, pos + 1)
        return root

    def _node(self, pos: int, depth: int) -> tuple[Any, int]:
        entry = self.entries[pos]
        if depth > _MAX_DEPTH:
            return None, self._skip_deeper(pos, entry.column)
        if entry.kind == "item":
            return self._sequence(pos, entry.column, depth)
        if entry.kind == "key":
            return self._mapping(pos, entry.column, depth)
        return _scalar(entry.value), pos + 1

    def _skip_deeper(self, pos: int, column: int) -> int:
        pos += 1
        while pos < len(self.entries) and self.entries[pos].column > column:
            pos += 1
        return pos

    def _next_in_block(self, pos: int, column: int, kind: str) -> tuple[int, _Entry | None]:
        """From ``pos``, the next entry of ``kind`` at ``column`` of the block, past stray lines.

        Returns its position and the entry, or the position where the block ends and None.
        """
        while pos < len(self.entries):
            entry = self.entries[pos]
            if entry.column < column or (entry.column == column and entry.kind != kind):
                break
            if entry.column > column:  # stray line, fits nowhere
                pos += 1
                continue
            return pos, entry
        return pos, None

    def _sequence(self, pos: int, column: int, depth: int) -> tuple[list[Any], int]:
        items: list[Any] = []
        while True:
            pos, entry = self._next_in_block(pos, column, "item")
            if entry is None:
                return items, pos
            pos += 1
            if pos < len(self.entries) and self.entries[pos].column > column:
                node, pos = self._node(pos, depth + 1)
            else:
                node = None
            items.append(node)

    def _mapping(self, pos: int, column: int, depth: int) -> tuple[dict[str, Any], int]:
        mapping: dict[str, Any] = {}
        while True:
            pos, entry = self._next_in_block(pos, column, "key")
            if entry is None:
                return mapping, pos
            pos += 1
            key = entry.key or ""
            if entry.has_value:
                mapping[key] = _scalar(entry.value)
            elif pos < len(self.entries) and self._opens_child(self.entries[pos], column):
                mapping[key], pos = self._node(pos, depth + 1)
            else:
                mapping[key] = None

    @staticmethod
    def _opens_child(entry: _Entry, column: int) -> bool:
        return entry.column > column or (entry.kind == "item" and entry.column == column)


# ---------------------------------------------------------------------------------------------
# The text from the file's bytes


def _c1_for_undefined(error: UnicodeError) -> tuple[str, int]:
    """Decode the five bytes Windows-1252 leaves undefined as the C1 controls of their value."""
    if not isinstance(error, UnicodeDecodeError):
        raise error
    undefined = error.object[error.start : error.end]
    return "".join(map(chr, undefined)), error.end


_CP1252_ERRORS = "corvex-cp1252-c1"
codecs.register_error(_CP1252_ERRORS, _c1_for_undefined)


def decode_session_info(raw: bytes) -> str:
    """The session info text of ``raw``: UTF-8 when valid, else Windows-1252.

    Older builds of the simulator wrote the text in Windows-1252, newer ones in UTF-8, and both
    declare ISO-8859-1. Bytes that are valid UTF-8 are almost never a Windows-1252 text with
    accented letters in it, so validity decides. The bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D,
    which Windows-1252 leaves undefined, become U+0081 and so on (as in ISO-8859-1), so every
    byte maps to its own character and nothing is lost.
    """
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp1252", _CP1252_ERRORS)


def read_session_info_path(path: str) -> bytes | None:
    """The session info text bytes of the file at ``path``, as the reader cut them out of it;
    None when the reader refuses the file or it cannot be read."""
    from corvex._corvex_rs import probe

    try:
        return probe(path, salvage=True)["session_info_bytes"]
    except (OSError, RuntimeError, TypeError, ValueError):
        return None


# The weekend lines the reader picks out of the text (metadata keys "track_name" and so on),
# found by the same rule: a line trimmed of Unicode White_Space that starts with the prefix.
_WEEKEND_PREFIXES = (
    ("TrackName: ", "track_name"),
    ("TrackDisplayName: ", "track_display_name"),
    ("TrackCity: ", "track_city"),
    ("TrackCountry: ", "track_country"),
    ("TrackLength: ", "track_length"),
    ("SeriesID: ", "series_id"),
    ("SeasonID: ", "season_id"),
    ("SessionID: ", "session_id"),
    ("SubSessionID: ", "sub_session_id"),
)
_WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680"
    + "".join(map(chr, range(0x2000, 0x200B)))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def weekend_fields(text: str) -> dict[str, str]:
    """The nine weekend fields of ``text`` as the reader finds them; the last line wins."""
    fields: dict[str, str] = {}
    for line in text.split("\n"):
        line = line.strip(_WHITE_SPACE)
        if not line.startswith(("Track", "Se", "Sub")):
            continue
        for prefix, key in _WEEKEND_PREFIXES:
            if line.startswith(prefix):
                value = line[len(prefix) :].strip(_WHITE_SPACE)
                if value:
                    fields[key] = value
                break
    return fields


def player_entry(info: Mapping[str, Any]) -> dict[str, Any]:
    """The entry of the recording player's car in ``DriverInfo.Drivers`` of the parsed session
    info (the one whose ``CarIdx`` is ``DriverInfo.DriverCarIdx``), or {} when there is none."""
    drivers_info = info.get("DriverInfo")
    if not isinstance(drivers_info, dict):
        return {}
    drivers = drivers_info.get("Drivers")
    if not isinstance(drivers, list):
        return {}
    player = drivers_info.get("DriverCarIdx")
    for driver in drivers:
        if isinstance(driver, dict) and driver.get("CarIdx") == player:
            return driver
    return {}


def text_or_none(value: Any) -> str | None:
    """A session info value as text; None for a missing or empty value."""
    return None if value is None or value == "" else str(value)
