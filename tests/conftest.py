"""Shared test set-up. On the sanitizer build the kernel module is loaded from the path
given in VANTREL_KERNEL_MODULE (an AddressSanitizer/UBSan build of the same sources)
instead of the installed one."""
import importlib.util
import itertools
import linecache
import os
import sys
import uuid

import pytest

_path = os.environ.get("VANTREL_KERNEL_MODULE")
if _path and "vantrel_master.python_server.kernel" not in sys.modules:
    import vantrel_master.python_server

    _name = "vantrel_master.python_server.kernel"
    _spec = importlib.util.spec_from_file_location(_name, _path)
    _module = importlib.util.module_from_spec(_spec)
    sys.modules[_name] = _module
    _spec.loader.exec_module(_module)
    vantrel_master.python_server.kernel = _module


_names = itertools.count()


def unique(prefix):
    """A name never used before in this process."""
    return f"{prefix}_{uuid.uuid4().hex[:8]}_{next(_names)}"


@pytest.fixture
def scratch(tmp_path):
    """A fresh, empty directory of the test's own (removed by pytest in due course)."""
    return tmp_path


@pytest.fixture(scope="session")
def scratch_root(tmp_path_factory):
    """The directory every `scratch` directory lies under."""
    return str(tmp_path_factory.getbasetemp())


@pytest.fixture
def module_name():
    """Factory of never-used workbook module names; every name handed out is removed
    afterwards from the loader's cache, sys.modules and linecache (directly, not through
    the loader under test)."""
    from vantrel_master.python_server import kernel

    names = []

    def make(prefix="wbmod"):
        name = unique(prefix)
        names.append(name)
        return name

    yield make
    for name in names:
        kernel.in_memory_loader.source_cache.pop(name, None)
        sys.modules.pop(name, None)
        linecache.cache.pop(f"<virtual:{name}>", None)
