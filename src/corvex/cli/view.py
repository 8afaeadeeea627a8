"""`corvex view FILE|DIR [--port N] [--no-browser]`: the interactive viewer in the browser.

A local web application on 127.0.0.1 (this computer only): the session at a glance, a lap
against a reference on distance with the picked channels on one cursor and one zoom, the track
map with both cars at the cursor, and the corner table. It serves FILE, or the IBT files under
DIR, and nothing else; Ctrl-C stops it.
"""

from __future__ import annotations

import argparse
import signal
import threading
from typing import Any

from corvex.cli._common import PROG, CliError, add_command, add_salvage_option, add_units_option


def cmd_view(args: argparse.Namespace) -> None:
    require_bokeh("view")
    from corvex.view.server import ViewApp, make_server

    try:
        app = ViewApp(args.target, args.units, args.salvage)
    except (FileNotFoundError, ValueError) as exc:
        raise CliError(str(exc)) from None
    app.verbose = args.verbose
    names = app.catalog.names()
    if not names:
        raise CliError(f"{args.target}: no IBT file (*.ibt) to show")
    print(f"{PROG} view: reading {names[0]} ...", flush=True)
    app.warm()
    try:
        server = make_server(app, "127.0.0.1", args.port)
    except OSError as exc:
        raise CliError(f"cannot listen on port {args.port}: {exc.strerror or exc}") from None
    shown = f"{len(names)} files" if len(names) > 1 else names[0]
    print(
        f"{PROG} view: serving {shown} at {server.url} (on 127.0.0.1: this computer only); "
        "Ctrl-C stops",
        flush=True,
    )
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        if not args.no_browser:
            threading.Thread(target=_open_browser, args=(server.url,), daemon=True).start()
        server.serve_forever(poll_interval=0.25)
    except KeyboardInterrupt:
        print(f"\n{PROG} view: stopped", flush=True)
    finally:
        signal.signal(signal.SIGTERM, previous)
        server.server_close()


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def _open_browser(url: str) -> None:
    import webbrowser

    try:
        webbrowser.open(url)
    except Exception:  # noqa: BLE001 - no browser: the address is printed
        pass


def require_bokeh(command: str) -> None:
    """A one-line error saying how to get Bokeh, when it is not installed."""
    try:
        import bokeh  # noqa: F401
    except ImportError:
        raise CliError(
            f"corvex {command} needs Bokeh, which is not installed: pip install 'corvex[view]'"
        ) from None


def register(sub: Any) -> None:
    """Add the `view` command to the subparsers `sub`."""
    parser = add_command(
        sub,
        "view",
        cmd_view,
        summary="an interactive viewer in the browser",
        description="Show FILE, or the IBT files under DIR, in the browser: the session at a "
        "glance, a lap against a reference on distance (time slip and channels on one cursor "
        "and zoom), the track map and the corner table. Serves on 127.0.0.1 (this computer "
        "only), opens the browser, and stops on Ctrl-C. Needs Bokeh (pip install "
        "'corvex[view]').",
    )
    parser.add_argument("target", metavar="FILE|DIR", help="IBT file, or a folder of them")
    parser.add_argument(
        "--port",
        type=int,
        metavar="N",
        help="port to listen on (default 8765, or a free one when that is taken)",
    )
    parser.add_argument(
        "--no-browser", action="store_true", help="do not open a browser; print the address"
    )
    parser.add_argument("--verbose", action="store_true", help="print each request")
    add_units_option(parser)
    add_salvage_option(parser)
