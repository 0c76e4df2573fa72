"""What importing the module sets up, the class's interface as Python sees it, and the
import with optional dependencies missing or broken (in fresh interpreters)."""
import importlib.metadata
import inspect
import json
import logging
import os
import subprocess
import sys
import textwrap
from typing import Dict, Optional

import aiohttp
import packaging.specifiers
import packaging.version
import pytest
import unearth

import vantrel_master
from vantrel_master import logging_config
from vantrel_master.business_layer.packages import pip_settings

from .conftest import NAME

SRC = os.path.dirname(os.path.dirname(vantrel_master.__file__))

INTERFACE = {
    "__init__": ("(self, settings_manager)", False),
    "_get_session": ("(self)", True),
    "close": ("(self)", True),
    "_normalize_name": ("(self, name: str) -> str", False),
    "_get_current_distributions": ("(self) -> Dict[str, importlib.metadata.Distribution]", False),
    "clear_distributions_cache": ("(self)", False),
    "check_specifier_in_dist": ("(self, package_name: str, version_spec: str, extras: Optional[List[str]] = None)"
                                " -> Optional[str]", False),
    "_get_pip_settings": ("(self) -> Dict[str, Any]", False),
    "_get_pip_api_list": ("(self) -> List[Dict[str, str]]", False),
    "_normalize_url": ("(self, url: str) -> str", False),
    "_get_api_pattern_for_index": ("(self, index_url: str) -> Optional[str]", False),
    "find_repo_for_package": ("(self, package_name: str) -> Optional[str]", True),
    "find_repo_for_package_version": ("(self, package_name: str, version: str) -> Optional[str]", True),
    "_package_exists_in_index": ("(self, package_name: str, index_url: str) -> bool", True),
    "_package_version_exists_in_index": ("(self, package_name: str, version: str, index_url: str) -> bool", True),
    "_package_version_exists_via_unearth": ("(self, package_name: str, version: str, index_url: str) -> bool", False),
    "get_versions": ("(self, package_name: str, index_url: Optional[str] = None) -> List[str]", True),
    "_get_versions_from_index": ("(self, package_name: str, index_url: str) -> List[str]", True),
    "_get_versions_via_unearth": ("(self, package_name: str, index_url: str) -> List[str]", False),
    "get_extras": ("(self, package_name: str, version: str, index_url: Optional[str] = None) -> List[str]", True),
    "_get_extras_from_index": ("(self, package_name: str, version: str, index_url: str) -> Set[str]", True),
    "_get_extras_via_unearth": ("(self, package_name: str, version: str, index_url: str) -> Set[str]", False),
    "get_dependencies": ("(self, package_name: str, version: str, index_url: Optional[str] = None)"
                         " -> List[Dict[str, Any]]", True),
    "_get_dependencies_from_index": ("(self, package_name: str, version: str, index_url: str)"
                                     " -> List[Dict[str, Any]]", True),
    "_get_dependencies_via_unearth": ("(self, package_name: str, version: str, index_url: str)"
                                      " -> List[Dict[str, Any]]", False),
    "_parse_requirement": ("(self, req: str) -> Optional[Dict[str, Any]]", False),
    "get_package_info": ("(self, package_name: str) -> Dict[str, str]", True),
    "_get_package_info_from_index": ("(self, package_name: str, index_url: str) -> Dict[str, str]", True),
}


def test_module_names_in_import_order(caskwell):
    order = ["asyncio", "re", "sys", "importlib", "aiohttp", "PackageFinder", "UNEARTH_AVAILABLE", "SpecifierSet",
             "Version", "PACKAGING_AVAILABLE", "get_logger", "get_pip_settings", "get_pip_api_list", "logger",
             "_dummy_metadata", "_dummy_dist", "Caskwell"]
    names = list(vars(caskwell))
    assert sorted(order, key=names.index) == order
    assert caskwell.aiohttp is aiohttp and caskwell.PackageFinder is unearth.PackageFinder
    assert caskwell.SpecifierSet is packaging.specifiers.SpecifierSet and caskwell.Version is packaging.version.Version
    assert caskwell.UNEARTH_AVAILABLE is True and caskwell.PACKAGING_AVAILABLE is True
    assert caskwell.importlib.metadata is importlib.metadata
    assert caskwell.get_logger is logging_config.get_logger and caskwell.logger is logging.getLogger(NAME)
    assert caskwell.get_pip_settings is pip_settings.get_pip_settings
    assert caskwell.get_pip_api_list is pip_settings.get_pip_api_list


