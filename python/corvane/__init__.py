"""corvane: detection training."""
