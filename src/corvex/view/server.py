"""The viewer's local HTTP server: the page, its static files and read-only data endpoints.

It listens on 127.0.0.1 unless told otherwise and answers GET (and HEAD) only; nothing it
does writes a file. Requests whose ``Host`` is not this machine's own address are refused, so a
web page elsewhere cannot reach the viewer through a name that points here. Every endpoint
names files as :class:`~corvex.view.files.FileCatalog` lists them, and a file that fails to
read answers with an error the page shows in its error panel; the server keeps running.

Endpoints (all under ``/api/``, parameters in the query string):

- ``files``: the files served;
- ``session?file=F``: the session at a glance and its channels (JSON);
- ``layout?file=F&channels=A,B``: the distance charts for those channels (a Bokeh JSON item);
- ``map_layout``: the map (a Bokeh JSON item);
- ``compare?file=F&lap=ROW&ref_file=G&ref=ROW&color=C``: a lap against a reference (payload);
- ``traces?...&channels=A,B&low=M&high=M&px=N``: channels over a window of distance (payload);
- ``best?file=F&lap=ROW``: the fastest valid lap of the same track and car among the files
  and the datasets written by ``corvex export`` under the directory; a dataset's lap is then
  named ``dataset:FOLDER|SESSION_KEY|SESSION|NUM`` wherever a file is.
"""

from __future__ import annotations

import gzip
import json
import os
import sys
import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

from corvex.view.files import FileCatalog, FileRefused

__all__ = ["Response", "ViewApp", "ViewServer", "make_server"]

DEFAULT_PORT = 8765
# A lap of a dataset written by `corvex export` is named "dataset:FOLDER|KEY|SESSION|NUM".
DATASET = "dataset:"
# The most channels one traces request may name.
MAX_CHANNELS = 40


@dataclass
class Response:
    status: int
    content_type: str
    body: bytes
    headers: dict[str, str] = field(default_factory=dict)


def _json(value: Any, status: int = 200) -> Response:
    body = json.dumps(value, separators=(",", ":"), allow_nan=False).encode("utf-8")
    return Response(status, "application/json", body)


def _error(status: int, text: str) -> Response:
    return _json({"error": text}, status)