def test_placeholder_classes(caskwell):
    assert caskwell._dummy_metadata.__bases__ == (dict,)
    assert caskwell._dummy_dist.__annotations__ == {"metadata": Dict[str, str]}
    dist = caskwell._dummy_dist("zlib", "3.11.7")
    assert type(dist.metadata) is caskwell._dummy_metadata and vars(dist) == {"metadata": dist.metadata}
    assert dist.metadata == {"Name": "zlib", "Version": "3.11.7"} and dist.metadata.get("Summary") is None
    first = dist.metadata.get_all("Requires-Dist", "extra", failobj=1)
    assert first == [] and dist.metadata.get_all() is not first


def test_class_interface_as_python_sees_it(caskwell):
    cls = caskwell.Caskwell
    assert cls.__bases__ == (object,) and cls.__module__ == NAME
    methods = {n: f for n, f in vars(cls).items() if callable(f)}
    assert list(methods) == list(INTERFACE)
    for name, (signature, is_coroutine) in INTERFACE.items():
        f = methods[name]
        text = str(inspect.signature(f)).replace("typing.", "")
        assert text == signature, name
        assert inspect.iscoroutinefunction(f) is is_coroutine, name
        assert (f.__name__, f.__qualname__, f.__module__) == (name, f"Caskwell.{name}", NAME)
    assert inspect.signature(cls.get_versions).parameters["index_url"].annotation == Optional[str]
    c = cls("manager")
    assert vars(c) == {"settings_manager": "manager", "_session": None, "_metadata_cache": {},
                       "_distributions_cache": None}
    assert list(vars(c)) == ["settings_manager", "_session", "_metadata_cache", "_distributions_cache"]


@pytest.mark.parametrize("call, message", [
    (lambda c: c.get_versions(b"pkg"), "Argument 'package_name' has incorrect type (expected str, got bytes)"),
    (lambda c: c.get_extras("pkg", None), "Argument 'version' has incorrect type (expected str, got NoneType)"),
    (lambda c: c.get_dependencies("pkg", "1", 5), "Argument 'index_url' has incorrect type (expected str, got int)"),
    (lambda c: c._normalize_url(type("S", (str,), {})("x")), "Argument 'url' has incorrect type (expected str, got S)"),
    (lambda c: c.check_specifier_in_dist("a", "", ("x",)), "Argument 'extras' has incorrect type (expected list, got tuple)"),
])
def test_argument_types_are_checked_before_any_work(caskwell, call, message):
    c = caskwell.Caskwell(None)
    with pytest.raises(TypeError) as raised:
        call(c)
    assert str(raised.value) == message
    assert c._session is None


def run_fresh(code, tmp_path, files=()):
    """Imports the module in a fresh interpreter after `code`; returns (rc, report, stderr)."""
    for name, text in files:
        (tmp_path / name).write_text(text)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), SRC])}
    env.pop("VANTREL_CASKWELL_MODULE", None)
    script = textwrap.dedent(code) + textwrap.dedent("""
        import json, sys
        import vantrel_master.business_layer.packages.caskwell as c
        print(json.dumps({n: repr(getattr(c, n)) for n in
              ("aiohttp", "PackageFinder", "UNEARTH_AVAILABLE", "SpecifierSet", "Version", "PACKAGING_AVAILABLE")}))
        client = c.Caskwell(None)
        print(json.dumps([client.check_specifier_in_dist("pip", ""), c.__package__]))
    """)
    proc = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True, text=True, env=env,
                          cwd=str(tmp_path), timeout=60)
    lines = proc.stdout.splitlines()
    return proc.returncode, [json.loads(line) for line in lines], proc.stderr


def test_fresh_imports_with_missing_and_broken_dependencies(tmp_path):
    code, (flags, (pip, package)), err = run_fresh("", tmp_path)
    assert code == 0, err
    assert flags["UNEARTH_AVAILABLE"] == "True" and flags["aiohttp"].startswith("<module 'aiohttp'")
    assert pip is not None and package == "vantrel_master.business_layer.packages"

    code, (flags, (pip, _)), err = run_fresh("""
        import sys
        for name in ("aiohttp", "unearth", "packaging.specifiers"):
            sys.modules[name] = None
    """, tmp_path)
    assert code == 0, err
    assert flags == {"aiohttp": "None", "PackageFinder": "None", "UNEARTH_AVAILABLE": "False", "SpecifierSet": "None",
                     "Version": "None", "PACKAGING_AVAILABLE": "False"}
    assert pip is None  # nothing is satisfied without packaging

    # Only ImportError is survived: anything else raised by an optional import fails it.
    code, _, err = run_fresh("", tmp_path, [("unearth.py", "raise RuntimeError('broken unearth')\n")])
    assert code != 0 and "RuntimeError: broken unearth" in err
