"""A development Business Layer: the WebSocket peer that kernels connect to.

Kernels connect to ``/ws/kernel/{workbook_id}`` (plain WebSocket, or TLS when
the server is given an ``ssl.SSLContext``); any other path is refused with HTTP
404. For each workbook the server records every frame received (``raw_frames``)
and every message in order (``messages``), with chunk messages put back
together and batch messages expanded into the messages they carry. Frames it
cannot make sense of are listed in ``errors``.

``sys_request`` messages are answered at once from an in-memory workbook per
workbook id (see :mod:`.workbook`), with ``{"type": "sys_response", "payload":
{"requestId": <same id>, "result" | "error": ...}}``, so the bridge's
``vantrel.excel`` reads and writes cells end to end. ``auto_answer=False``
turns that off (the requests are still recorded).

Use in tests::

    async with DevBusinessLayer() as server:          # port 0: any free port
        ...start a kernel against server.port...
        await server.wait_connected("wb1")
        await server.send("wb1", {"type": "execution_request", ...})
        reply = await server.wait_for("wb1", "execution_result")

Command line (prints each received message as one JSON line)::

    python -m vantrel_master.devtools.business_layer --port 8000 [--tls]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import uuid
from http import HTTPStatus
from typing import Any, Callable, Dict, List, Optional, Union
from urllib.parse import unquote, urlsplit

from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed

from vantrel_master.logging_config import get_logger, setup_logging_subprocess

from .workbook import InMemoryWorkbook

logger = get_logger("vantrel_master.devtools.business_layer")

PATH_PREFIX = "/ws/kernel/"
CHUNK_SIZE = 65536

Matcher = Union[str, Callable[[Dict[str, Any]], bool]]


def split_into_chunks(message: Dict[str, Any], chunk_size: int = CHUNK_SIZE) -> List[Dict[str, Any]]:
    """The chunk messages a peer sends for ``message`` (one piece per ``chunk_size``
    characters of its JSON text), in order."""
    if chunk_size < 1:
        raise ValueError("chunk_size must be positive")
    text = json.dumps(message)
    chunk_id = str(uuid.uuid4())
    total = max(1, (len(text) + chunk_size - 1) // chunk_size)
    original_type = message.get("type", "unknown")
    request_id = message.get("request_id", "N/A")
    return [
        {
            "type": "chunk",
            "chunk_id": chunk_id,
            "chunk_index": index,
            "total_chunks": total,
            "data": text[index * chunk_size:(index + 1) * chunk_size],
            "original_type": original_type,
            "request_id": request_id,
        }
        for index in range(total)
    ]


def _describe(matcher: Matcher) -> str:
    return f"type {matcher!r}" if isinstance(matcher, str) else getattr(matcher, "__name__", "predicate")


def _matches(matcher: Matcher, message: Dict[str, Any]) -> bool:
    if isinstance(matcher, str):
        return message.get("type") == matcher
    return bool(matcher(message))


class _WorkbookRecord:
    def __init__(self) -> None:
        self.messages: List[Dict[str, Any]] = []
        self.raw_frames: List[Union[str, bytes]] = []
        self.errors: List[Dict[str, Any]] = []
        self.consumed: set = set()
        self.connections = 0


class DevBusinessLayer:
    """WebSocket server standing in for the Business Layer (one per test or session)."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        ssl_context=None,
        auto_answer: bool = True,
        on_message: Optional[Callable[[str, Dict[str, Any]], None]] = None,
        max_size: Optional[int] = 64 * 1024 * 1024,
    ) -> None:
        self.host = host
        self.requested_port = port
        self.ssl_context = ssl_context
        self.auto_answer = auto_answer
        self.on_message = on_message
        self.max_size = max_size
        self.connections: Dict[str, ServerConnection] = {}
        self.workbooks: Dict[str, InMemoryWorkbook] = {}
        self._records: Dict[str, _WorkbookRecord] = {}
        self._server = None
        self._changed: Optional[asyncio.Condition] = None
        self._closing: set = set()

    # -- life -----------------------------------------------------------------------------

    async def start(self) -> "DevBusinessLayer":
        if self._server is not None:
            raise RuntimeError("server already started")
        self._changed = asyncio.Condition()
        self._server = await serve(
            self._handle_connection,
            self.host,
            self.requested_port,
            ssl=self.ssl_context,
            process_request=self._check_path,
            max_size=self.max_size,
        )
        logger.info(f"Development Business Layer listening on {self.url}")
        return self

    async def stop(self) -> None:
        """Close every connection and stop listening."""
        if self._server is None:
            return
        server, self._server = self._server, None
        server.close()
        await server.wait_closed()

    async def __aenter__(self) -> "DevBusinessLayer":
        return await self.start()

    async def __aexit__(self, *exc_info) -> None:
        await self.stop()

    @property
    def port(self) -> int:
        """The port actually listened on."""
        if self._server is None:
            raise RuntimeError("server not started")
        return self._server.sockets[0].getsockname()[1]

    @property
    def url(self) -> str:
        """Base URL, as a kernel's server URL: "ws://127.0.0.1:PORT" or "wss://..."."""
        scheme = "wss" if self.ssl_context is not None else "ws"
        return f"{scheme}://{self.host}:{self.port}"

    def kernel_url(self, workbook_id: str) -> str:
        return f"{self.url}{PATH_PREFIX}{workbook_id}"

    # -- what was received --------------------------------------------------------------

    def _record(self, workbook_id: str) -> _WorkbookRecord:
        return self._records.setdefault(workbook_id, _WorkbookRecord())

    def messages(self, workbook_id: str) -> List[Dict[str, Any]]:
        """Messages received for a workbook, in order (chunks joined, batches expanded)."""
        return list(self._record(workbook_id).messages)

    def raw_frames(self, workbook_id: str) -> List[Union[str, bytes]]:
        """Every frame received for a workbook, as it arrived."""
        return list(self._record(workbook_id).raw_frames)

    def errors(self, workbook_id: str) -> List[Dict[str, Any]]:
        """Frames or messages that could not be taken in (with the reason)."""
        return list(self._record(workbook_id).errors)

    def connection_count(self, workbook_id: str) -> int:
        """How many kernel connections this workbook has had."""
        return self._record(workbook_id).connections

    def clear(self, workbook_id: str) -> None:
        """Forget what was received for a workbook."""
        record = self._record(workbook_id)
        record.messages.clear()
        record.raw_frames.clear()
        record.errors.clear()
        record.consumed.clear()

    def workbook(self, workbook_id: str) -> InMemoryWorkbook:
        """The in-memory workbook answering this workbook's requests (created on demand)."""
        book = self.workbooks.get(workbook_id)
        if book is None:
            book = self.workbooks[workbook_id] = InMemoryWorkbook()
        return book

    def is_connected(self, workbook_id: str) -> bool:
        return workbook_id in self.connections

    # -- waiting --------------------------------------------------------------------------

    async def _wait_until(self, condition: Callable[[], Any], timeout: float, what: Callable[[], str]):
        if self._changed is None:
            raise RuntimeError("server not started")

        async def wait():
            async with self._changed:
                while True:
                    result = condition()
                    if result is not None:
                        return result
                    await self._changed.wait()

        try:
            return await asyncio.wait_for(wait(), timeout)
        except asyncio.TimeoutError:
            raise TimeoutError(what()) from None

    async def wait_for(self, workbook_id: str, match: Matcher, timeout: float = 5.0) -> Dict[str, Any]:
        """Return the first received message of ``workbook_id`` that matches and that no
        earlier ``wait_for`` returned; waits for it up to ``timeout`` seconds.

        ``match`` is a message type or a predicate taking the message.
        """
        record = self._record(workbook_id)

        def find():
            for index, message in enumerate(record.messages):
                if index not in record.consumed and _matches(match, message):
                    record.consumed.add(index)
                    return message
            return None

        def what():
            types = [m.get("type") for m in record.messages]
            return (f"no message with {_describe(match)} from workbook {workbook_id!r} "
                    f"within {timeout}s; received types: {types}")

        return await self._wait_until(find, timeout, what)

    async def wait_connected(self, workbook_id: str, timeout: float = 5.0) -> ServerConnection:
        """Wait until a kernel for ``workbook_id`` is connected; returns its connection."""
        return await self._wait_until(
            lambda: self.connections.get(workbook_id), timeout,
            lambda: f"no kernel connected for workbook {workbook_id!r} within {timeout}s")

    async def wait_disconnected(self, workbook_id: str, timeout: float = 5.0) -> None:
        """Wait until no kernel for ``workbook_id`` is connected."""
        await self._wait_until(
            lambda: True if workbook_id not in self.connections else None, timeout,
            lambda: f"kernel for workbook {workbook_id!r} still connected after {timeout}s")

    async def _notify(self) -> None:
        async with self._changed:
            self._changed.notify_all()

    # -- sending --------------------------------------------------------------------------

    def _connection(self, workbook_id: str) -> ServerConnection:
        connection = self.connections.get(workbook_id)
        if connection is None:
            raise RuntimeError(f"no kernel connected for workbook {workbook_id!r}")
        return connection

    async def send(self, workbook_id: str, message: Dict[str, Any]) -> None:
        """Send one message (as one JSON text frame) to the workbook's kernel."""
        await self._connection(workbook_id).send(json.dumps(message))

    async def send_raw(self, workbook_id: str, frame: Union[str, bytes]) -> None:
        """Send a frame exactly as given (text for str, binary for bytes)."""
        await self._connection(workbook_id).send(frame)

    async def send_chunked(self, workbook_id: str, message: Dict[str, Any],
                           chunk_size: int = CHUNK_SIZE) -> None:
        """Send ``message`` as chunk messages, as a peer does for large messages."""
        connection = self._connection(workbook_id)
        for chunk in split_into_chunks(message, chunk_size):
            await connection.send(json.dumps(chunk))

    # -- connections ----------------------------------------------------------------------

    @staticmethod
    def _workbook_id(path: str) -> Optional[str]:
        path = urlsplit(path).path
        if not path.startswith(PATH_PREFIX):
            return None
        workbook_id = unquote(path[len(PATH_PREFIX):])
        if not workbook_id or "/" in workbook_id:
            return None
        return workbook_id

    def _check_path(self, connection: ServerConnection, request):
        if self._workbook_id(request.path) is None:
            logger.warning(f"Refusing connection to {request.path}")
            return connection.respond(HTTPStatus.NOT_FOUND, "Not Found\n")
        return None

    async def _handle_connection(self, connection: ServerConnection) -> None:
        workbook_id = self._workbook_id(connection.request.path)
        record = self._record(workbook_id)
        previous = self.connections.get(workbook_id)
        self.connections[workbook_id] = connection
        record.connections += 1
        logger.info(f"Kernel connected for workbook {workbook_id}")
        await self._notify()
        if previous is not None:
            # closed in the background: a dead old peer must not hold up the new one
            task = asyncio.create_task(previous.close(4000, "replaced by a newer kernel connection"))
            self._closing.add(task)
            task.add_done_callback(self._closing.discard)
        chunk_buffers: Dict[Any, Dict[str, Any]] = {}
        try:
            async for frame in connection:
                record.raw_frames.append(frame)
                await self._take_frame(workbook_id, connection, frame, chunk_buffers)
        except ConnectionClosed:
            pass
        finally:
            if self.connections.get(workbook_id) is connection:
                del self.connections[workbook_id]
            logger.info(f"Kernel disconnected for workbook {workbook_id}")
            await self._notify()

    async def _take_frame(self, workbook_id, connection, frame, chunk_buffers) -> None:
        text = frame.decode("utf-8", errors="replace") if isinstance(frame, bytes) else frame
        try:
            message = json.loads(text)
        except json.JSONDecodeError as exc:
            self._error(workbook_id, f"invalid JSON: {exc}", text)
            await self._notify()
            return
        await self._take_message(workbook_id, connection, message, chunk_buffers)
        await self._notify()

    def _error(self, workbook_id: str, reason: str, item: Any) -> None:
        logger.warning(f"Workbook {workbook_id}: {reason}")
        self._record(workbook_id).errors.append({"error": reason, "item": item})

    async def _take_message(self, workbook_id, connection, message, chunk_buffers) -> None:
        if not isinstance(message, dict):
            self._error(workbook_id, "message is not a JSON object", message)
            return
        kind = message.get("type")
        if kind == "chunk":
            whole = self._join_chunk(workbook_id, message, chunk_buffers)
            if whole is not None:
                if isinstance(whole, dict) and whole.get("type") == "chunk":
                    self._error(workbook_id, "reassembled message is itself a chunk", whole)
                else:
                    await self._take_message(workbook_id, connection, whole, chunk_buffers)
            return
        if kind == "batch":
            inner = message.get("messages")
            if not isinstance(inner, list):
                self._error(workbook_id, "batch without a list of messages", message)
                return
            for item in inner:
                await self._take_message(workbook_id, connection, item, chunk_buffers)
            return
        self._record(workbook_id).messages.append(message)
        if self.on_message is not None:
            try:
                self.on_message(workbook_id, message)
            except Exception as exc:
                logger.error(f"on_message callback failed: {exc}")
        if kind == "sys_request" and self.auto_answer:
            await self._answer(workbook_id, connection, message)

    def _join_chunk(self, workbook_id, chunk, buffers) -> Optional[Any]:
        chunk_id = chunk.get("chunk_id")
        index = chunk.get("chunk_index")
        total = chunk.get("total_chunks")
        data = chunk.get("data", "")
        if not isinstance(chunk_id, str) or not chunk_id:
            self._error(workbook_id, "chunk without chunk_id", chunk)
            return None
        if (isinstance(index, bool) or not isinstance(index, int)
                or isinstance(total, bool) or not isinstance(total, int)
                or total < 1 or not 0 <= index < total):
            self._error(workbook_id, "chunk with invalid chunk_index/total_chunks", chunk)
            return None
        if not isinstance(data, str):
            self._error(workbook_id, "chunk data is not a string", chunk)
            return None
        buffer = buffers.setdefault(chunk_id, {"chunks": [None] * total, "received": 0, "total": total})
        if buffer["total"] != total:
            self._error(workbook_id, "chunk total_chunks differs from earlier pieces", chunk)
            return None
        if buffer["chunks"][index] is None:
            buffer["chunks"][index] = data
            buffer["received"] += 1
        if buffer["received"] < buffer["total"]:
            return None
        del buffers[chunk_id]
        text = "".join(buffer["chunks"])
        try:
            return json.loads(text)
        except json.JSONDecodeError as exc:
            self._error(workbook_id, f"reassembled message is not valid JSON: {exc}", text)
            return None

    # -- synchronous requests ---------------------------------------------------------------

    def answer_request(self, workbook_id: str, request: Dict[str, Any]) -> Dict[str, Any]:
        """The answer fields for one bridge request (override to answer differently)."""
        return self.workbook(workbook_id).handle(request)

    async def _answer(self, workbook_id: str, connection: ServerConnection, message: Dict[str, Any]) -> None:
        payload = message.get("payload")
        if not isinstance(payload, dict) or not payload.get("requestId"):
            self._error(workbook_id, "sys_request without payload.requestId", message)
            return
        try:
            fields = self.answer_request(workbook_id, payload)
        except Exception as exc:
            fields = {"error": f"Business Layer failed to answer: {exc}"}
        response = {"type": "sys_response", "payload": {"requestId": payload["requestId"], **fields}}
        try:
            await connection.send(json.dumps(response))
        except ConnectionClosed:
            logger.warning(f"Workbook {workbook_id}: kernel gone before its sys_response")


