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
        self.asked = []

    def get(self, key, default=None):
        self.asked.append(key)
        return self.values.get(key, default)


def public_index():
    return pip_settings._public_index()


def test_defaults_describe_one_public_index_with_its_json_api():
    simple_url, api_base = public_index()
    settings = get_pip_settings(None)
    assert settings == {"index_urls": [{"url": simple_url, "primary": True}], "use_secondary_urls": True}
    (entry,) = get_pip_api_list(None)
    assert entry["index_url"] == simple_url
    pattern = entry["api_pattern"]
    assert pattern.startswith(api_base) and pattern.endswith("/{package_name}/{version}/json")
    # the package client drops "/{version}" for version-less queries
    assert pattern.replace("/{version}", "").endswith("/{package_name}/json")


def test_pip_environment_variables_give_the_default_indexes(monkeypatch):
    monkeypatch.setenv("PIP_INDEX_URL", "http://127.0.0.1:9/simple")
    monkeypatch.setenv("PIP_EXTRA_INDEX_URL", "http://127.0.0.1:10/a http://127.0.0.1:11/b")
    assert get_pip_settings(None)["index_urls"] == [
        {"url": "http://127.0.0.1:9/simple", "primary": True},
        {"url": "http://127.0.0.1:10/a", "primary": False},
        {"url": "http://127.0.0.1:11/b", "primary": False},
    ]


def test_settings_manager_values_are_normalised():
    manager = SettingsManager(
        pip_index_urls=[
            "http://127.0.0.1:1/simple",
            {"url": " http://127.0.0.1:2/simple ", "primary": True, "name": "team"},
            {"url": "http://127.0.0.1:3/simple", "primary": True},
            {"primary": True},
            42,
        ],
        pip_use_secondary_urls="false",
    )
    settings = get_pip_settings(manager)
    assert settings["index_urls"] == [
        {"url": "http://127.0.0.1:1/simple", "primary": False},
        {"url": "http://127.0.0.1:2/simple", "primary": True, "name": "team"},
        {"url": "http://127.0.0.1:3/simple", "primary": False},
    ]
    assert settings["use_secondary_urls"] is False
    assert {"pip_index_urls", "pip_use_secondary_urls"} <= set(manager.asked)


def test_first_index_becomes_primary_when_none_is_marked():
    settings = get_pip_settings({"pip_index_urls": [{"url": "http://127.0.0.1:1/a"}, "http://127.0.0.1:1/b"]})
    assert [entry["primary"] for entry in settings["index_urls"]] == [True, False]
    assert get_pip_settings({"pip_index_urls": []})["index_urls"] == []


def test_configured_api_patterns_come_first_and_bad_ones_are_skipped():
    configured = [
        {"index_url": "http://127.0.0.1:5/simple", "api_pattern": "http://127.0.0.1:5/api/{package_name}/{version}"},
        {"index_url": public_index()[0], "api_pattern": None},
        {"api_pattern": "http://127.0.0.1:6/{package_name}"},
        {"index_url": "http://127.0.0.1:8", "api_pattern": 8},
        "junk",
    ]
    api_list = get_pip_api_list({"pip_api_list": configured})
    assert api_list[:3] == [
        {"index_url": "http://127.0.0.1:5/simple", "api_pattern": "http://127.0.0.1:5/api/{package_name}/{version}"},
        {"index_url": public_index()[0], "api_pattern": None},
        {"index_url": "", "api_pattern": "http://127.0.0.1:6/{package_name}"},
    ]
    assert len(api_list) == 4 and api_list[3]["index_url"] == public_index()[0]
    assert get_pip_api_list({"pip_api_list": "not a list"}) == get_pip_api_list(None)


def test_without_pip_there_is_no_default_index(monkeypatch):
    monkeypatch.setattr(pip_settings, "_public_index", lambda: None)
    assert get_pip_settings(None)["index_urls"] == []
    assert get_pip_api_list(None) == []
    monkeypatch.setenv("PIP_EXTRA_INDEX_URL", "http://127.0.0.1:1/x")
    assert get_pip_settings(None)["index_urls"] == [{"url": "http://127.0.0.1:1/x", "primary": True}]
