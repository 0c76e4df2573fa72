"""Indexes without an API pattern: the unearth package finder against a PEP 503 index
served on 127.0.0.1 with real wheels, in the default executor, each finder closed."""
import asyncio
import email.message
import gc
import glob
import itertools
import logging
import os
import tempfile
import threading
from unittest import mock
import weakref

import unearth

from .conftest import ask, make_wheel

REQUIRES = ['beta>=1; extra == "fast"', "gamma", "delta[x]; extra == 'docs'"]


def publish(server):
    alpha = [make_wheel("alpha", "1.0", REQUIRES, ["fast", "docs"]), make_wheel("alpha", "2.0rc1"),
             ("alpha-1.5.tar.gz", b"not really a tarball")]
    server.project("/w", "alpha", alpha)                       # wheels only: METADATA read from the wheel
    server.project("/m", "alpha", alpha, metadata_file=True)   # core metadata files advertised


class Recording(unearth.PackageFinder):
    """The real finder, remembering where it ran and the sessions it made."""
    threads, sessions = [], []

    def find_all_packages(self, *args, **kwargs):
        Recording.threads.append(threading.current_thread())
        Recording.sessions.append(self.session)
        return super().find_all_packages(*args, **kwargs)

    def find_best_match(self, *args, **kwargs):
        Recording.threads.append(threading.current_thread())
        Recording.sessions.append(self.session)
        return super().find_best_match(*args, **kwargs)


def test_versions_existence_and_info_through_the_finder(server, settings, client, caskwell, monkeypatch):
    publish(server)
    monkeypatch.setattr(caskwell, "PackageFinder", Recording)
    # unearth's "not found" warnings carry exceptions whose frames hold the session.
    monkeypatch.setattr(logging.getLogger("unearth.collector"), "disabled", True)
    Recording.threads.clear(), Recording.sessions.clear()
    c = client(settings(("/w", True, False)))
    w = server.url("/w/simple/")
    assert ask(c, c.get_versions("alpha")) == ["2.0rc1", "1.5", "1.0"]
    assert ask(c, c.find_repo_for_package("alpha")) == w
    assert ask(c, c.find_repo_for_package("omega")) is None
    assert ask(c, c.find_repo_for_package_version("alpha", "1.5")) == w
    assert ask(c, c.find_repo_for_package_version("alpha", "3.0")) is None
    assert ask(c, c.get_package_info("alpha")) == {"name": "alpha", "latest_version": "2.0rc1", "summary": ""}
    assert ask(c, c._get_package_info_from_index("omega", w)) == {"error": f"Package 'omega' not found at {w}"}
    # Every finder ran off the event loop's thread and was closed, with unearth's exit
    # hook for its session removed again (that hook would keep the session alive).
    assert len(Recording.threads) == 7
    assert threading.main_thread() not in Recording.threads
    assert all(s.is_closed for s in Recording.sessions)
    alive = [weakref.ref(s) for s in Recording.sessions]
    Recording.sessions.clear()
    gc.collect()
    assert [r for r in alive if r() is not None] == []


def test_extras_and_dependencies_from_core_metadata_wheels_and_sdists(server, settings, client, log):
    publish(server)
    temporary = set(glob.glob(os.path.join(tempfile.gettempdir(), "caskwell-*")))
    for index, fetched, wheel in (("/m", "/m/files/alpha-1.0-py3-none-any.whl.metadata", False),
                                  ("/w", "/w/files/alpha-1.0-py3-none-any.whl", True)):
        c = client(settings((index, True, False)))
        server.requests.clear()
        assert ask(c, c.get_extras("alpha", "1.0")) == ["docs", "fast"]
        assert fetched in server.requests
        assert any(r.endswith(".whl") for r in server.requests) == wheel
        deps = ask(c, c.get_dependencies("alpha", "1.0"))
        assert [(d["name"], d["extras"], d["markers"]) for d in deps] == [
            ("beta", [], 'extra == "fast"'), ("gamma", [], ""), ("delta", ["x"], "extra == 'docs'")]
        assert c._metadata_cache == {}  # the finder's answers are not cached
    assert set(glob.glob(os.path.join(tempfile.gettempdir(), "caskwell-*"))) == temporary  # downloads removed
    # The metadata file is the one the index advertised: a changed file fails its hash.
    server.raw("/m/files/alpha-1.0-py3-none-any.whl.metadata", b"Name: alpha\nRequires-Dist: evil\n")
    c = client(settings(("/m", True, False)))
    assert ask(c, c.get_dependencies("alpha", "1.0")) == []
    assert any(level == "DEBUG" and m.startswith("Unearth get_dependencies failed: Hash mismatch")
               for level, m in log())
    # A source distribution has no metadata without a build.
    assert ask(c, c._get_extras_from_index("alpha", "1.5", server.url("/m/simple"))) == set()
    assert any(m.startswith("No metadata for alpha without building it: ") for _, m in log())


