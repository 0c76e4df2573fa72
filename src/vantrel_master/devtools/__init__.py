"""Development tools: a stand-in Business Layer that kernels connect to, with an
in-memory workbook answering their Excel requests."""
