// corvex view: the page's script. It asks the viewer (or, in a report, the data written into
// the page) for a session, a lap against a reference and the channels picked, fills the Bokeh
// charts with them and keeps every chart and the map on one cursor and one zoom.
(function () {
  "use strict";

  const boot = JSON.parse(document.getElementById("corvex-boot").textContent);
  const report = boot.mode === "report";
  const $ = (id) => document.getElementById(id);
  const state = {
    file: boot.file,
    session: null,
    lap: null, // {file, row}
    ref: null,
    channels: [],
    color: "Speed",
    charts: null, // the Bokeh document of the distance charts
    map: null, // the Bokeh document of the map
    compare: null, // {header, arrays} of the lap against the reference
    traces: {}, // name -> {lap_x, lap_y, ref_x, ref_y, label}
    cursor: null,
    pending: 0,
    tracesSeq: 0,
    compareSeq: 0,
    zoomTimer: null,
    ready: false,
  };

  // -- talking to the viewer ------------------------------------------------------------------

  function query(params) {
    const q = new URLSearchParams();
    for (const [k, v] of Object.entries(params)) {
      if (v !== null && v !== undefined) q.set(k, String(v));
    }
    return q.toString();
  }

  function decode(buffer) {
    const view = new DataView(buffer);
    const size = view.getUint32(0, true);
    const header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, size)));
    const arrays = {};
    for (const [name, offset, length] of header.arrays) {
      arrays[name] = new Float32Array(buffer, 4 + size + offset, length);
    }
    return { header, arrays };
  }

  function fromBase64(text) {
    const raw = atob(text);
    const bytes = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return bytes.buffer;
  }

  async function busy(promise) {
    state.pending += 1;
    $("busy").hidden = false;
    try {
      return await promise;
    } finally {
      state.pending -= 1;
      $("busy").hidden = state.pending === 0;
    }
  }

  async function failure(response) {
    let text = response.status + " " + response.statusText;
    try {
      const body = await response.json();
      if (body && body.error) text = body.error;
    } catch (e) {
      /* not JSON */
    }
    return new Error(text);
  }

  async function getJSON(path, params) {
    if (report) {
      if (path === "session" && params.file !== boot.file) return boot.report.ref_session;
      return boot.report[path];
    }
    // The first view's answers come with the page; taken once each.
    const preload = boot.preload || {};
    if (preload[path] && (!params || !params.file || params.file === boot.file)) {
      const found = preload[path];
      if (path !== "map_layout" && path !== "session") delete preload[path];
      if (path !== "layout" || found.channels.map((c) => c.name).join(",") === params.channels) return found;
    }
    const response = await busy(fetch("api/" + path + "?" + query(params)));
    if (!response.ok) throw await failure(response);
    return response.json();
  }

  async function getPayload(path, params) {
    if (report) return decode(fromBase64(boot.report[path]));
    const response = await busy(fetch("api/" + path + "?" + query(params)));
    if (!response.ok) throw await failure(response);
    return decode(await response.arrayBuffer());
  }

  function showError(error) {
    $("error-text").textContent = String(error && error.message ? error.message : error);
    $("error").hidden = false;
  }

  function clearError() {
    $("error").hidden = true;
  }

  // -- Bokeh models ---------------------------------------------------------------------------

  function model(doc, name) {
    return doc ? doc.get_model_by_name(name) : null;
  }

  async function embed(item, target) {
    const element = $(target);
    element.innerHTML = "";
    const before = Bokeh.documents.length;
    performance.mark("embed " + target);
    await Bokeh.embed.embed_item(item, target);
    performance.mark("embedded " + target);
    return Bokeh.documents[Bokeh.documents.length - 1] || Bokeh.documents[before];
  }

  function setData(doc, name, data) {
    const source = model(doc, name);
    if (source) source.data = data;
  }

  // -- formatting -----------------------------------------------------------------------------

  function lapTime(seconds) {
    if (seconds === null || seconds === undefined) return "–";
    const sign = seconds < 0 ? "-" : "";
    let ms = Math.round(Math.abs(seconds) * 1000);
    const minutes = Math.floor(ms / 60000);
    ms -= minutes * 60000;
    const s = (ms / 1000).toFixed(3).padStart(6, "0");
    return sign + minutes + ":" + s;
  }

  function signed(value, digits) {
    if (value === null || value === undefined || !isFinite(value)) return "–";
    return (value > 0 ? "+" : value < 0 ? "−" : "±") + Math.abs(value).toFixed(digits);
  }

  function number(value, digits) {
    if (value === null || value === undefined || !isFinite(value)) return "–";
    return Number(value).toFixed(digits);
  }

  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === "class") node.className = v;
      else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
      else node.setAttribute(k, v);
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  // -- the session at a glance ----------------------------------------------------------------

  function lapOption(lap) {
    let text = "Lap " + lap.num + " — " + lap.time_text;
    if (lap.fastest) text += " ★";
    if (!lap.valid) text += " (" + lap.status + ")";
    return text;
  }

  function renderSession(session) {
    const facts = $("facts");
    facts.innerHTML = "";
    const items = [
      ["Track", session.track],
      ["Car", session.car],
      ["Driver", session.driver],
      ["Session", session.sessions.join(", ")],
      ["Duration", session.duration],
      ["File", session.file],
    ];
    for (const [k, v] of items) {
      if (v) facts.append(el("span", { class: "fact" }, el("b", {}, k + " "), v));
    }
    const table = $("laps");
    table.innerHTML = "";
    const sectors = session.best_sectors.length;
    const head = el("tr", {}, el("th", {}, "Lap"), el("th", {}, "Time"), el("th", { class: "status" }, "Status"));
    for (let k = 0; k < sectors; k++) head.append(el("th", {}, "S" + (k + 1)));
    head.append(el("th", {}, "Stint"), el("th", {}, ""));
    table.append(el("thead", {}, head));
    const body = el("tbody");
    for (const lap of session.laps) {
      const row = el(
        "tr",
        {
          class: (lap.fastest ? "fastest " : "") + (lap.valid ? "" : "invalid"),
          "data-row": lap.row,
          title: "Click to show this lap",
          onclick: () => pickLap({ file: state.file, row: lap.row }),
        },
        el("td", {}, lap.num + (lap.session ? " (s" + lap.session + ")" : "")),
        el("td", {}, lap.time_text + (lap.fastest ? " ★" : "")),
        el("td", { class: "status" }, lap.status),
      );
      lap.sectors.forEach((time, k) => {
        const best = session.best_sectors[k];
        const isBest = lap.valid && time !== null && best !== null && time === best;
        row.append(el("td", { class: isBest ? "best" : "" }, time === null ? "–" : time.toFixed(3)));
      });
      row.append(el("td", {}, lap.stint === null ? "–" : lap.stint));
      const refButton = el(
        "button",
        {
          type: "button",
          class: "as-ref",
          title: "Use this lap as the reference",
          onclick: (event) => {
            event.stopPropagation();
            pickRef({ file: state.file, row: lap.row });
          },
        },
        "ref",
      );
      row.append(el("td", {}, report ? "" : refButton));
      body.append(row);
    }
    table.append(body);
    const box = $("sectors-box");
    box.innerHTML = "";
    const skipped = session.one_record_rows || 0;
    if (skipped) {
      const rows = skipped === 1 ? "1 row" : skipped + " rows";
      box.append(el("div", {}, "(" + rows + " of one record not listed: no lap of its own)"));
    }
    if (session.theoretical_best !== null) {
      box.append(
        el("div", {}, el("b", {}, "Best sectors "), session.best_sectors.map((t) => number(t, 3)).join(" · ")),
        el("div", {}, el("b", {}, "Theoretical best "), lapTime(session.theoretical_best)),
      );
    }
    const lapSelect = $("lap");
    lapSelect.innerHTML = "";
    for (const lap of session.laps) lapSelect.append(el("option", { value: lap.row }, lapOption(lap)));
  }

  function markRows() {
    for (const row of $("laps").querySelectorAll("tbody tr")) {
      const r = Number(row.dataset.row);
      row.classList.toggle("is-lap", state.lap && state.lap.file === state.file && state.lap.row === r);
      row.classList.toggle("is-ref", state.ref && state.ref.file === state.file && state.ref.row === r);
    }
  }

  async function fillRefLaps(file) {
    const select = $("ref");
    select.innerHTML = "";
    const session = file === state.file ? state.session : await getJSON("session", { file });
    for (const lap of session.laps) select.append(el("option", { value: lap.row }, lapOption(lap)));
    return session;
  }

  function fillFiles() {
    const files = boot.files || [state.file];
    const select = $("file");
    select.innerHTML = "";
    for (const f of files) select.append(el("option", { value: f }, f));
    select.value = state.file;
    select.disabled = report || files.length < 2;
    const refFile = $("ref-file");
    refFile.innerHTML = "";
    refFile.append(el("option", { value: "" }, "this file"));
    for (const f of files) if (f !== state.file) refFile.append(el("option", { value: f }, f));
    if (!report) refFile.append(el("option", { value: "*best" }, "best lap of this track and car in the folder"));
  }

  // -- the charts -----------------------------------------------------------------------------

  async function buildCharts() {
    const layout = await getJSON("layout", { file: state.file, channels: state.channels.join(",") });
    state.charts = await embed(layout.item, "charts");
    state.traces = {};
    renderChips();
    applyCompare();
  }

  function renderChips() {
    const chips = $("chips");
    chips.innerHTML = "";
    for (const name of state.channels) {
      const chip = el("span", { class: "chip" }, name);
      if (!report) {
        chip.append(
          el(
            "button",
            {
              type: "button",
              title: "Remove " + name,
              onclick: () => {
                state.channels = state.channels.filter((n) => n !== name);
                buildCharts().then(() => loadTraces()).catch(showError);
              },
            },
            "×",
          ),
        );
      }
      chips.append(chip);
    }
  }

  function xRange() {
    return model(state.charts, "x_range");
  }

  function chartPixels() {
    const width = $("charts").clientWidth - 90;
    return Math.max(200, Math.min(4000, Math.round(width * (window.devicePixelRatio || 1))));
  }

  function pairParams() {
    return {
      file: state.lap.file,
      lap: state.lap.row,
      ref_file: state.ref.file,
      ref: state.ref.row,
    };
  }

  // The comparison, and with `whole` the whole lap's traces asked for at the same time.
  function fetchPair(whole) {
    const compare = getPayload("compare", Object.assign({ color: state.color }, pairParams()));
    return Promise.all([compare, whole ? fetchTraces(null, null) : null]);
  }

  // Draws a comparison fetched by fetchPair: the slip, the map, the corner table, the traces.
  async function showPair(fetched, keepZoom) {
    const seq = ++state.compareSeq;
    const tracesSeq = ++state.tracesSeq;
    const [payload, traces] = await fetched;
    if (seq !== state.compareSeq) return;
    state.compare = payload;
    const range = xRange();
    if (range && !keepZoom) setRange(payload.header.extent);
    applyCompare();
    renderSummary();
    renderZones();
    if (traces && tracesSeq === state.tracesSeq) applyTraces(traces);
    else await loadTraces();
  }

  async function loadCompare(keepZoom) {
    if (!state.lap || !state.ref) return;
    await showPair(fetchPair(!keepZoom), keepZoom);
  }

  // Moves the shared range without asking for the window's traces (they come whole).
  function setRange(extent) {
    const range = xRange();
    if (!range) return;
    state.settingRange = true;
    try {
      range.setv({ start: extent[0], end: extent[1] });
    } finally {
      state.settingRange = false;
    }
  }

  function applyCompare() {
    const payload = state.compare;
    if (!payload || !state.charts) return;
    const h = payload.header;
    const a = payload.arrays;
    const dx = a.delta_x;
    const dy = a.delta_y;
    const zeros = new Float32Array(dx.length);
    const behind = dy.map((v) => (v > 0 ? v : 0));
    const ahead = dy.map((v) => (v < 0 ? v : 0));
    setData(state.charts, "delta", { x: dx, y: dy });
    setData(state.charts, "delta_behind", { x: dx, y1: zeros, y2: behind });
    setData(state.charts, "delta_ahead", { x: dx, y1: zeros, y2: ahead });
    setData(state.charts, "sectors", { x: h.sectors.slice(1) });
    setData(state.charts, "corner_marks", {
      x: h.corners.map((c) => c.apex),
      text: h.corners.map((c) => "T" + c.corner),
    });
    const range = xRange();
    if (range && range.start === 0 && range.end === 1) setRange(h.extent);
    if (state.map) {
      const tx = a.track_x ? Array.from(a.track_x) : [];
      const ty = a.track_y ? Array.from(a.track_y) : [];
      if (tx.length) {
        tx.push(tx[0]);
        ty.push(ty[0]);
      }
      setData(state.map, "track", { x: tx, y: ty });
      setData(state.map, "lap_path", {
        x: a.lap_map_x || [],
        y: a.lap_map_y || [],
        c: a.lap_map_c && a.lap_map_c.length ? a.lap_map_c : new Float32Array((a.lap_map_x || []).length),
      });
      setData(state.map, "corner_labels", {
        x: h.corners.map((c) => c.x),
        y: h.corners.map((c) => c.y),
        text: h.corners.map((c) => String(c.corner)),
      });
      const mapper = model(state.map, "color_mapper");
      if (mapper && h.color && h.color.low !== null) {
        const high = h.color.high > h.color.low ? h.color.high : h.color.low + 1;
        mapper.setv({ low: h.color.low, high: high });
      }
      const bar = model(state.map, "colorbar");
      if (bar) bar.title = h.color ? h.color.label : "";
    }
    $("notes").textContent = h.notes.join(" · ");
    if (state.cursor !== null) cursor(state.cursor);
  }

  function renderSummary() {
    const h = state.compare.header;
    const box = $("summary");
    box.innerHTML = "";
    // A lap of another file is named with its file; a dataset's lap names its folder itself.
    const other = (side) => side.file !== state.file && !side.file.startsWith("dataset:");
    const name = (side) => (other(side) ? side.file + " " : "") + side.label;
    box.append(
      el("span", { class: "swatch lap" }),
      el("span", {}, name(h.lap) + (h.lap.valid ? "" : " (not valid)")),
      el("span", { class: "vs" }, "against"),
      el("span", { class: "swatch ref" }),
      el("span", {}, name(h.reference) + (h.reference.valid ? "" : " (not valid)")),
      el("span", { class: "gap " + (h.gap > 0 ? "slower" : "faster") }, h.gap_text),
    );
  }

  function renderZones() {
    const table = $("zones");
    table.innerHTML = "";
    const zones = state.compare.header.zones;
    if (!zones.length) return;
    const unit = state.compare.header.speed_unit || "";
    table.append(
      el(
        "thead",
        {},
        el(
          "tr",
          {},
          el("th", {}, "Zone"),
          el("th", {}, "Gain/loss"),
          el("th", {}, "Brake [m]"),
          el("th", {}, "Min speed [" + unit + "]"),
        ),
      ),
    );
    const body = el("tbody");
    for (const zone of zones) {
      // Within half a millisecond a zone is level: neither red nor green.
      const level = zone.delta === null || Math.abs(zone.delta) < 0.0005;
      const lost = !level && zone.delta > 0;
      body.append(
        el(
          "tr",
          {
            class: zone.kind + (level ? "" : lost ? " lost" : " gained"),
            title: "Click to zoom every chart to " + zone.name,
            onclick: () => zoomTo(zone),
          },
          el("td", {}, zone.name),
          el("td", { class: "num" }, level && zone.delta !== null ? "0.000" : signed(zone.delta, 3)),
          el("td", { class: "num" }, zone.kind === "corner" ? number(zone.braking_point, 0) + " / " + number(zone.reference_braking_point, 0) : ""),
          el("td", { class: "num" }, zone.kind === "corner" ? number(zone.min_speed, 1) + " / " + number(zone.reference_min_speed, 1) : ""),
        ),
      );
    }
    table.append(body);
  }

  function zoomTo(zone) {
    const range = xRange();
    if (!range) return;
    const pad = Math.max(30, 0.15 * (zone.end - zone.start));
    range.setv({ start: zone.start - pad, end: zone.end + pad });
    const apex = zone.kind === "corner" && state.compare
      ? (state.compare.header.corners.find((c) => c.corner === zone.corner) || {}).apex
      : undefined;
    cursor(apex !== undefined ? apex : (zone.start + zone.end) / 2);
  }

  // The picked channels of both laps over [low, high] m (null: the whole lap), thinned by the
  // viewer to the charts' width, a few channels a request.
  function fetchTraces(low, high) {
    if (report) return Promise.all([getPayload("traces", {})]);
    const batches = [];
    for (let i = 0; i < state.channels.length; i += 3) batches.push(state.channels.slice(i, i + 3));
    const base = Object.assign({ low: low, high: high, px: chartPixels() }, pairParams());
    return Promise.all(
      batches.map((names) => getPayload("traces", Object.assign({ channels: names.join(",") }, base))),
    );
  }

  function applyTraces(results) {
    state.window = results.length ? results[0].header.window : null;
    for (const { header, arrays } of results) {
      for (const ch of header.channels) {
        const t = {
          lap_x: arrays[ch.name + "|lap_x"],
          lap_y: arrays[ch.name + "|lap_y"],
          ref_x: arrays[ch.name + "|ref_x"],
          ref_y: arrays[ch.name + "|ref_y"],
          label: ch.label,
        };
        state.traces[ch.name] = t;
        setData(state.charts, "lap:" + ch.name, { x: t.lap_x, y: t.lap_y });
        setData(state.charts, "ref:" + ch.name, { x: t.ref_x, y: t.ref_y });
        const axis = model(state.charts, "yaxis:" + ch.name);
        if (axis) axis.axis_label = ch.label;
      }
    }
    state.ready = true;
    performance.mark("charts drawn");
    if (state.cursor !== null) cursor(state.cursor);
  }

  // The traces of the window shown, after a zoom or a change of channels.
  async function loadTraces() {
    if (!state.lap || !state.ref || !state.charts || !state.channels.length) return;
    const range = xRange();
    const seq = ++state.tracesSeq;
    const low = range ? range.start.toFixed(1) : null;
    const high = range ? range.end.toFixed(1) : null;
    const results = await fetchTraces(low, high);
    if (seq === state.tracesSeq) applyTraces(results);
  }

  function zoomed() {
    if (report || state.settingRange) return;
    clearTimeout(state.zoomTimer);
    state.zoomTimer = setTimeout(() => loadTraces().catch(showError), 120);
  }

  // -- the cursor -----------------------------------------------------------------------------

  // The value of a trace at x: the sample at or before it (what a stepped channel shows, and
  // within a pixel of a line's).
  function at(xs, ys, x) {
    if (!xs || xs.length === 0 || x < xs[0] || x > xs[xs.length - 1]) return null;
    let lo = 0;
    let hi = xs.length - 1;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (xs[mid] <= x) lo = mid;
      else hi = mid - 1;
    }
    return ys[lo];
  }

  function place(ds, xs, ys, x) {
    if (!ds || ds.length < 2 || x < ds[0] || x > ds[ds.length - 1]) return null;
    let lo = 0;
    let hi = ds.length - 1;
    while (hi - lo > 1) {
      const mid = (lo + hi) >> 1;
      if (ds[mid] <= x) lo = mid;
      else hi = mid;
    }
    const span = ds[hi] - ds[lo];
    const f = span > 0 ? (x - ds[lo]) / span : 0;
    return [xs[lo] + f * (xs[hi] - xs[lo]), ys[lo] + f * (ys[hi] - ys[lo])];
  }

  function readout(lapValue, refValue, digits) {
    const a = lapValue === null ? "–" : lapValue.toFixed(digits);
    const b = refValue === null ? "–" : refValue.toFixed(digits);
    return a + "  |  " + b;
  }

  function cursor(x) {
    if (x === null || x === undefined || !isFinite(x)) return;
    state.cursor = x;
    if (state.charts) {
      setData(state.charts, "cursor", { x: [x] });
      const payload = state.compare;
      if (payload) {
        const d = at(payload.arrays.delta_x, payload.arrays.delta_y, x);
        const label = model(state.charts, "readout:delta");
        if (label) label.text = Math.round(x) + " m   slip " + (d === null ? "–" : signed(d, 3) + " s");
      }
      for (const name of state.channels) {
        const t = state.traces[name];
        const label = model(state.charts, "readout:" + name);
        if (!t || !label) continue;
        const digits = /Gear/.test(name) ? 0 : 1;
        label.text = readout(at(t.lap_x, t.lap_y, x), at(t.ref_x, t.ref_y, x), digits);
      }
    }
    if (state.map && state.compare) {
      const a = state.compare.arrays;
      for (const side of ["lap", "ref"]) {
        const p = place(a[side + "_map_d"], a[side + "_map_x"], a[side + "_map_y"], x);
        setData(state.map, side + "_pos", p ? { x: [p[0]], y: [p[1]] } : { x: [], y: [] });
      }
    }
  }

  // -- choices --------------------------------------------------------------------------------

  async function pickLap(lap) {
    state.lap = lap;
    $("lap").value = String(lap.row);
    markRows();
    await loadCompare(false).catch(showError);
  }

  async function pickRef(ref) {
    state.ref = ref;
    $("ref-file").value = ref.file === state.file ? "" : ref.file;
    await fillRefLaps(ref.file).catch(showError);
    $("ref").value = String(ref.row);
    markRows();
    await loadCompare(false).catch(showError);
  }

  async function loadFile(file) {
    clearError();
    let session;
    try {
      session = await getJSON("session", { file });
    } catch (error) {
      $("file").value = state.file; // the file shown stays the one picked
      throw error;
    }
    state.file = file;
    state.session = session;
    renderSession(session);
    fillFiles();
    const names = new Set(session.channels.map((c) => c.name));
    if (!state.channels.length || !report) {
      const kept = state.channels.filter((n) => names.has(n));
      state.channels = kept.length ? kept : session.default_channels;
    }
    const list = $("channel-names");
    list.innerHTML = "";
    for (const c of session.channels) {
      list.append(el("option", { value: c.name }, c.name + (c.unit ? " [" + c.unit + "]" : "") + (c.desc ? " – " + c.desc : "")));
    }
    const color = $("color");
    color.innerHTML = "";
    for (const c of session.channels) if (c.rate === "tick") color.append(el("option", { value: c.name }, c.name));
    if (!names.has(state.color)) state.color = session.channels.length ? session.channels[0].name : "";
    color.value = state.color;
    state.compare = null;
    if (session.lap === null) {
      await buildCharts();
      showError("this recording has no laps to show");
      return;
    }
    state.lap = { file, row: report ? boot.lap.row : session.lap };
    state.ref = report ? { file: boot.reference.file, row: boot.reference.row } : { file, row: session.reference };
    // Asked for now, drawn once the charts are there.
    const fetched = fetchPair(true);
    await buildCharts();
    $("lap").value = String(state.lap.row);
    $("ref-file").value = state.ref.file === file ? "" : state.ref.file;
    await fillRefLaps(state.ref.file);
    $("ref").value = String(state.ref.row);
    markRows();
    await showPair(fetched, false);
  }

  function addChannel() {
    const input = $("channel-search");
    const name = input.value.trim();
    if (!name) return;
    const known = state.session.channels.map((c) => c.name);
    const match = known.find((n) => n === name) || known.find((n) => n.toLowerCase() === name.toLowerCase());
    if (!match) {
      showError("no channel " + JSON.stringify(name) + " in " + state.file + ": pick one from the list");
      return;
    }
    input.value = "";
    if (state.channels.includes(match)) return;
    state.channels.push(match);
    buildCharts().then(() => loadTraces()).catch(showError);
  }

  function wire() {
    $("error-close").addEventListener("click", clearError);
    $("file").addEventListener("change", (e) => loadFile(e.target.value).catch(showError));
    $("lap").addEventListener("change", (e) => pickLap({ file: state.file, row: Number(e.target.value) }));
    $("ref-file").addEventListener("change", async (e) => {
      const value = e.target.value;
      try {
        if (value === "*best") {
          const best = await getJSON("best", { file: state.file, lap: state.lap ? state.lap.row : null });
          if (!$("ref-file").querySelector('option[value="' + CSS.escape(best.file) + '"]') && best.file !== state.file) {
            $("ref-file").append(el("option", { value: best.file }, best.label || best.file));
          }
          await pickRef({ file: best.file, row: best.row });
          return;
        }
        const file = value || state.file;
        const session = await fillRefLaps(file);
        const row = session.reference !== null ? session.reference : 0;
        await pickRef({ file, row });
      } catch (error) {
        showError(error);
      }
    });
    $("ref").addEventListener("change", (e) =>
      pickRef({ file: $("ref-file").value || state.file, row: Number(e.target.value) }),
    );
    $("color").addEventListener("change", (e) => {
      state.color = e.target.value;
      loadCompare(true).catch(showError);
    });
    $("channel-search").addEventListener("keydown", (e) => {
      if (e.key === "Enter") addChannel();
    });
    $("channel-search").addEventListener("change", addChannel);
    $("whole-lap").addEventListener("click", () => {
      const range = xRange();
      if (range && state.compare) {
        const extent = state.compare.header.extent;
        range.setv({ start: extent[0], end: extent[1] });
      }
    });
    if (report) {
      // One comparison: the choices that would ask a viewer for another are left out.
      document.body.classList.add("report");
      for (const id of ["file", "lap", "ref-file", "ref", "color", "channel-search"]) $(id).disabled = true;
    }
  }

  async function start() {
    performance.mark("start");
    window.corvexView = api;
    wire();
    try {
      if (report) {
        state.channels = boot.channels;
        state.color = boot.color;
      }
      // The charts first, then the map.
      await loadFile(state.file);
      state.map = await embed(await getJSON("map_layout", {}), "map");
      applyCompare();
    } catch (error) {
      showError(error);
    }
  }

  // What the page's own code and its tests reach: the cursor, the zoom and what is shown.
  const api = {
    cursor,
    zoomed,
    zoomTo,
    state,
    pickLap,
    pickRef,
    model: (which, name) => model(which === "map" ? state.map : state.charts, name),
  };

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
