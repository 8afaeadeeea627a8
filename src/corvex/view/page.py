"""The charts (Bokeh models, sent to the page as JSON) and the page around them.

The page is one HTML document with the viewer's own script and style (``static/view.js``,
``static/view.css``) and BokehJS from the Bokeh package itself: served by the viewer from the
installed package, or written into the report, never fetched from the network. The charts are
built here once per set of channels, empty; the script fills them with the payloads of
:mod:`corvex.view.data` and keeps them in step:

- one distance axis (``x_range``) for the time slip and every channel chart, so a zoom
  anywhere zooms all of them;
- one cursor (the ``cursor`` source, a vertical span drawn in every chart), moved by the mouse
  over any chart, with each chart's values at the cursor in its corner (``readout:NAME``);
- the map: the track, the lap's path coloured by a channel, both cars at the cursor
  (``lap_pos``, ``ref_pos``) and the corners numbered.
"""

from __future__ import annotations

import html
import json
from collections.abc import Mapping, Sequence
from importlib import resources
from typing import Any

__all__ = ["LAP_COLOR", "REF_COLOR", "bokeh_script", "chart_item", "map_item", "page_html"]

LAP_COLOR = "#d62728"
REF_COLOR = "#1f77b4"
CHART_HEIGHT = 150
SLIP_HEIGHT = 180
MAP_SIZE = 460
_TOOLS = "xpan,xbox_zoom,xwheel_zoom,reset"


def _notify(code: str) -> Any:
    from bokeh.models import CustomJS

    return CustomJS(code=f"if (window.corvexView) {{ window.corvexView.{code}; }}")


