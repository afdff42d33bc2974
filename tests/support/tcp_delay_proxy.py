#!/usr/bin/env python3
"""A TCP proxy that adds a fixed delay each way, for trying the network ports
over a slow link on a machine without netem.

    tcp_delay_proxy.py --target HOST:PORT --delay-ms 20 [--listen PORT]

Listens on 127.0.0.1 (PORT 0, the default, lets the kernel choose) and prints
"listening on PORT" as its first line. Each connection is forwarded to the
target; every chunk read on one side is written to the other side delay-ms
after it was read, in the order read, so the link behaves like a long wire
rather than a queue that reorders or batches. A half-close is passed on after
the data before it. Runs until killed.
"""

import argparse
import asyncio
import socket
import sys


def nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def pump(reader, writer, delay):
    """Copies reader to writer, each chunk `delay` seconds after it arrived."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read_side():
        try:
            while True:
                data = await reader.read(65536)
                queue.put_nowait((loop.time() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            queue.put_nowait((loop.time() + delay, b""))

    async def write_side():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    reading = asyncio.ensure_future(read_side())
    try:
        await write_side()
    finally:
        reading.cancel()


async def serve(target_host, target_port, delay, listen_port):
    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(target_host, target_port)
        except OSError:
            client_writer.close()
            return
        nodelay(client_writer)
        nodelay(server_writer)
        try:
            await asyncio.gather(
                pump(client_reader, server_writer, delay),
                pump(server_reader, client_writer, delay),
            )
        except (ConnectionError, OSError):
            pass
        finally:
            for w in (client_writer, server_writer):
                w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    port = server.sockets[0].getsockname()[1]
    print(f"listening on {port}", flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", required=True, help="HOST:PORT to forward to")
    parser.add_argument("--delay-ms", type=float, default=0.0, help="added each way")
    parser.add_argument("--listen", type=int, default=0, help="port on 127.0.0.1")
    args = parser.parse_args()
    host, _, port = args.target.rpartition(":")
    if not host or not port.isdigit():
        parser.error("--target wants HOST:PORT")
    try:
        asyncio.run(serve(host.strip("[]"), int(port), args.delay_ms / 1000.0, args.listen))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
