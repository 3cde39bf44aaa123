"""A real WebSocket client (Debian's python3-websockets) for the control server tests.

usage: ws_client.py URL ORIGIN MODE [COUNT]   (ORIGIN "-": no Origin header)
  sizes N   print "<bytes> <status> <tasks>" for each of N snapshots
  chatter   send frames of its own first, then print the sizes of three snapshots
  hold      print "ready" after the first snapshot, "closed" when the server ends the stream
  once      take one snapshot and close its end
A refused handshake prints "refused <status>".
"""
import asyncio
import json
import sys

import websockets


async def run(url, origin, mode, count):
    # The server never reads after the upgrade, so it never answers a close frame: do not wait
    # long for an answer that cannot come.
    options = {"max_size": None, "open_timeout": 10, "ping_interval": None, "close_timeout": 0.2}
    if origin != "-":
        options["origin"] = origin
    try:
        async with websockets.connect(url, **options) as ws:
            if mode == "sizes":
                for _ in range(count):
                    message = await ws.recv()
                    document = json.loads(message)
                    print(len(message.encode()), document["status"], len(document["tasks"]), flush=True)
            elif mode == "chatter":
                await ws.send("hello")
                await ws.send(b"\x00\x01\x02")
                for _ in range(3):
                    print(len(await ws.recv()), flush=True)
            elif mode == "hold":
                await ws.recv()
                print("ready", flush=True)
                try:
                    while True:
                        await ws.recv()
                except websockets.ConnectionClosed:
                    print("closed", flush=True)
            elif mode == "once":
                await ws.recv()
                print("got one", flush=True)
    except websockets.exceptions.InvalidStatusCode as refused:
        print("refused", refused.status_code, flush=True)


if __name__ == "__main__":
    asyncio.run(run(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 1))
