"""Shared test set-up. On the sanitizer build the kernel module is loaded from the path
given in VANTREL_KERNEL_MODULE (an AddressSanitizer/UBSan build of the same sources)
instead of the installed one."""
import importlib.util
import os
import sys

_path = os.environ.get("VANTREL_KERNEL_MODULE")
if _path and "vantrel_master.python_server.kernel" not in sys.modules:
    import vantrel_master.python_server

    _name = "vantrel_master.python_server.kernel"
    _spec = importlib.util.spec_from_file_location(_name, _path)
    _module = importlib.util.module_from_spec(_spec)
    sys.modules[_name] = _module
    _spec.loader.exec_module(_module)
    vantrel_master.python_server.kernel = _module
