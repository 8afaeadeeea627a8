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
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, cast

import yaml

__all__ = ["parse_session_info", "loader_name"]

_BASE_LOADER: type = getattr(yaml, "CSafeLoader", yaml.SafeLoader)

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
# U+2028, U+2029), so it is escaped inside values and dropped elsewhere.
_SAFE_CHARS = "\t\x20-\x7e\xa0-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff"
_PRINTABLE = re.compile(f"[{_SAFE_CHARS}]*")
_NOT_PRINTABLE = re.compile(f"[^{_SAFE_CHARS}]")

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


def _loader() -> type:
    base = _BASE_LOADER
    if base not in _LOADERS:
        _LOADERS[base] = _make_loader(base)
    return _LOADERS[base]


def loader_name() -> str:
    """Name of the PyYAML loader class in use ("CSafeLoader" or "SafeLoader")."""
    return _BASE_LOADER.__name__


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


def _split_line(line: str) -> _Line:
    line = line.rstrip(" \t\r")
    stripped = line.lstrip(" \t")
    # Tabs are not indentation in YAML; count each leading one as a space rather than fail.
    line = " " * (len(line) - len(stripped)) + stripped
    indent, dash_text, body = _LINE.fullmatch(line).groups()  # type: ignore[union-attr]
    dashes = [len(indent) + m.start() for m in re.finditer("-", dash_text)]
    column = len(indent) + len(dash_text)
    if not body or (body.startswith("#") and not dashes):
        return _Line(dashes, column, None, None if not dashes else "", line)
    split = body.find(": ")
    if split > 0:
        return _Line(dashes, column, body[:split].rstrip(), body[split + 2 :].strip(), line)
    if body.endswith(":") and len(body) > 1:
        return _Line(dashes, column, body[:-1].rstrip(), None, line)
    return _Line(dashes, column, None, body, line)


def _is_quoted(text: str) -> bool:
    """True for one complete, valid double- or single-quoted scalar."""
    if not _PRINTABLE.fullmatch(text):
        return False
    return bool(_DOUBLE_QUOTED.fullmatch(text) or _SINGLE_QUOTED.fullmatch(text))


def _is_plain(text: str) -> bool:
    """True when a YAML loader reads ``text`` back as exactly this plain scalar."""
    first = text[0]
    if first in _INDICATORS and not (first in "-?:" and len(text) > 1 and text[1] not in " \t"):
        return False
    if ": " in text or ":\t" in text or text.endswith(":") or " #" in text or "\t#" in text:
        return False
    return bool(_PRINTABLE.fullmatch(text))


def _quote(text: str) -> str:
    """``text`` as a double-quoted YAML scalar."""
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch != "\t" and _PRINTABLE.fullmatch(ch):
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


def _lines(text: str) -> list[str]:
    """The lines of the first document: everything after a "..." end marker is padding."""
    lines = text.replace("\r\n", "\n").split("\n")
    for i, line in enumerate(lines):
        if line.rstrip() == "...":
            return lines[:i]
    return lines


# ---------------------------------------------------------------------------------------------
# Loading


def parse_session_info(text: str) -> dict[str, Any]:
    """Parse the session info text into nested dicts and lists; never raises.

    Values that break a YAML loader (driver names with quotes, ``#``, ``: `` or a leading ``-``,
    ``*``, ``&``, ``!``, ``%``, ``@`` or a backquote, control characters) are kept as text.
    """
    parsed = [_split_line(line) for line in _lines(text)]
    try:
        data = yaml.load("\n".join(_render(line) for line in parsed), Loader=_loader())
    except Exception:  # noqa: BLE001 - any loader failure falls back to the line parser
        data = _LineParser(parsed).parse()
    return data if isinstance(data, dict) else {}


def _scalar(text: str | None) -> Any:
    """Resolve one value like the loader does, taking it as text when it cannot be read."""
    if text is None or text == "":
        return None
    if _is_quoted(text):
        try:
            return yaml.load(text, Loader=_loader())
        except Exception:  # noqa: BLE001
            return text
    for _tag, pattern in _COMPILED:
        if pattern.match(text):
            try:
                return yaml.load(text, Loader=_loader())
            except Exception:  # noqa: BLE001
                return text
    return text


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
        for line in lines:
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

    def _sequence(self, pos: int, column: int, depth: int) -> tuple[list[Any], int]:
        items: list[Any] = []
        while pos < len(self.entries):
            entry = self.entries[pos]
            if entry.column < column or (entry.column == column and entry.kind != "item"):
                break
            if entry.column > column:  # stray line, fits nowhere
                pos += 1
                continue
            pos += 1
            if pos < len(self.entries) and self.entries[pos].column > column:
                node, pos = self._node(pos, depth + 1)
            else:
                node = None
            items.append(node)
        return items, pos

    def _mapping(self, pos: int, column: int, depth: int) -> tuple[dict[str, Any], int]:
        mapping: dict[str, Any] = {}
        while pos < len(self.entries):
            entry = self.entries[pos]
            if entry.column < column or (entry.column == column and entry.kind != "key"):
                break
            if entry.column > column:  # stray line, fits nowhere
                pos += 1
                continue
            pos += 1
            key = entry.key or ""
            if entry.has_value:
                mapping[key] = _scalar(entry.value)
            elif pos < len(self.entries) and self._opens_child(self.entries[pos], column):
                mapping[key], pos = self._node(pos, depth + 1)
            else:
                mapping[key] = None
        return mapping, pos

    @staticmethod
    def _opens_child(entry: _Entry, column: int) -> bool:
        return entry.column > column or (entry.kind == "item" and entry.column == column)
