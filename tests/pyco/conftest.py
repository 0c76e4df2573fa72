"""The support library's tests run against the test-only module; on the sanitizer
build that module is loaded from the path given in PYCO_TEST_MODULE."""
import importlib.util
import os
import sys

_path = os.environ.get("PYCO_TEST_MODULE")
if _path:
    import vantrel_master

    _spec = importlib.util.spec_from_file_location("vantrel_master._pyco_test", _path)
    _module = importlib.util.module_from_spec(_spec)
    sys.modules["vantrel_master._pyco_test"] = _module
    _spec.loader.exec_module(_module)
    vantrel_master._pyco_test = _module