def test_substituted_finders_and_finder_failures(server, settings, client, caskwell, log, monkeypatch):
    publish(server)

    class WithMetadata(unearth.PackageFinder):
        def get_metadata(self, link):
            message = email.message.Message()
            message["Requires-Dist"] = f'from-{link.filename}; extra == "own"'
            return message

    monkeypatch.setattr(caskwell, "PackageFinder", WithMetadata)
    c = client(settings(("/w", True, False)))
    assert ask(c, c.get_extras("alpha", "1.0")) == ["own"]
    assert "/w/files/alpha-1.0-py3-none-any.whl" not in server.requests

    # A stand-in finder sees exactly the calls of the query, nothing for closing it.
    finder = mock.MagicMock()
    finder.find_best_match.return_value.best.link = "the-link"
    finder.get_metadata.return_value.get_all.return_value = ['a; extra == "x"', "b"]
    monkeypatch.setattr(caskwell, "PackageFinder", mock.MagicMock(return_value=finder))
    assert c._get_dependencies_via_unearth("p", "1", "u")[1] == {"name": "b", "version_spec": "", "extras": [],
                                                                 "markers": ""}
    caskwell.PackageFinder.assert_called_once_with(index_urls=["u"])
    assert finder.method_calls == [mock.call.find_best_match("p==1"), mock.call.get_metadata("the-link")]
    finder.get_metadata.return_value.get_all.assert_called_once_with("Requires-Dist")

    class Broken:
        def __init__(self, index_urls):
            raise OSError(f"cannot reach {index_urls[0]}")

    monkeypatch.setattr(caskwell, "PackageFinder", Broken)
    w = server.url("/w/simple/")
    assert ask(c, c.get_versions("alpha")) == []
    assert ask(c, c._package_exists_in_index("alpha", w)) is False
    # The version list swallows the finder's failure: the info is a plain "not found".
    assert ask(c, c._get_package_info_from_index("alpha", w)) == {"error": f"Package 'alpha' not found at {w}"}
    records = log()
    assert ("ERROR", f"Unearth _get_versions failed: cannot reach {w}") in records
    assert ("DEBUG", f"Unearth check failed for alpha at {w}: cannot reach {w}") in records

    monkeypatch.setattr(caskwell, "UNEARTH_AVAILABLE", False)
    before = len(log())
    assert ask(c, c._package_version_exists_in_index("alpha", "1.0", w)) is False
    assert len(log()) == before  # silently
    assert ask(c, c._get_dependencies_from_index("alpha", "1.0", w)) == []
    assert ask(c, c._get_package_info_from_index("alpha", w)) == {"error": f"No API pattern configured for {w}"}
    assert log()[before:] == [("DEBUG", f"No API pattern and unearth not available for {w}")] * 2


def test_a_wheel_download_ends_at_its_deadline(server, settings, client, caskwell, log, monkeypatch):
    publish(server)
    # A wheel whose response headers come late, and one whose body trickles in.
    for name, serve in (("stalled", lambda path, data: server.raw(path, data, delay=5)),
                        ("trickled", lambda path, data: server.stream(path, [(data[i:i + 64], 0.5)
                                                                             for i in range(0, len(data), 64)]))):
        wheel = make_wheel(name, "1.0", REQUIRES, ["fast", "docs"])
        server.project("/w", name, [wheel])
        serve(f"/w/files/{wheel[0]}", wheel[1])
    monkeypatch.setattr(caskwell, "_WHEEL_DOWNLOAD_SECONDS", 1.0)
    c = client(settings(("/w", True, False)))
    assert ask(c, c.get_extras("alpha", "1.0")) == ["docs", "fast"]  # a wheel served at once is read in time
    for name in ("stalled", "trickled"):
        assert ask(c, c.get_extras(name, "1.0")) == []
        url = server.url(f"/w/files/{name}-1.0-py3-none-any.whl")
        assert ("ERROR", f"Download of {url} for {name} took longer than 1.0 seconds") in log()
    # The download stopped with the query: the client hung up before the whole wheel was sent.
    assert server.stream_end("/w/files/trickled-1.0-py3-none-any.whl") == "dropped"


def test_metadata_larger_than_the_limit_is_not_read(server, settings, client, caskwell, log, monkeypatch):
    publish(server)
    metadata_file = "/m/files/alpha-1.0-py3-none-any.whl.metadata"
    size = len(server.routes[metadata_file][1])  # the same bytes as the wheel's METADATA
    m, w = client(settings(("/m", True, False))), client(settings(("/w", True, False)))
    monkeypatch.setattr(caskwell, "_MAX_METADATA_BYTES", size)
    assert ask(m, m.get_extras("alpha", "1.0")) == ask(w, w.get_extras("alpha", "1.0")) == ["docs", "fast"]
    monkeypatch.setattr(caskwell, "_MAX_METADATA_BYTES", size - 1)
    assert ask(m, m.get_extras("alpha", "1.0")) == ask(w, w.get_dependencies("alpha", "1.0")) == []
    errors = [message for level, message in log() if level == "ERROR"]
    assert errors == [f"Metadata of alpha at {server.url(path)} is larger than {size - 1} bytes; not read"
                      for path in (metadata_file, "/w/files/alpha-1.0-py3-none-any.whl")]
    # An endless metadata file: reading stops past the limit, and the server sees the client go.
    monkeypatch.setattr(caskwell, "_MAX_METADATA_BYTES", 1 << 20)
    server.stream(metadata_file, itertools.repeat((b"Requires-Dist: pad; extra == 'pad'\n" * 2000, 0)))
    assert ask(m, m.get_dependencies("alpha", "1.0")) == []
    assert log()[-2:] == [("ERROR", f"Metadata of alpha at {server.url(metadata_file)} is larger than 1048576 "
                                      "bytes; not read"), ("DEBUG", "No dependencies found for alpha in any index")]
    assert server.stream_end(metadata_file) == "dropped"


def test_concurrent_queries_share_the_session_and_use_worker_threads(server, settings, client):
    publish(server)
    server.release("/a", "alpha", "7.0")
    c = client(settings(("/a", True, True)))

    async def scenario():
        w = server.url("/w/simple")
        api = [c.get_versions("alpha") for _ in range(10)]
        finder = [c.get_versions("alpha", w) for _ in range(4)] + [c.get_extras("alpha", "1.0", w)]
        results = await asyncio.gather(*api, *finder)
        await c.close()
        return results

    results = asyncio.run(scenario())
    assert results == [["7.0"]] * 10 + [["2.0rc1", "1.5", "1.0"]] * 4 + [["docs", "fast"]]
