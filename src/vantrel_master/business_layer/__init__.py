"""Business Layer helpers used from Python."""
