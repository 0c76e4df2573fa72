"""The WebSocket echo floor: sends every frame it receives straight back.

    python echo_client.py WS_URL

The same websockets client connection as the kernels', with no parsing and no
threads: what a round trip to the peer costs before any kernel work.
"""
import asyncio
import sys

import websockets


async def main(url):
    async with websockets.connect(url) as ws:
        async for frame in ws:
            await ws.send(frame)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
