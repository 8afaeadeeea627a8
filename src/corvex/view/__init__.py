"""Telemetry in the browser: ``corvex view`` (a local web application) and ``corvex report``
(one HTML file that opens anywhere, offline).

Both draw the same page: the session at a glance, a lap against a reference on distance (the
time slip and the channels picked, one cursor and one zoom for all), the track map with both
cars at the cursor, and the corner table. The modules, from the data up:

- :mod:`corvex.view.decimate`: thinning a trace to what the pixels of a chart can show;
- :mod:`corvex.view.payload`: the compact binary payload the page reads its arrays from;
- :mod:`corvex.view.files`: the files a viewer may serve, and the recordings it keeps open;
- :mod:`corvex.view.data`: what each view shows, computed from a recording;
- :mod:`corvex.view.page`: the charts (Bokeh) and the page around them;
- :mod:`corvex.view.server`: the local HTTP server and its read-only endpoints;
- :mod:`corvex.view.report`: the self-contained HTML report.

Bokeh (the ``view`` extra) draws the charts; its JavaScript comes from its own package, so
nothing is fetched from the network. This package imports nothing here, so that importing one
of its modules never loads the others.
"""