def chart_item(channels: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """The time slip and one chart per channel (``name``, ``stepped``), sharing one distance
    axis and one cursor, as a Bokeh JSON item."""
    from bokeh import events
    from bokeh.embed import json_item
    from bokeh.layouts import column
    from bokeh.models import ColumnDataSource, Range1d
    from bokeh.models.annotations import Label, LabelSet
    from bokeh.plotting import figure

    x_range = Range1d(start=0.0, end=1.0, name="x_range")
    cursor = ColumnDataSource({"x": []}, name="cursor")
    sectors = ColumnDataSource({"x": []}, name="sectors")
    corners = ColumnDataSource({"x": [], "text": []}, name="corner_marks")
    moved = _notify("cursor(cb_obj.x)")
    zoomed = _notify("zoomed()")
    x_range.js_on_change("start", zoomed)
    x_range.js_on_change("end", zoomed)

    def chart(height: int, label: str, name: str) -> Any:
        fig = figure(
            height=height,
            sizing_mode="stretch_width",
            x_range=x_range,
            tools=_TOOLS,
            active_drag="xbox_zoom",
            toolbar_location=None,
            name=f"chart:{name}",
            min_border_left=70,
            min_border_right=16,
        )
        fig.yaxis.axis_label = label
        fig.yaxis.name = f"yaxis:{name}"
        fig.xaxis.visible = False
        fig.vspan(x="x", source=sectors, line_color="#888888", line_dash="dashed", line_width=1)
        fig.vspan(x="x", source=cursor, line_color="#222222", line_width=1)
        fig.add_layout(
            Label(
                x=6,
                y=height - 46,
                x_units="screen",
                y_units="screen",
                text="",
                name=f"readout:{name}",
                text_font_size="12px",
                background_fill_color="white",
                background_fill_alpha=0.8,
            )
        )
        fig.js_on_event(events.MouseMove, moved)
        fig.js_on_event(events.Tap, moved)
        return fig

    slip = chart(SLIP_HEIGHT, "Time slip [s]", "delta")
    behind = ColumnDataSource({"x": [], "y1": [], "y2": []}, name="delta_behind")
    ahead = ColumnDataSource({"x": [], "y1": [], "y2": []}, name="delta_ahead")
    slip.varea(x="x", y1="y1", y2="y2", source=behind, fill_color=LAP_COLOR, fill_alpha=0.3)
    slip.varea(x="x", y1="y1", y2="y2", source=ahead, fill_color="#2ca02c", fill_alpha=0.3)
    slip.line(
        x="x", y="y", source=ColumnDataSource({"x": [], "y": []}, name="delta"), color="black"
    )
    slip.add_layout(
        LabelSet(
            x="x",
            y=SLIP_HEIGHT - 24,
            y_units="screen",
            text="text",
            source=corners,
            text_font_size="11px",
            text_font_style="bold",
            text_color="#555555",
            text_align="center",
        )
    )
    figures = [slip]
    for shown in channels:
        name = str(shown["name"])
        fig = chart(CHART_HEIGHT, name, name)
        for side, color in (("ref", REF_COLOR), ("lap", LAP_COLOR)):
            source = ColumnDataSource({"x": [], "y": []}, name=f"{side}:{name}")
            if shown.get("stepped"):
                fig.step(x="x", y="y", source=source, mode="after", color=color, line_width=1.5)
            else:
                fig.line(x="x", y="y", source=source, color=color, line_width=1.5)
        figures.append(fig)
    figures[-1].xaxis.visible = True
    figures[-1].xaxis.axis_label = "Distance from the line [m]"
    figures[-1].height += 40
    return dict(json_item(column(figures, sizing_mode="stretch_width", name="charts")))


def map_item() -> dict[str, Any]:
    """The track map as a Bokeh JSON item: the track, the lap's path coloured through the
    ``color_mapper``, both cars' places at the cursor and the corner numbers."""
    from bokeh.embed import json_item
    from bokeh.models import ColumnDataSource, LinearColorMapper
    from bokeh.models.annotations import ColorBar
    from bokeh.palettes import Turbo256
    from bokeh.plotting import figure

    fig = figure(
        width=MAP_SIZE,
        height=MAP_SIZE,
        match_aspect=True,
        tools="pan,wheel_zoom,reset",
        toolbar_location="below",
        name="map",
        min_border=4,
    )
    fig.axis.visible = False
    fig.grid.visible = False
    fig.outline_line_color = None
    mapper = LinearColorMapper(palette=Turbo256, low=0.0, high=1.0, name="color_mapper")
    track = ColumnDataSource({"x": [], "y": []}, name="track")
    fig.line(x="x", y="y", source=track, line_width=10, color="#dddddd", line_join="round")
    fig.scatter(
        x="x",
        y="y",
        source=ColumnDataSource({"x": [], "y": [], "c": []}, name="lap_path"),
        size=3,
        line_color=None,
        fill_color={"field": "c", "transform": mapper},
    )
    fig.text(
        x="x",
        y="y",
        text="text",
        source=ColumnDataSource({"x": [], "y": [], "text": []}, name="corner_labels"),
        text_align="center",
        text_baseline="middle",
        text_font_size="12px",
        text_font_style="bold",
        text_color="#333333",
    )
    # The reference a ring around the lap's dot, so that both show where the cars are level.
    fig.scatter(
        x="x",
        y="y",
        source=ColumnDataSource({"x": [], "y": []}, name="ref_pos"),
        size=22,
        fill_color=None,
        line_color=REF_COLOR,
        line_width=4,
    )
    fig.scatter(
        x="x",
        y="y",
        source=ColumnDataSource({"x": [], "y": []}, name="lap_pos"),
        size=12,
        fill_color=LAP_COLOR,
        line_color="white",
        line_width=2,
    )
    bar = ColorBar(color_mapper=mapper, name="colorbar", title="", width=10, location=(0, 0))
    fig.add_layout(bar, "right")
    return dict(json_item(fig))


def bokeh_script() -> str:
    """BokehJS as the installed Bokeh package ships it (its core bundle only)."""
    from bokeh.resources import Resources

    return "\n".join(Resources(mode="inline", components=["bokeh"]).js_raw)


def static_text(name: str) -> str:
    """A file of the viewer's own (``view.js``, ``view.css``)."""
    return resources.files("corvex.view").joinpath("static", name).read_text(encoding="utf-8")


def page_html(title: str, boot: Mapping[str, Any], *, bokeh: str, inline: bool) -> str:
    """The page: ``boot`` (JSON-ready) tells the script what to show; ``bokeh`` is the URL of
    BokehJS, or with ``inline`` its text, written into the page with the viewer's script and
    style (a report that needs nothing else)."""
    boot_text = json.dumps(boot, separators=(",", ":"), allow_nan=False)
    # Inside <script> only "</" could end the element early.
    boot_text = boot_text.replace("</", "<\\/")
    if inline:
        scripts = (
            f"<style>{static_text('view.css')}</style>\n"
            f"<script>{_script_safe(bokeh)}</script>\n"
            f'<script type="application/json" id="corvex-boot">{boot_text}</script>\n'
            f"<script>{_script_safe(static_text('view.js'))}</script>"
        )
    else:
        scripts = (
            '<link rel="stylesheet" href="static/view.css">\n'
            f'<script src="{html.escape(bokeh)}"></script>\n'
            f'<script type="application/json" id="corvex-boot">{boot_text}</script>\n'
            '<script src="static/view.js" defer></script>'
        )
    return _PAGE.format(title=html.escape(title), scripts=scripts)


def _script_safe(text: str) -> str:
    return text.replace("</script", "<\\/script")


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
{scripts}
</head>
<body>
<header class="top">
  <h1>{title}</h1>
  <div id="facts" class="facts"></div>
</header>
<div id="error" class="error" hidden role="alert">
  <button type="button" id="error-close" aria-label="Dismiss">&times;</button>
  <span id="error-text"></span>
</div>
<section class="glance">
  <div class="laps-box"><table id="laps" class="laps"></table></div>
  <div id="sectors-box" class="sectors-box"></div>
</section>
<section class="controls" id="controls">
  <label class="file-pick">File <select id="file"></select></label>
  <label>Lap <select id="lap"></select></label>
  <label>Reference <select id="ref-file"></select></label>
  <select id="ref" aria-label="Reference lap"></select>
  <label>Map colour <select id="color"></select></label>
  <span class="adder"><input id="channel-search" list="channel-names"
    placeholder="Add a channel&hellip;" autocomplete="off" size="22">
    <datalist id="channel-names"></datalist></span>
  <button type="button" id="whole-lap">Whole lap</button>
  <span id="busy" class="busy" hidden>loading&hellip;</span>
</section>
<div id="chips" class="chips"></div>
<div id="summary" class="summary"></div>
<main class="compare">
  <div id="charts" class="charts"></div>
  <aside class="side">
    <div id="map" class="map"></div>
    <div id="notes" class="notes"></div>
    <table id="zones" class="zones"></table>
  </aside>
</main>
</body>
</html>
"""
