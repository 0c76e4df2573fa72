"""Fixtures of the package client's tests: the module (the sanitizer build when
VANTREL_CASKWELL_MODULE names one), a package index served for real on 127.0.0.1 from a
background thread (JSON API documents, PEP 503 pages, wheel files) that records every
request, and the client's log records."""
import asyncio
import hashlib
import importlib.util
import io
import json
import logging
import os
import sys
import threading
import zipfile

import pytest
from aiohttp import web

NAME = "vantrel_master.business_layer.packages.caskwell"

_path = os.environ.get("VANTREL_CASKWELL_MODULE")
if _path and NAME not in sys.modules:
    import vantrel_master.business_layer.packages as _packages

    _spec = importlib.util.spec_from_file_location(NAME, _path)
    _module = importlib.util.module_from_spec(_spec)
    sys.modules[NAME] = _module
    _spec.loader.exec_module(_module)
    _packages.caskwell = _module

from vantrel_master.business_layer.packages import caskwell as _caskwell  # noqa: E402

assert not _path or os.path.samefile(_caskwell.__file__, _path), "caskwell was imported before the sanitizer build"

API = "/pypi/{package_name}/{version}/json"


def ask(client, awaitable):
    """Runs one query in a new event loop, closing the client's session afterwards."""

    async def main():
        try:
            return await awaitable
        finally:
            await client.close()

    return asyncio.run(main())


def make_wheel(name, version, requires=(), extras=()):
    """(file name, bytes) of a real pure-Python wheel."""
    dist = f"{name.replace('-', '_')}-{version}"
    meta = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
    meta += [f"Provides-Extra: {e}" for e in extras] + [f"Requires-Dist: {r}" for r in requires]
    files = {f"{name.replace('-', '_')}/__init__.py": b"",
             f"{dist}.dist-info/METADATA": ("\n".join(meta) + "\n").encode(),
             f"{dist}.dist-info/WHEEL": b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"}
    record = "".join(f"{p},sha256={hashlib.sha256(d).hexdigest()},{len(d)}\n" for p, d in files.items())
    files[f"{dist}.dist-info/RECORD"] = (record + f"{dist}.dist-info/RECORD,,\n").encode()
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for path, data in files.items():
            archive.writestr(path, data)
    return f"{dist}-py3-none-any.whl", buffer.getvalue()


class IndexServer:
    """Serves configured paths; everything else is 404. `requests` lists the paths asked."""

    def __init__(self):
        self.routes = {}
        self.requests = []
        self.streamed = {}  # path -> how its last streamed body ended
        self._streamed_changed = threading.Condition()
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        self._ready.wait(10)

    def _serve(self):
        asyncio.set_event_loop(self.loop)
        app = web.Application()
        app.router.add_route("GET", "/{tail:.*}", self._handle)
        self._runner = web.AppRunner(app, access_log=None)
        self.loop.run_until_complete(self._runner.setup())
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        self.loop.run_until_complete(site.start())
        self.port = site._server.sockets[0].getsockname()[1]
        self._ready.set()
        self.loop.run_forever()

    async def _handle(self, request):
        self.requests.append(request.path)
        route = self.routes.get(request.path)
        if route is None:
            return web.Response(status=404)
        if route[0] == "stream":
            return await self._stream(request, route[1])
        status, body, content_type, delay = route
        if delay:
            await asyncio.sleep(delay)
        return web.Response(status=status, body=body, content_type=content_type)

    def url(self, path=""):
        return f"http://127.0.0.1:{self.port}{path}"

    def raw(self, path, body, status=200, content_type="application/json", delay=0):
        self.routes[path] = (status, body.encode() if isinstance(body, str) else body, content_type, delay)

    def stream(self, path, pieces):
        """Serves the body given as (bytes, pause) pairs, pausing after each piece (an
        endless iterator makes an endless body); see `stream_end`."""
        self.routes[path] = ("stream", pieces)

    async def _stream(self, request, pieces):
        response = web.StreamResponse(headers={"Content-Type": "application/octet-stream"})
        await response.prepare(request)
        try:
            for data, pause in pieces:
                await response.write(data)
                await asyncio.sleep(pause)
            await response.write_eof()
            ended = "sent"
        except ConnectionError:
            ended = "dropped"
        with self._streamed_changed:
            self.streamed[request.path] = ended
            self._streamed_changed.notify_all()
        return response

    def stream_end(self, path):
        """How the streamed body of `path` ended: "sent", or "dropped" when the client hung
        up first (waits for the end; None if it has not come within a minute)."""
        with self._streamed_changed:
            self._streamed_changed.wait_for(lambda: path in self.streamed, 60)
        return self.streamed.get(path)

    def doc(self, path, document, status=200):
        self.raw(path, json.dumps(document), status)

    def release(self, index, name, version, requires=None, releases=None):
        """JSON API documents of a package on index `index` (version-less and per-version)."""
        info = {"name": name, "version": version, "summary": f"{name} summary", "requires_dist": requires}
        self.doc(f"{index}/pypi/{name}/json", {"info": info, "releases": {v: [] for v in releases or [version]}})
        self.doc(f"{index}/pypi/{name}/{version}/json", {"info": info})

    def project(self, index, name, files, metadata_file=False):
        """A PEP 503 page under {index}/simple/ linking the given (filename, bytes) files."""
        links = []
        for filename, data in files:
            path = f"{index}/files/{filename}"
            self.raw(path, data, content_type="application/octet-stream")
            attrs = ""
            meta = _wheel_metadata(data) if metadata_file and filename.endswith(".whl") else None
            if meta is not None:
                self.raw(path + ".metadata", meta, content_type="application/octet-stream")
                attrs = f' data-dist-info-metadata="sha256={hashlib.sha256(meta).hexdigest()}"'
            links.append(f'<a href="{path}#sha256={hashlib.sha256(data).hexdigest()}"{attrs}>{filename}</a>')
        self.raw(f"{index}/simple/{name}/", "<html><body>" + "".join(links) + "</body></html>", content_type="text/html")

    def close(self):
        self.loop.call_soon_threadsafe(lambda: self.loop.create_task(self._stop()))
        self._thread.join(10)

    async def _stop(self):
        await self._runner.cleanup()
        self.loop.stop()


def _wheel_metadata(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        return archive.read(name)


@pytest.fixture
def caskwell():
    return _caskwell


@pytest.fixture(scope="session")
def _server():
    server = IndexServer()
    yield server
    server.close()


@pytest.fixture
def server(_server):
    _server.routes.clear()
    _server.requests.clear()
    _server.streamed.clear()
    return _server


@pytest.fixture
def settings(server):
    """Settings manager factory: indexes as (path, primary, has API pattern) triples; the
    API of index /a is served under /a/pypi/..., its simple pages under /a/simple/..."""

    def make(*indexes, use_secondary=True):
        urls = [{"url": server.url(path) + "/simple/", "primary": primary} for path, primary, _ in indexes]
        apis = [{"index_url": server.url(path) + "/simple", "api_pattern": server.url(path + API) if api else None}
                for path, _, api in indexes]
        return {"pip_index_urls": urls, "pip_use_secondary_urls": use_secondary, "pip_api_list": apis}

    return make


@pytest.fixture
def client(caskwell):
    return caskwell.Caskwell


@pytest.fixture
def log(caplog):
    """The client's log records as (level name, message), captured at DEBUG."""
    caplog.set_level(logging.DEBUG, logger=NAME)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == NAME]
