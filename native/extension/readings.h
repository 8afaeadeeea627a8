// The readings beside ibt: a recording read with salvage, a file's array variables, and a live
// telemetry snapshot. Each takes its source as ibt does (the same acquisition and error mapping)
// and hands its tables over the same way; the module boundary wraps them.
#pragma once

#include "extension/pyref.h"

namespace corvex::py {

// ibt_salvage(source, progress=None) -> (LogFile, report or None)
PyObject* ibt_salvage_call(PyObject* args, PyObject* kwargs);
// read_arrays(source, *, salvage=False) -> {name: table}
PyObject* read_arrays_call(PyObject* args, PyObject* kwargs);
// snapshot(source) -> (LogFile, {name: table}, buffer table)
PyObject* snapshot_call(PyObject* args, PyObject* kwargs);

extern const char kIbtSalvageDoc[];
extern const char kReadArraysDoc[];
extern const char kSnapshotDoc[];

}  // namespace corvex::py
