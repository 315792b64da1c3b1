"""Validation helpers shared by corvane trainers."""
