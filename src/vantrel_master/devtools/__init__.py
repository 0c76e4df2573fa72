"""Development tools: a stand-in Business Layer that kernels connect to, with an
in-memory workbook answering their Excel requests (:mod:`.business_layer`); a kernel
process entry (:mod:`.launcher`); and an interactive console that runs both and a
prompt (:mod:`.console`, ``python -m vantrel_master.devtools.console``)."""
