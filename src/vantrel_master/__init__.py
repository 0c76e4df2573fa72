"""Python side of the Vantrel spreadsheet add-in."""