class ViewApp:
    """What the server answers, apart from HTTP: ``handle(path, params)`` -> :class:`Response`.

    ``target`` is the IBT file or directory served; ``units`` the unit system of the values
    shown ("metric", "imperial", "si").
    """

    def __init__(self, target: str | Path, units: str = "metric", salvage: bool = False) -> None:
        self.catalog = FileCatalog(target, _opener(salvage))
        self.first: str | None = None  # the first file that reads, shown first
        self.units = units
        self.verbose = False
        self._static: dict[str, tuple[bytes, bytes, str]] = {}
        # Bokeh builds a chart in tens of milliseconds: the map and each set of charts asked
        # for are built once.
        self._items: dict[Any, dict[str, Any]] = {}
        self._saved_laps: dict[str, Any] = {}
        self._lock = threading.Lock()
        self.routes: dict[str, Callable[[Mapping[str, str]], Response]] = {
            "files": self.files,
            "session": self.session,
            "layout": self.layout,
            "map_layout": self.map_layout,
            "compare": self.compare,
            "traces": self.traces,
            "best": self.best,
        }

    # -- routing --------------------------------------------------------------------------------

    def handle(self, path: str, params: Mapping[str, str], gzip_ok: bool = False) -> Response:
        """The response to GET ``path`` with the query ``params``."""
        if path in ("/", "/index.html"):
            return self.page()
        if path == "/favicon.ico":
            return Response(204, "image/x-icon", b"")
        if path.startswith("/static/"):
            return self.static(path[len("/static/") :], gzip_ok)
        if path.startswith("/api/"):
            route = self.routes.get(path[len("/api/") :])
            if route is None:
                return _error(404, f"no endpoint {path}")
            try:
                return route(params)
            except FileRefused as exc:
                return _error(403, str(exc))
            except FileNotFoundError as exc:
                return _error(404, f"{exc.filename or ''}: no such file".lstrip(": "))
            except (KeyError, ValueError, IndexError, OSError, RuntimeError) as exc:
                # Files are named as the page names them, relative to the directory.
                return _error(422, _reason(exc).replace(f"{self.catalog.root}{os.sep}", ""))
            except MemoryError:
                return _error(507, "not enough memory to read this file")
            except Exception as exc:  # noqa: BLE001 - the viewer keeps running whatever a file does
                return _error(500, f"{type(exc).__name__}: {exc}")
        return _error(404, f"nothing at {path}")

    # -- the page and its files -----------------------------------------------------------------

    def page(self) -> Response:
        from corvex.view.page import page_html

        names = self.catalog.names()
        first = self.first if self.first in names else (names[0] if names else None)
        boot: dict[str, Any] = {"mode": "server", "files": names, "file": first}
        if first is not None and first == self.first:
            # What the first view asks for first, in the page: one round trip less each.
            try:
                session = json.loads(self.session({"file": first}).body)
                channels = ",".join(session["default_channels"])
                boot["preload"] = {
                    "session": session,
                    "map_layout": json.loads(self.map_layout({}).body),
                    "layout": json.loads(self.layout({"file": first, "channels": channels}).body),
                }
            except (OSError, RuntimeError, ValueError, KeyError, IndexError, MemoryError):
                pass  # the page asks again, and shows what went wrong
        text = page_html("corvex view", boot, bokeh="static/bokeh.min.js", inline=False)
        return Response(200, "text/html; charset=utf-8", text.encode("utf-8"))

    def static(self, name: str, gzip_ok: bool) -> Response:
        kinds = {
            "view.js": "text/javascript; charset=utf-8",
            "view.css": "text/css; charset=utf-8",
            "bokeh.min.js": "text/javascript; charset=utf-8",
        }
        if name not in kinds:
            return _error(404, f"no static file {name!r}")
        with self._lock:
            if name not in self._static:
                from corvex.view.page import bokeh_script, static_text

                text = bokeh_script() if name == "bokeh.min.js" else static_text(name)
                raw = text.encode("utf-8")
                self._static[name] = (raw, gzip.compress(raw, 6, mtime=0), kinds[name])
            raw, packed, kind = self._static[name]
        headers = {"Cache-Control": "max-age=3600"}
        if gzip_ok:
            headers["Content-Encoding"] = "gzip"
            return Response(200, kind, packed, headers)
        return Response(200, kind, raw, headers)

    # -- data -----------------------------------------------------------------------------------

    def files(self, params: Mapping[str, str]) -> Response:
        return _json({"files": self.catalog.names(), "label": self.catalog.label})

    def session(self, params: Mapping[str, str]) -> Response:
        from corvex.view.data import DEFAULT_CHANNELS, channel_list, session_view

        name = _param(params, "file")
        if name.startswith(DATASET):
            return _json(self._saved_view(name))
        log = self.catalog.open(name)
        view = session_view(log, name)
        view["channels"] = channel_list(log, self._high_rate(name))
        view["default_channels"] = [n for n in DEFAULT_CHANNELS if n in log.channels]
        return _json(view)

    def layout(self, params: Mapping[str, str]) -> Response:
        name = _param(params, "file")
        log = self.catalog.open(name)
        high = set(self._high_rate(name))
        shown = []
        for channel in _names(params):
            if channel in log.channels:
                meta = log.channels[channel].schema.field(1).metadata or {}
                shown.append({"name": channel, "stepped": meta.get(b"interpolate") != b"True"})
            elif channel in high:
                shown.append({"name": channel, "stepped": False})
            else:
                raise KeyError(f"{name} has no channel {channel!r}")
        key = tuple((c["name"], c["stepped"]) for c in shown)
        with self._lock:
            item = self._items.get(key)
        if item is None:
            from corvex.view.page import chart_item

            item = chart_item(shown)
            with self._lock:
                self._items[key] = item
        return _json({"item": item, "channels": shown})

    def map_layout(self, params: Mapping[str, str]) -> Response:
        with self._lock:
            item = self._items.get("map")
        if item is None:
            from corvex.view.page import map_item

            item = map_item()
            with self._lock:
                self._items["map"] = item
        return _json(item)

    def compare(self, params: Mapping[str, str]) -> Response:
        from corvex.view.data import comparison
        from corvex.view.payload import encode

        lap, ref, files = self._pair(params)
        header, arrays = comparison(lap, ref, params.get("color") or "Speed", files)
        return Response(200, "application/octet-stream", encode(header, arrays))

    def traces(self, params: Mapping[str, str]) -> Response:
        from corvex.view.data import traces
        from corvex.view.payload import encode

        lap, ref, _ = self._pair(params)
        names = _names(params)
        if len(names) > MAX_CHANNELS:
            raise ValueError(f"at most {MAX_CHANNELS} channels a request, not {len(names)}")
        low = _float(params, "low", float(lap.distance[0]))
        high = _float(params, "high", float(lap.distance[-1]))
        px = int(_float(params, "px", 1200))
        header, arrays = traces(lap, ref, names, low, high, px)
        return Response(200, "application/octet-stream", encode(header, arrays))

    def best(self, params: Mapping[str, str]) -> Response:
        """The fastest valid lap of the same layout and car as ``file`` among all the files
        (the lap ``lap`` of ``file`` itself left out) and the datasets under the directory."""
        from corvex.laps import fastest_row

        name = _param(params, "file")
        mine = self._layout_and_car(name)[:2] + self._layout_and_car(name)[4:]
        skip_row = int(_float(params, "lap", -1))
        best: tuple[float, str, int] | None = self._best_saved(name)
        for other in self.catalog.names():
            try:
                facts = self._layout_and_car(other)
                if facts[:2] + facts[4:] != mine:
                    continue
                summary = self.catalog.open(other).lap_summary
            except (OSError, RuntimeError, ValueError, MemoryError):
                continue  # a file that does not read is no reference
            valid = summary.column("valid").to_pylist()
            if other == name and 0 <= skip_row < len(valid):
                valid[skip_row] = False
                summary = summary.set_column(summary.column_names.index("valid"), "valid", [valid])
            row = fastest_row(summary)
            if row is None:
                continue
            seconds = summary.column("lap_time")[row].as_py()
            if best is None or seconds < best[0]:
                best = (seconds, other, row)
        if best is None:
            raise ValueError(
                "no valid lap of this track and car in the folder (other than the lap shown)"
            )
        label = best[1]
        if label.startswith(DATASET):
            folder = _saved_parts(label)[0]
            label = "dataset " + ("(this folder)" if folder == "." else folder)
        return _json({"file": best[1], "row": best[2], "lap_time": best[0], "label": label})

    # -- helpers --------------------------------------------------------------------------------

    def _pair(self, params: Mapping[str, str]) -> tuple[Any, Any, tuple[str, str]]:
        from corvex.view.data import placed_lap

        name = _param(params, "file")
        ref_name = params.get("ref_file") or name
        lap = placed_lap(self.catalog.open(name), int(_float(params, "lap")), self.units)
        if ref_name.startswith(DATASET):
            return lap, self._saved(ref_name), (name, ref_name)
        ref = placed_lap(self.catalog.open(ref_name), int(_float(params, "ref")), self.units)
        return lap, ref, (name, ref_name)

    # -- laps of datasets ---------------------------------------------------------------------

    def _best_saved(self, name: str) -> tuple[float, str, int] | None:
        """The fastest valid lap of the same track layout and car as ``file`` in the datasets
        under the directory: (lap time, its name as the page names it, 0)."""
        import pyarrow as pa
        import pyarrow.compute as pc

        import corvex

        track_id, config, track, car_path, car_name = self._layout_and_car(name)
        car = car_name or car_path
        if track is None:
            return None
        best: tuple[float, str, int] | None = None
        for folder in self.catalog.datasets():
            path = self.catalog.dataset(folder)
            try:
                sessions = corvex.open_dataset(path, "sessions").to_table()
                laps = corvex.open_dataset(path, "laps").to_table()
            except (OSError, ValueError, KeyError, pa.ArrowInvalid):
                continue  # a dataset that does not read is no reference
            # A recording that names no car matches the sessions that name none.
            same_car = (
                pc.is_null(sessions["car"]) if car is None else pc.equal(sessions["car"], car)
            )
            same = pc.and_(pc.equal(sessions["track"], track), same_car)
            if track_id is not None and "track_id" in sessions.column_names:
                # The same layout where the session names one (a session an older corvex
                # wrote does not: its track's name stands for it).
                ids, configs = sessions["track_id"], sessions["track_config"]
                same_config = pc.is_null(configs) if config is None else pc.equal(configs, config)
                layout = pc.and_(pc.equal(ids, track_id), pc.fill_null(same_config, False))
                same = pc.and_(same, pc.or_(pc.is_null(ids), pc.fill_null(layout, False)))
            keys = sessions.filter(same).column("session_key")
            laps = laps.filter(pc.is_in(laps["session_key"], value_set=keys.combine_chunks()))
            # The laps that count, by the dataset's own verdict (a directory of the first
            # layout has none until an export upgrades it: it offers no lap).
            if "valid" not in laps.column_names:
                continue
            laps = laps.filter(pc.fill_null(laps["valid"], False))
            laps = laps.filter(pc.is_valid(laps["lap_time"]))
            if not laps.num_rows:
                continue
            row = pc.index(laps["lap_time"], pc.min(laps["lap_time"])).as_py()
            lap = laps.slice(row, 1).to_pylist()[0]
            ref = DATASET + "|".join(
                [folder, lap["session_key"], str(lap["session"]), str(lap["num"])]
            )
            if best is None or lap["lap_time"] < best[0]:
                best = (lap["lap_time"], ref, 0)
        return best

    def _saved(self, ref: str) -> Any:
        """The dataset lap ``dataset:FOLDER|KEY|SESSION|NUM``, read once and kept."""
        with self._lock:
            found = self._saved_laps.get(ref)
        if found is not None:
            return found
        import pyarrow.compute as pc

        import corvex
        from corvex.formatting import format_lap_time
        from corvex.view.data import saved_lap

        folder, key, session, num = _saved_parts(ref)
        path = self.catalog.dataset(folder)
        laps = corvex.open_dataset(path, "laps").to_table()
        mine = laps.filter(
            pc.and_(
                pc.and_(pc.equal(laps["session_key"], key), pc.equal(laps["session"], session)),
                pc.equal(laps["num"], num),
            )
        )
        if not mine.num_rows:
            raise KeyError(f"no lap {num} of session {key} in the dataset {folder}")
        lap_time = mine.column("lap_time")[0].as_py()
        field = pc.field
        rows = corvex.open_dataset(path).to_table(
            filter=(field("session_key") == key)
            & (field("lap_session") == session)
            & (field("lap_num") == num)
        )
        rows = rows.sort_by("timecodes")
        keep = [
            c
            for c in rows.column_names
            if c not in ("session_key", "lap_num", "lap_session", "track", "car")
            and rows.column(c).null_count < rows.num_rows
        ]
        label = f"{folder} lap {num} ({format_lap_time(lap_time)})"
        found = saved_lap(rows.select(keep), label, lap_time, num, self.units)
        with self._lock:
            self._saved_laps[ref] = found
        return found

    def _saved_view(self, ref: str) -> dict[str, Any]:
        """The session view of a dataset lap: that one lap."""
        from corvex.formatting import format_lap_time

        lap = self._saved(ref)
        return {
            "file": ref,
            "laps": [
                {
                    "row": 0,
                    "num": lap.num,
                    "session": 0,
                    "type": "full",
                    "status": "timed",
                    "time": lap.lap_time,
                    "time_text": format_lap_time(lap.lap_time),
                    "valid": True,
                    "sectors": [],
                    "fastest": True,
                    "stint": None,
                }
            ],
            "one_record_rows": 0,
            "lap": 0,
            "reference": 0,
            "channels": [],
            "default_channels": [],
        }

    def _high_rate(self, name: str) -> list[str]:
        def compute(path: Path) -> list[str]:
            from corvex import _corvex_rs

            variables = _corvex_rs.probe(str(path), salvage=True)["variables"]
            return [v["name"] for v in variables if v["count"] > 1 and v["name"].endswith("_ST")]

        return list(self.catalog.facts(name, "high rate", compute))

    def _layout_and_car(self, name: str) -> tuple[Any, ...]:
        def compute(path: Path) -> tuple[Any, ...]:
            from corvex import _corvex_rs
            from corvex.session_info import decode_session_info, parse_session_info, player_entry
            from corvex.track import layout_key

            raw = _corvex_rs.probe(str(path), salvage=True)["session_info_bytes"]
            info = parse_session_info(decode_session_info(raw))
            player = player_entry(info)
            return (*layout_key(info), player.get("CarPath"), player.get("CarScreenName"))

        return tuple(self.catalog.facts(name, "layout and car", compute))

    def warm(self, tries: int = 5) -> None:
        """Find the first file that reads (of the first ``tries``) and read what its first
        view needs, so that the page opens at once and on a file it can show."""
        from corvex.view.data import placed_lap

        for name in self.catalog.names()[:tries]:
            try:
                view = json.loads(self.session({"file": name}).body)
            except (OSError, RuntimeError, ValueError, KeyError, IndexError, MemoryError):
                continue  # the page shows the error when it asks for this file
            self.first = name
            try:
                log = self.catalog.open(name)
                for row in {view["lap"], view["reference"]} - {None}:
                    placed_lap(log, row, self.units)
                if view["lap"] is not None:
                    pair = {"file": name, "lap": str(view["lap"]), "ref": str(view["reference"])}
                    self.compare(pair)
            except (OSError, RuntimeError, ValueError, KeyError, IndexError, MemoryError):
                pass
            self.page()  # builds the charts of the first view
            return