# -- command line ---------------------------------------------------------------------------

def _parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vantrel_master.devtools.business_layer",
        description="Run a development Business Layer and print every received message "
                    "as one JSON line.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8000, help="port (default 8000; 0 picks a free one)")
    parser.add_argument("--tls", action="store_true", help="serve wss:// with a throw-away certificate")
    parser.add_argument("--no-auto-answer", action="store_true", help="do not answer sys_request messages")
    return parser.parse_args(argv)


async def _serve_forever(args: argparse.Namespace) -> None:
    ssl_context = None
    if args.tls:
        from .tls import make_throwaway_server_context
        ssl_context = make_throwaway_server_context(args.host)

    def show(workbook_id: str, message: Dict[str, Any]) -> None:
        print(json.dumps({"workbook_id": workbook_id, "message": message}, ensure_ascii=False), flush=True)

    server = DevBusinessLayer(args.host, args.port, ssl_context=ssl_context,
                              auto_answer=not args.no_auto_answer, on_message=show)
    async with server:
        print(f"listening on {server.url}{PATH_PREFIX}{{workbook_id}}", file=sys.stderr, flush=True)
        await asyncio.Future()


def main(argv: Optional[List[str]] = None) -> int:
    args = _parse_args(argv)
    setup_logging_subprocess()
    try:
        asyncio.run(_serve_forever(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
