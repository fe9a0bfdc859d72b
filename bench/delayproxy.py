#!/usr/bin/env python3
# A TCP proxy on 127.0.0.1 that holds every chunk back by a fixed delay in each direction, so
# a server on the same machine answers as one across a real link would: with 25 ms each way,
# every request costs a 50 ms round trip, while bandwidth stays the loopback's.
# Usage: delayproxy.py UPSTREAM_PORT DELAY_MS. Prints the port it listens on.
import asyncio, sys, time

upstream_port, delay = int(sys.argv[1]), float(sys.argv[2]) / 1000


async def pipe(reader, writer):
    queue = asyncio.Queue()

    async def send():
        while (item := await queue.get()) is not None:
            due, chunk = item
            await asyncio.sleep(max(0, due - time.monotonic()))
            writer.write(chunk)
            await writer.drain()
        writer.close()

    sender = asyncio.ensure_future(send())
    try:
        while chunk := await reader.read(65536):
            queue.put_nowait((time.monotonic() + delay, chunk))
    except ConnectionError:
        pass
    queue.put_nowait(None)
    try:
        await sender
    except ConnectionError:
        pass


async def serve(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, server_writer), pipe(server_reader, client_writer))


async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


asyncio.run(main())
