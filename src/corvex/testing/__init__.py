"""Tools for tests, demos and benchmarks: synthetic tracks and driven sessions."""
