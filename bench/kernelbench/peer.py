"""The lean Business Layer peer the benchmarks time against.

Every measured system (the real kernel, the floor kernel, the echo client)
connects here at ``/ws/kernel/{workbook_id}``. The peer does only what a timing
peer must: it parses each frame, puts chunk messages back together, expands
batch messages, answers ``sys_request`` at once with a ``sys_response`` carrying
``payload.requestId``, and hands every other message to the request that is
waiting for its ``request_id``. Nothing is recorded beyond counters, so the peer's
cost per message stays small and the same for every system.

The development Business Layer (vantrel_master.devtools) is not used for timing:
it keeps every frame and every message, notifies an asyncio.Condition per frame
and scans its message list in ``wait_for``, which grows with the run (100 000
output lines would make every wait a long scan).

The arrival time of a message is taken when its frame is read, before parsing
(perf_counter_ns); a chunked message arrives with its last piece.
"""

from __future__ import annotations

import asyncio
import collections
import json
import time
from typing import Any, Callable, Dict, Iterable, Optional, Tuple, Union
from urllib.parse import unquote, urlsplit

from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed

try:
    from orjson import loads
except ImportError:  # orjson is a dependency of the package; json works too
    from json import loads

PATH_PREFIX = "/ws/kernel/"
clock = time.perf_counter_ns

Final = Union[Iterable[str], Callable[[Dict[str, Any]], bool]]
OnMessage = Callable[[Dict[str, Any], int], None]


class LinkClosed(Exception):
    """The system's connection ended while a request was waiting."""


def _final_test(final: Final) -> Callable[[Dict[str, Any]], bool]:
    if callable(final):
        return final
    types = frozenset(final)
    return lambda message: message.get("type") in types


class _Pending:
    __slots__ = ("is_final", "on_message", "future")

    def __init__(self, is_final, on_message, future):
        self.is_final = is_final
        self.on_message = on_message
        self.future = future


class Link:
    """One connected system: sending, and waiting for the replies to a request."""

    def __init__(self, workbook_id: str, connection: ServerConnection) -> None:
        self.workbook_id = workbook_id
        self.connection = connection
        self.pending: Dict[Any, _Pending] = {}
        self.watchers: list = []                      # (predicate, future) for replies without request_id
        self.chunks: Dict[str, Dict[str, Any]] = {}
        self.is_closed = False
        self.close_reason = ""
        self.frames = 0
        self.sys_requests = 0
        self.unrouted: collections.Counter = collections.Counter()
        self.dropped: collections.Counter = collections.Counter()

    async def send(self, message: Dict[str, Any]) -> None:
        if self.is_closed:
            raise LinkClosed(self.close_reason)
        await self.connection.send(json.dumps(message))

    def expect(self, request_id: str, final: Final, on_message: Optional[OnMessage] = None) -> asyncio.Future:
        """Registers a request; the future gets (final message, arrival ns)."""
        future = asyncio.get_running_loop().create_future()
        if self.is_closed:
            future.set_exception(LinkClosed(self.close_reason))
        else:
            self.pending[request_id] = _Pending(_final_test(final), on_message, future)
        return future

    def forget(self, request_id: str) -> None:
        self.pending.pop(request_id, None)

    async def request(self, message: Dict[str, Any], final: Final, timeout: float,
                      on_message: Optional[OnMessage] = None) -> Tuple[Dict[str, Any], int]:
        """Sends ``message`` and waits for its final reply: (reply, round trip ns)."""
        request_id = message["request_id"]
        future = self.expect(request_id, final, on_message)
        start = clock()
        try:
            await self.send(message)
            reply, arrived = await asyncio.wait_for(future, timeout)
        finally:
            self.forget(request_id)
        return reply, arrived - start

    def watch(self, predicate: Callable[[Dict[str, Any]], bool]) -> asyncio.Future:
        """A future for the next message that belongs to no pending request and matches."""
        future = asyncio.get_running_loop().create_future()
        if self.is_closed:
            future.set_exception(LinkClosed(self.close_reason))
        else:
            self.watchers.append((predicate, future))
        return future

    # -- receiving ---------------------------------------------------------------------------

    async def take(self, message: Any, arrived: int) -> None:
        if not isinstance(message, dict):
            self.dropped["not an object"] += 1
            return
        kind = message.get("type")
        if kind == "chunk":
            whole = self._join(message)
            if whole is not None:
                await self.take(whole, arrived)
            return
        if kind == "batch":
            inner = message.get("messages")
            for item in inner if isinstance(inner, list) else ():
                await self.take(item, arrived)
            return
        if kind == "sys_request":
            await self._answer(message)
            return
        request_id = message.get("request_id")
        pending = self.pending.get(request_id) if isinstance(request_id, str) else None
        if pending is not None:
            if pending.on_message is not None:
                pending.on_message(message, arrived)
            if pending.is_final(message):
                del self.pending[request_id]
                if not pending.future.done():
                    pending.future.set_result((message, arrived))
            return
        if self.watchers:
            self.watchers = [entry for entry in self.watchers if not entry[1].done()]
            for entry in self.watchers:
                if entry[0](message):
                    self.watchers.remove(entry)
                    entry[1].set_result(message)
                    return
        self.unrouted[kind] += 1

    def _join(self, chunk: Dict[str, Any]) -> Optional[Any]:
        chunk_id, index, total = chunk.get("chunk_id"), chunk.get("chunk_index"), chunk.get("total_chunks")
        if not (isinstance(chunk_id, str) and type(index) is int and type(total) is int and 0 <= index < total):
            self.dropped["bad chunk"] += 1
            return None
        buffer = self.chunks.setdefault(chunk_id, {"pieces": [None] * total, "received": 0})
        pieces = buffer["pieces"]
        if len(pieces) != total:
            self.dropped["bad chunk"] += 1
            return None
        if pieces[index] is None:
            pieces[index] = chunk.get("data", "")
            buffer["received"] += 1
        if buffer["received"] < total:
            return None
        del self.chunks[chunk_id]
        try:
            return loads("".join(pieces))
        except ValueError:
            self.dropped["bad reassembled JSON"] += 1
            return None

    async def _answer(self, message: Dict[str, Any]) -> None:
        payload = message.get("payload")
        request_id = payload.get("requestId") if isinstance(payload, dict) else None
        if not request_id:
            self.dropped["sys_request without requestId"] += 1
            return
        self.sys_requests += 1
        response = {"type": "sys_response", "payload": {"requestId": request_id, "result": None}}
        try:
            await self.connection.send(json.dumps(response))
        except ConnectionClosed:
            pass

    def closed(self, reason: str) -> None:
        self.is_closed = True
        self.close_reason = reason
        for request_id, pending in list(self.pending.items()):
            if not pending.future.done():
                pending.future.set_exception(LinkClosed(reason))
        self.pending.clear()
        for _, future in self.watchers:
            if not future.done():
                future.set_exception(LinkClosed(reason))


