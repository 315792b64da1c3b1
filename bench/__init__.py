"""Benchmarks and the interpreted twin of the compiled trainer."""