def _opener(salvage: bool) -> Callable[[Path], Any]:
    def read(path: Path) -> Any:
        import corvex

        return corvex.open(path, salvage=salvage)

    return read


def _saved_parts(ref: str) -> tuple[str, str, int, int]:
    parts = ref[len(DATASET) :].split("|")
    try:
        folder, key, session, num = parts
        return folder, key, int(session), int(num)
    except ValueError:
        raise ValueError(f"{ref!r} names no lap of a dataset") from None


def _reason(exc: BaseException) -> str:
    """One line saying what went wrong, with the notes :func:`corvex.open` adds to a file that
    fails (what it really is), naming the options of the command line that started the viewer
    (``--salvage``) rather than Python calls."""
    from corvex.diagnose import for_command_line

    text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
    notes = "; ".join(for_command_line(str(n)) for n in getattr(exc, "__notes__", ()))
    return " ".join(f"{text}; {notes}".split()).strip("; ") or type(exc).__name__


def _param(params: Mapping[str, str], key: str) -> str:
    value = params.get(key)
    if not value:
        raise ValueError(f"the request names no {key}")
    return value


def _float(params: Mapping[str, str], key: str, default: float | None = None) -> float:
    import math

    value = params.get(key)
    if value is None or value == "":
        if default is None:
            raise ValueError(f"the request names no {key}")
        return default
    try:
        number = float(value)
    except ValueError:
        raise ValueError(f"{key}={value!r} is not a number") from None
    if not math.isfinite(number):
        raise ValueError(f"{key}={value!r} is not a finite number")
    return number


