"""The multi-index search order and the per-index API request of every query, against
JSON API documents served on 127.0.0.1, with the requests actually made recorded."""
import asyncio
import json
import types

import aiohttp
import pytest

from .conftest import ask


def api(server, index, name, version=None):
    return server.url(f"{index}/pypi/{name}/{version}/json" if version else f"{index}/pypi/{name}/json")


def test_versions_walk_primary_then_secondaries_in_order(server, settings, client, log):
    server.doc("/a/pypi/pkg/json", {}, status=404)
    server.doc("/b/pypi/pkg/json", {}, status=500)
    server.doc("/c/pypi/pkg/json", {"releases": {"2.0": [], "1.0.0": [], "10.0": [], "1.0rc1": [],
                                                  "not a version": [], "1.0": []}})
    server.doc("/d/pypi/pkg/json", {"releases": {"9.9": []}})
    c = client(settings(("/b", False, True), ("/a", True, True), ("/c", False, True), ("/d", False, True)))
    assert ask(c, c.get_versions("pkg")) == ["10.0", "2.0", "1.0.0", "1.0", "1.0rc1"]
    # Primary first, then the secondaries in configured order, stopping at the first hit.
    assert server.requests == ["/a/pypi/pkg/json", "/b/pypi/pkg/json", "/c/pypi/pkg/json"]
    a, b, c_url = (server.url(p) + "/simple/" for p in ("/a", "/b", "/c"))
    assert log() == [
        ("INFO", "Querying primary index for pkg versions"),
        ("DEBUG", f"Package pkg not found at {a}"),
        ("INFO", "No results in primary, trying 3 secondary indexes"),
        ("INFO", f"Querying secondary index: {b}"),
        ("ERROR", f"API returned status 500 for {api(server, '/b', 'pkg')}"),
        ("INFO", f"Querying secondary index: {c_url}"),
        ("DEBUG", "Found 5 versions via API for pkg"),
        ("INFO", "Found 5 versions in secondary index"),
    ]


def test_versions_without_secondaries_and_without_packaging(server, settings, client, caskwell, log, monkeypatch):
    server.doc("/b/pypi/pkg/json", {"releases": {"2.0": [], "10.0": [], "1.0rc1": [], "x y": []}})
    c = client(settings(("/a", True, True), ("/b", False, True), use_secondary=False))
    assert ask(c, c.get_versions("pkg")) == []
    assert server.requests == ["/a/pypi/pkg/json"]
    assert log()[-1] == ("WARNING", "No versions found for pkg in any index")
    # An explicit index is asked alone; without packaging the keys sort as plain strings.
    monkeypatch.setattr(caskwell, "PACKAGING_AVAILABLE", False)
    assert ask(c, c.get_versions("pkg", server.url("/b/simple"))) == ["x y", "2.0", "10.0", "1.0rc1"]
    assert ask(c, c.get_versions("pkg", "")) == []  # empty means "no index given"


def test_repository_discovery(server, settings, client):
    server.doc("/b/pypi/pkg/json", {})
    server.doc("/b/pypi/pkg/1.5/json", {})
    c = client(settings(("/a", True, True), ("/b", False, True)))
    assert ask(c, c.find_repo_for_package("pkg")) == server.url("/b/simple/")
    assert ask(c, c.find_repo_for_package_version("pkg", "1.5")) == server.url("/b/simple/")
    assert ask(c, c.find_repo_for_package_version("pkg", "2.0")) is None
    assert server.requests == ["/a/pypi/pkg/json", "/b/pypi/pkg/json", "/a/pypi/pkg/1.5/json",
                               "/b/pypi/pkg/1.5/json", "/a/pypi/pkg/2.0/json", "/b/pypi/pkg/2.0/json"]
    off = client(settings(("/a", True, True), ("/b", False, True), use_secondary=False))
    assert ask(off, off.find_repo_for_package("pkg")) is None


