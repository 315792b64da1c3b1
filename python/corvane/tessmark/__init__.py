"""Tessmark detection: losses, callbacks and the compiled trainer."""