def _names(params: Mapping[str, str]) -> list[str]:
    return [n for n in (params.get("channels") or "").split(",") if n]


# -- HTTP -----------------------------------------------------------------------------------------


class ViewServer(ThreadingHTTPServer):
    """A threading HTTP server answering with a :class:`ViewApp`."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address: tuple[str, int], app: ViewApp) -> None:
        self.app = app
        super().__init__(address, _Handler)

    def _host_port(self) -> tuple[str, int]:
        host, port = self.server_address[:2]
        return (host.decode() if isinstance(host, bytes) else str(host)), int(port)

    @property
    def url(self) -> str:
        host, port = self._host_port()
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/"

    def allowed_hosts(self) -> set[str]:
        """The Host headers of requests to this server (by address, or as localhost)."""
        host, port = self._host_port()
        names = {host, f"[{host}]", "localhost", "127.0.0.1", "[::1]"}
        return {f"{n}:{port}" for n in names}


class _Handler(BaseHTTPRequestHandler):
    server: ViewServer
    protocol_version = "HTTP/1.1"
    server_version = "corvex-view"

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def _refuse_method(self) -> None:
        self._send(Response(405, "text/plain", b"the viewer only reads\n", {"Allow": "GET, HEAD"}))

    do_POST = do_PUT = do_DELETE = do_PATCH = _refuse_method

    def _answer(self, send_body: bool) -> None:
        host = self.headers.get("Host", "")
        if host not in self.server.allowed_hosts():
            self._send(_error(403, f"host {host!r} is not this viewer's address"), send_body)
            return
        parts = urlsplit(self.path)
        params = {k: v[-1] for k, v in parse_qs(parts.query, keep_blank_values=True).items()}
        gzip_ok = "gzip" in self.headers.get("Accept-Encoding", "")
        response = self.server.app.handle(parts.path, params, gzip_ok)
        self._send(response, send_body)

    def _send(self, response: Response, send_body: bool = True) -> None:
        self.send_response(response.status)
        self.send_header("Content-Type", response.content_type)
        self.send_header("Content-Length", str(len(response.body)))
        self.send_header("X-Content-Type-Options", "nosniff")
        if "Cache-Control" not in response.headers:
            self.send_header("Cache-Control", "no-store")
        for key, value in response.headers.items():
            self.send_header(key, value)
        self.end_headers()
        if send_body:
            try:
                self.wfile.write(response.body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the page went away

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.app.verbose:
            sys.stderr.write(f"corvex view: {format % args}\n")


def make_server(app: ViewApp, host: str = "127.0.0.1", port: int | None = None) -> ViewServer:
    """The server of ``app`` bound to ``host``:``port``; without a port the default one, or
    any free port when that one is taken. ``OSError`` when the port asked for is taken."""
    if port is not None:
        return ViewServer((host, port), app)
    try:
        return ViewServer((host, DEFAULT_PORT), app)
    except OSError:
        return ViewServer((host, 0), app)