def test_extras_dependencies_and_the_metadata_cache(server, settings, client, log):
    requires = ['pytest>=7; extra == "test"', "sphinx; extra == 'docs'", "numpy (>=1.20)",
                'nose; extra=="old"', "", "requests[security, socks]>=2.8.1 ; python_version < '3'"]
    server.release("/b", "Pkg", "1.0", requires)
    server.release("/b", "nulls", "2.0", None)
    c = client(settings(("/a", True, True), ("/b", False, True)))
    assert ask(c, c.get_extras("Pkg", "1.0")) == ["docs", "test"]
    deps = ask(c, c.get_dependencies("Pkg", "1.0"))
    assert deps == [
        {"name": "pytest", "version_spec": ">=7", "extras": [], "markers": 'extra == "test"'},
        {"name": "sphinx", "version_spec": "", "extras": [], "markers": "extra == 'docs'"},
        {"name": "numpy", "version_spec": "(>=1.20)", "extras": [], "markers": ""},
        {"name": "nose", "version_spec": "", "extras": [], "markers": 'extra=="old"'},
        {"name": "requests", "version_spec": ">=2.8.1", "extras": ["security", "socks"],
         "markers": "python_version < '3'"},
    ]
    assert ("WARNING", "Could not parse requirement: ") in log()
    assert ("INFO", "Found 5 dependencies in secondary index") in log()
    asked = list(server.requests)
    # Same name in other letter case and version, through another index (even one without
    # a pattern): answered from the cache, no request.
    assert ask(c, c.get_dependencies("PKG", "1.0", server.url("/nowhere/simple/"))) == deps
    assert ask(c, c._get_dependencies_from_index("pkg", "1.0", server.url("/a/simple"))) == deps
    assert server.requests == asked
    assert ask(c, c.get_extras("nulls", "2.0")) == []
    assert ask(c, c.get_dependencies("nulls", "2.0", server.url("/b/simple"))) == []
    assert ("DEBUG", "Found 0 extras via API for nulls") in log()
    assert ("INFO", "No extras found for nulls in any index") in log()


def test_package_info_and_its_error_results(server, settings, client, log):
    server.release("/b", "pkg", "3.1")
    server.doc("/b/pypi/bare/json", {"releases": {}})
    server.doc("/a/pypi/broken/json", {}, status=503)
    server.raw("/a/pypi/garbled/json", "{not json")
    c = client(settings(("/a", True, True), ("/b", False, True)))
    assert ask(c, c.get_package_info("pkg")) == {"name": "pkg", "latest_version": "3.1", "summary": "pkg summary"}
    assert ask(c, c.get_package_info("bare")) == {"name": "bare", "latest_version": "", "summary": ""}
    a = server.url("/a/simple")
    assert ask(c, c._get_package_info_from_index("pkg", a)) == {"error": f"Package 'pkg' not found at {a}"}
    assert ask(c, c._get_package_info_from_index("broken", a)) == {"error": "API returned status 503"}
    with pytest.raises(ValueError) as decoding:
        json.loads("{not json")
    assert ask(c, c._get_package_info_from_index("garbled", a)) == {"error": str(decoding.value)}
    off = client(settings(("/a", True, True), ("/b", False, True), use_secondary=False))
    assert ask(off, off.get_package_info("pkg")) == {"error": "Package 'pkg' not found in any configured index"}
    assert log()[-1] == ("WARNING", "Could not retrieve package info for pkg from any index")


