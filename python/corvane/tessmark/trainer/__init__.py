"""Compiled trainers; ``detection`` holds ``DetectionTrainer``."""
