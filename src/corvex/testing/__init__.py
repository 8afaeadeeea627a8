"""Test tooling: synthetic sessions written with the project's own writer."""
