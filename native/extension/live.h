// Live telemetry for Python (corvex.live, `corvex record`, `corvex replay`): a handle on live
// memory and its reads as record batches, the replay of a recording into live memory, and the
// lap table of recorded columns. Waits and replays run without the interpreter lock and end on
// Ctrl-C; errors are raised as the readings raise them.
#pragma once

#include "extension/pyref.h"

namespace corvex::py {

// live_open(path=None) -> handle
PyObject* live_open_call(PyObject* args, PyObject* kwargs);
// live_read(handle, count=1, timeout=None, latest=False) -> (RecordBatch, info) or None
PyObject* live_read_call(PyObject* args, PyObject* kwargs);
// live_status(handle) -> dict
PyObject* live_status_call(PyObject* args, PyObject* kwargs);
// live_replay(source, path=None, speed=1.0, first_tick=1, progress=None, lead_in=0.0) -> dict
PyObject* live_replay_call(PyObject* args, PyObject* kwargs);
// lap_table(timecodes, lap, on_pit_road=None, lap_dist_pct=None) -> Table
PyObject* lap_table_call(PyObject* args, PyObject* kwargs);

extern const char kLiveOpenDoc[];
extern const char kLiveReadDoc[];
extern const char kLiveStatusDoc[];
extern const char kLiveReplayDoc[];
extern const char kLapTableDoc[];

}  // namespace corvex::py
