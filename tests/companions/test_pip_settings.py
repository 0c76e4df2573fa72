import sys

import pytest

from vantrel_master.business_layer.packages import pip_settings
from vantrel_master.business_layer.packages.pip_settings import get_pip_api_list, get_pip_settings


@pytest.fixture(autouse=True)
def no_pip_environment(monkeypatch):
    monkeypatch.delenv("PIP_INDEX_URL", raising=False)
    monkeypatch.delenv("PIP_EXTRA_INDEX_URL", raising=False)


class SettingsManager:
    def __init__(self, **values):
        self.values = values

    def get(self, key, default=None):
        return self.values.get(key, default)


def test_defaults_describe_one_public_index_with_its_json_api(monkeypatch):
    simple_url, api_base = pip_settings._public_index()
    assert get_pip_settings(None) == {"index_urls": [{"url": simple_url, "primary": True}],
                                      "use_secondary_urls": True}
    (entry,) = get_pip_api_list(None)
    assert entry["index_url"] == simple_url
    assert entry["api_pattern"] == api_base.rstrip("/") + "/{package_name}/{version}/json"
    # pip's own environment variables choose the default indexes
    monkeypatch.setenv("PIP_INDEX_URL", "http://127.0.0.1:9/simple")
    monkeypatch.setenv("PIP_EXTRA_INDEX_URL", "http://127.0.0.1:10/a")
    assert get_pip_settings(None)["index_urls"] == [{"url": "http://127.0.0.1:9/simple", "primary": True},
                                                    {"url": "http://127.0.0.1:10/a", "primary": False}]


def test_defaults_without_pip_are_the_same_public_index(monkeypatch):
    # Windows' embeddable CPython has no pip: the default index then comes from the
    # package client's finder, and it is the very index pip names
    with_pip = pip_settings._public_index()
    monkeypatch.setattr(pip_settings, "_public_index_cache", None)
    for name in [n for n in sys.modules if n == "pip" or n.startswith("pip.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "pip", None)  # import pip fails
    with pytest.raises(ImportError):
        from pip._internal.models.index import PyPI  # noqa: F401
    assert pip_settings._public_index() == with_pip
    assert get_pip_settings(None)["index_urls"] == [{"url": with_pip[0], "primary": True}]
    assert [e["api_pattern"] for e in get_pip_api_list(None)] == [with_pip[1] + "/{package_name}/{version}/json"]


def test_settings_manager_values_are_normalised():
    manager = SettingsManager(
        pip_index_urls=["http://127.0.0.1:1/simple",
                        {"url": " http://127.0.0.1:2/simple ", "primary": True, "name": "team"},
                        {"url": "http://127.0.0.1:3/simple", "primary": True},
                        {"primary": True}, 42],
        pip_use_secondary_urls="false",
    )
    assert get_pip_settings(manager) == {"index_urls": [
        {"url": "http://127.0.0.1:1/simple", "primary": False},
        {"url": "http://127.0.0.1:2/simple", "primary": True, "name": "team"},
        {"url": "http://127.0.0.1:3/simple", "primary": False},
    ], "use_secondary_urls": False}
    # without a marked primary the first index is the primary one
    unmarked = get_pip_settings({"pip_index_urls": [{"url": "http://127.0.0.1:1/a"}, "http://127.0.0.1:1/b"]})
    assert [entry["primary"] for entry in unmarked["index_urls"]] == [True, False]


def test_configured_api_patterns_come_before_the_default():
    public = pip_settings._public_index()[0]
    configured = [
        {"index_url": "http://127.0.0.1:5/simple", "api_pattern": "http://127.0.0.1:5/{package_name}/{version}"},
        {"index_url": public, "api_pattern": None},  # switches the JSON API off for that index
        {"index_url": "http://127.0.0.1:8", "api_pattern": 8},
        "junk",
    ]
    api_list = get_pip_api_list({"pip_api_list": configured})
    assert api_list[:2] == configured[:2]
    assert len(api_list) == 3 and api_list[2]["index_url"] == public


def test_without_pip_there_is_no_default_index(monkeypatch):
    monkeypatch.setattr(pip_settings, "_public_index", lambda: None)
    assert get_pip_settings(None)["index_urls"] == [] and get_pip_api_list(None) == []
