"""A stand-in kernel for the console's tests, started by the console in place of the
launcher (same command line). It holds every execution request open, prints that it
runs, and answers an ``interrupt_request`` as the kernel does: an ``interrupt_reply``,
then the interrupted request's KeyboardInterrupt error. Code containing "stubborn"
is reported interrupted but goes on running, like code blocked inside a C call. An
interrupt that names no running request is answered ``interrupted: false``."""
import asyncio
import json
import sys

import websockets


async def main(workbook_id, port):
    running = {}  # request id -> code
    async with websockets.connect(f"ws://127.0.0.1:{port}/ws/kernel/{workbook_id}") as socket:
        async def send(**message):
            await socket.send(json.dumps(dict(message, workbook_id=workbook_id)))

        async for frame in socket:
            message = json.loads(frame)
            kind, request_id = message.get("type"), message.get("request_id")
            if kind == "shutdown":
                return
            if kind == "execution_request":
                running[request_id] = message["code"]
                await send(type="stdout", content=f"running {message['code']}\n", request_id=request_id)
            elif kind == "interrupt_request":
                code = running.get(request_id)
                await send(type="interrupt_reply", request_id=request_id, interrupted=code is not None)
                if code is not None and "stubborn" not in code:
                    del running[request_id]
                    text = f"Traceback (most recent call last):\nKeyboardInterrupt: interrupted {code!r}\n"
                    await send(type="execution_error", success=False, request_id=request_id,
                               error={"type": "KeyboardInterrupt", "message": "", "traceback": text})


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2]))
