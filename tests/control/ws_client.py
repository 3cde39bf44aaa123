"""A real WebSocket client (Debian's python3-websockets) for the control server tests.

usage: ws_client.py URL ORIGIN MODE [COUNT]   (ORIGIN "-": no Origin header)
  sizes N   print "<bytes> <status> <tasks>" for each of N snapshots
  chatter   send frames of its own first, then print the sizes of three snapshots
  hold      print "ready" after the first snapshot, "closed" when the server ends the stream
  watch     print "<sha256 of the frame> <status of its first task, or -> <tasks>" for each
            snapshot until the server ends the stream
  once      take one snapshot and close its end
  close     take one snapshot, ping, close; print "pong" and "closed <code the server sent>"
A refused handshake prints "refused <status>".
"""
import asyncio
import hashlib
import json
import sys

import websockets


async def run(url, origin, mode, count):
    # The server looks at what the client sent before each snapshot, up to a second apart; only
    # the close mode waits for its answer.
    close_timeout = 5 if mode == "close" else 0.2
    options = {"max_size": None, "open_timeout": 10, "ping_interval": None, "close_timeout": close_timeout}
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
            elif mode == "watch":
                try:
                    while True:
                        message = await ws.recv()
                        tasks = json.loads(message)["tasks"]
                        print(hashlib.sha256(message.encode()).hexdigest(),
                              tasks[0]["status"] if tasks else "-", len(tasks), flush=True)
                except websockets.ConnectionClosed:
                    pass
            elif mode == "once":
                await ws.recv()
                print("got one", flush=True)
            elif mode == "close":
                await ws.recv()
                pong = await ws.ping(b"are you there")
                await asyncio.wait_for(pong, 5)
                print("pong", flush=True)
                await ws.close(code=1000, reason="bye")
                print("closed", ws.close_rcvd.code if ws.close_rcvd else "none", flush=True)
    except websockets.exceptions.InvalidStatusCode as refused:
        print("refused", refused.status_code, flush=True)


if __name__ == "__main__":
    asyncio.run(run(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 1))
