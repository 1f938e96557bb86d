#!/usr/bin/env python3
"""A websocket server we didn't write (Debian's python3-websockets), for the
client's interoperability tests. It writes its port to the file named first
and serves until stdin closes. Binary messages:
  b"echo:" + data     -> data back, as one message
  b"frag:N:" + data   -> data back in N fragments
  b"ping"             -> a ping with b"hi", then b"after-ping"
  b"close"            -> a close with 1001 "going away"
Every received message, ping answer and close is logged to the file named second."""

import asyncio
import ssl
import sys

import websockets


async def main(port_file, log_file, cert=None, key=None):
    log = open(log_file, "a", buffering=1)

    async def handler(ws, path=None):
        log.write("open %s\n" % (path or ws.path))
        try:
            async for msg in ws:
                if isinstance(msg, str):
                    log.write("text %d\n" % len(msg))
                    await ws.send(msg)
                    continue
                log.write("binary %d\n" % len(msg))
                if msg.startswith(b"echo:"):
                    await ws.send(msg[5:])
                elif msg.startswith(b"frag:"):
                    _, n, data = msg.split(b":", 2)
                    n = int(n)
                    step = max(1, (len(data) + n - 1) // n)
                    await ws.send([data[i:i + step] for i in range(0, len(data), step)])
                elif msg == b"ping":
                    waiter = await ws.ping(b"hi")
                    await asyncio.wait_for(waiter, 5)
                    log.write("pong\n")
                    await ws.send(b"after-ping")
                elif msg == b"close":
                    await ws.close(1001, "going away")
                    log.write("closed, client answered %s\n" % ws.close_code)
        except websockets.ConnectionClosed as e:
            log.write("connection closed %s\n" % e)

    context = None
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    async with websockets.serve(handler, "127.0.0.1", 0, ssl=context, max_size=2 ** 24) as server:
        port = server.sockets[0].getsockname()[1]
        with open(port_file + ".tmp", "w") as f:
            f.write(str(port))
        import os
        os.replace(port_file + ".tmp", port_file)
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, sys.stdin.read)


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:]))
