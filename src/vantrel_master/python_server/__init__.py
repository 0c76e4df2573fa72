"""The per-workbook kernel and its companion modules."""