class Peer:
    """The WebSocket server; one Link per connected workbook id."""

    def __init__(self, compression: Optional[str] = "deflate") -> None:
        self.compression = compression
        self.links: Dict[str, Link] = {}
        self._server = None
        self._arrivals: Dict[str, asyncio.Future] = {}

    async def start(self) -> "Peer":
        self._server = await serve(self._serve, "127.0.0.1", 0, process_request=self._check_path,
                                   compression=self.compression, max_size=None, ping_interval=None)
        return self

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None

    @property
    def port(self) -> int:
        return self._server.sockets[0].getsockname()[1]

    def url(self, workbook_id: str) -> str:
        return f"ws://127.0.0.1:{self.port}{PATH_PREFIX}{workbook_id}"

    async def wait_link(self, workbook_id: str, timeout: float, previous: Optional[Link] = None) -> Link:
        """The open connection of ``workbook_id`` other than ``previous``, waiting for it."""
        link = self.links.get(workbook_id)
        if link is not None and link is not previous and not link.is_closed:
            return link
        future = self._arrivals.setdefault(workbook_id, asyncio.get_running_loop().create_future())
        return await asyncio.wait_for(asyncio.shield(future), timeout)

    @staticmethod
    def _workbook_id(path: str) -> Optional[str]:
        path = urlsplit(path).path
        if not path.startswith(PATH_PREFIX) or len(path) == len(PATH_PREFIX):
            return None
        return unquote(path[len(PATH_PREFIX):])

    def _check_path(self, connection, request):
        if self._workbook_id(request.path) is None:
            return connection.respond(404, "Not Found\n")
        return None

    async def _serve(self, connection: ServerConnection) -> None:
        workbook_id = self._workbook_id(connection.request.path)
        link = Link(workbook_id, connection)
        old = self.links.get(workbook_id)
        if old is not None:
            old.closed("replaced by a newer connection")
        self.links[workbook_id] = link
        arrival = self._arrivals.pop(workbook_id, None)
        if arrival is not None and not arrival.done():
            arrival.set_result(link)
        reason = "the connection ended"
        try:
            async for frame in connection:
                arrived = clock()
                link.frames += 1
                try:
                    message = loads(frame)
                except ValueError:
                    link.dropped["invalid JSON"] += 1
                    continue
                await link.take(message, arrived)
        except ConnectionClosed as exc:
            reason = f"the connection ended ({exc})"
        finally:
            link.closed(reason)