def test_bad_documents_timeouts_and_missing_aiohttp_are_failure_values(server, settings, client, caskwell, log,
                                                                       monkeypatch):
    server.raw("/a/pypi/garbled/json", "{not json")
    server.doc("/a/pypi/listdoc/1.0/json", ["not", "an", "object"])
    server.doc("/a/pypi/odd/1.0/json", {"info": "not an object"})
    server.doc("/a/pypi/norel/json", {"info": {}})
    server.raw("/a/pypi/slow/json", "{}", delay=2)
    c = client(settings(("/a", True, True)))
    a = server.url("/a/simple/")
    assert ask(c, c.get_versions("norel")) == []  # no `releases`: nothing, not an error
    assert not [r for r in log() if r[0] == "ERROR"]
    assert ask(c, c.get_versions("garbled")) == []
    assert ask(c, c.get_extras("listdoc", "1.0")) == []
    assert ask(c, c.get_dependencies("odd", "1.0")) == []  # wrong shape: logged, not raised
    errors = [m for level, m in log() if level == "ERROR"]
    assert len(errors) == 3 and all(m.startswith(f"Failed to query {a} for ") for m in errors)
    assert errors[2].startswith(f"Failed to query {a} for odd: ") and "get" in errors[2]

    # A 10-second timeout is too long for a test: the module's aiohttp is looked up when
    # used, so a stand-in with a short ClientTimeout shows the timeout branch.
    fast = types.SimpleNamespace(ClientSession=aiohttp.ClientSession,
                                 ClientTimeout=lambda total: aiohttp.ClientTimeout(total=0.2))
    monkeypatch.setattr(caskwell, "aiohttp", fast)
    assert ask(c, c.get_versions("slow")) == []
    assert ask(c, c._get_package_info_from_index("slow", a)) == {"error": "Request timed out"}
    assert ask(c, c._package_exists_in_index("slow", a)) is False
    assert log()[-1] == ("DEBUG", f"API check failed for slow at {a}: ")

    monkeypatch.setattr(caskwell, "aiohttp", None)
    asked = list(server.requests)
    text = "aiohttp not installed, cannot query package indexes"
    with pytest.raises(RuntimeError, match=text):
        asyncio.run(c._get_session())
    assert ask(c, c.get_versions("pkg")) == []
    assert log()[-1] == ("WARNING", "No versions found for pkg in any index")
    assert ("ERROR", f"Failed to query {a} for pkg: {text}") in log()
    assert ask(c, c.get_package_info("pkg"))["error"] == "Package 'pkg' not found in any configured index"
    assert ask(c, c._get_package_info_from_index("pkg", a)) == {"error": text}
    assert ask(c, c.find_repo_for_package_version("pkg", "1")) is None
    assert server.requests == asked


def test_session_is_shared_closed_and_renewed(server, settings, client):
    server.release("/a", "pkg", "1.0")
    c = client(settings(("/a", True, True)))
    asyncio.run(c.close())  # never queried: nothing to close
    assert c._session is None

    async def scenario():
        results = await asyncio.gather(*(c.get_versions("pkg") for _ in range(20)))
        first = c._session
        await c.close()
        closed = first.closed
        again = await c.get_versions("pkg")
        second = c._session
        await c.close()
        return results, first, closed, again, second

    results, first, closed, again, second = asyncio.run(scenario())
    assert results == [["1.0"]] * 20 and again == ["1.0"]
    assert closed and second is not first and second.closed and c._session is second


def test_settings_are_read_afresh_and_their_errors_propagate(server, client, caskwell, monkeypatch):
    server.doc("/b/pypi/pkg/json", {"releases": {"1.0": []}})
    current = {}
    monkeypatch.setattr(caskwell, "get_pip_settings", lambda manager: current)
    monkeypatch.setattr(caskwell, "get_pip_api_list", lambda manager: iter(
        [{"api_pattern": "unused"}, {"index_url": server.url("/b//\\"), "api_pattern": server.url("/b/pypi/{package_name}/json")},
         {"index_url": server.url("/b"), "api_pattern": None}]))
    c = client(object())
    with pytest.raises(KeyError, match="index_urls"):
        ask(c, c.get_versions("pkg"))
    # No entry marked primary: every entry is a secondary. use_secondary_urls is only
    # read once the primary gave nothing.
    current.update(index_urls=[{"url": server.url("/a")}, {"url": server.url("/b/"), "primary": 0}])
    with pytest.raises(KeyError, match="use_secondary_urls"):
        ask(c, c.get_versions("pkg"))
    current["use_secondary_urls"] = True
    assert ask(c, c.get_versions("pkg")) == ["1.0"]
    assert c._get_api_pattern_for_index(server.url("/b/")) == server.url("/b/pypi/{package_name}/json")
    assert c._get_api_pattern_for_index("//") == "unused"
    current["index_urls"] = [{"url": server.url("/b"), "primary": True}, {"primary": False}]
    with pytest.raises(KeyError, match="url"):
        ask(c, c.get_versions("pkg"))
