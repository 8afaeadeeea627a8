// The readings beside ibt: a recording read with salvage, a file's array variables, a live
// telemetry snapshot, the headers alone (probe) and the reading corvex.open makes (read). Each
// takes its source as ibt does (the same acquisition and error mapping) and hands its tables over
// the same way; the module boundary wraps them.
#pragma once

#include "extension/pyref.h"

namespace corvex::py {

// ibt_salvage(source, progress=None) -> (LogFile, report or None)
PyObject* ibt_salvage_call(PyObject* args, PyObject* kwargs);
// read_arrays(source, *, salvage=False) -> {name: table}
PyObject* read_arrays_call(PyObject* args, PyObject* kwargs);
// snapshot(source) -> (LogFile, {name: table}, buffer table)
PyObject* snapshot_call(PyObject* args, PyObject* kwargs);
// probe(source, *, salvage=False) -> dict (the headers only)
PyObject* probe_call(PyObject* args, PyObject* kwargs);
// read(source, progress=None, *, salvage=False, arrays=False, snapshot=False) -> (LogFile, dict)
PyObject* read_call(PyObject* args, PyObject* kwargs);

extern const char kIbtSalvageDoc[];
extern const char kReadArraysDoc[];
extern const char kSnapshotDoc[];
extern const char kProbeDoc[];
extern const char kReadDoc[];

}  // namespace corvex::py
