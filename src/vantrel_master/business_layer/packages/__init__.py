"""Package management helpers."""
