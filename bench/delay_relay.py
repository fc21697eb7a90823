#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that delays every chunk by a fixed time in each
direction, as a long link would, without limiting bandwidth: a chunk leaves
at its arrival time plus the delay, in the order it came, whatever else is
still waiting. TLS passes through untouched, so the client still
negotiates HTTP/2 or HTTP/1.1 with the server behind it.

    delay_relay.py UPSTREAM_PORT [DELAY_MS]     (default 40 ms each way)

Prints the port it listens on, then answers lines on standard input:
"count" prints "BYTES_UP BYTES_DOWN CONNECTIONS" since the last "reset";
"reset" sets them to zero. It exits when standard input closes.

The kernel completes the client's TCP handshake itself, so that round trip
is not delayed; everything after it is.
"""
import asyncio
import collections
import socket
import sys
import threading


class Counters:
    def __init__(self):
        self.up = 0
        self.down = 0
        self.connections = 0


class Direction:
    """One way of one connection: chunks wait in arrival order until due."""

    def __init__(self, loop, delay, count):
        self.loop = loop
        self.delay = delay
        self.count = count  # called with the size of each chunk
        self.queue = collections.deque()
        self.timer = None
        self.sink = None  # the transport the chunks go to
        self.closed = False

    def push(self, data):
        """data, or b"" for end of stream, or None for a closed connection."""
        if data:
            self.count(len(data))
        self.queue.append((self.loop.time() + self.delay, data))
        if self.timer is None:
            self.schedule()

    def schedule(self):
        self.timer = self.loop.call_at(self.queue[0][0], self.flush)

    def flush(self):
        self.timer = None
        if self.sink is None:  # the server side is still connecting
            self.timer = self.loop.call_later(0.001, self.flush)
            return
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now:
            _, data = self.queue.popleft()
            if self.closed or self.sink.is_closing():
                continue
            if data:
                self.sink.write(data)
            elif data == b"":
                if self.sink.can_write_eof():
                    self.sink.write_eof()
            else:
                self.closed = True
                self.sink.close()
        if self.queue:
            self.schedule()


class Side(asyncio.Protocol):
    """One socket of a relayed connection: what it reads goes to `out`."""

    def __init__(self, out):
        self.out = out
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.out.push(data)

    def eof_received(self):
        self.out.push(b"")
        return True  # half-closed: the other way goes on

    def connection_lost(self, exc):
        self.out.push(None)


class Relay:
    def __init__(self, loop, upstream_port, delay):
        self.loop = loop
        self.upstream_port = upstream_port
        self.delay = delay
        self.counters = Counters()
        self.connecting = set()  # the loop keeps only weak references to tasks

    def add_up(self, n):
        self.counters.up += n

    def add_down(self, n):
        self.counters.down += n

    def accepted(self):
        """A client connected: connect to the server behind, and relay."""
        self.counters.connections += 1
        up = Direction(self.loop, self.delay, self.add_up)
        down = Direction(self.loop, self.delay, self.add_down)
        client = Side(up)

        async def connect():
            try:
                server, _ = await self.loop.create_connection(
                    lambda: Side(down), "127.0.0.1", self.upstream_port)
            except OSError:
                up.closed = True
                up.sink = down.sink = client.transport
                client.transport.close()
                return
            up.sink = server
            down.sink = client.transport

        task = self.loop.create_task(connect())
        self.connecting.add(task)
        task.add_done_callback(self.connecting.discard)
        return client


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: delay_relay.py UPSTREAM_PORT [DELAY_MS]", file=sys.stderr)
        return 2
    upstream_port = int(sys.argv[1])
    delay = (float(sys.argv[2]) if len(sys.argv) == 3 else 40.0) / 1000.0
    loop = asyncio.new_event_loop()
    relay = Relay(loop, upstream_port, delay)
    server = loop.run_until_complete(
        loop.create_server(relay.accepted, "127.0.0.1", 0, family=socket.AF_INET, backlog=256))
    print(server.sockets[0].getsockname()[1], flush=True)

    def commands():
        for line in sys.stdin:
            word = line.strip()
            if word == "count":
                c = relay.counters
                print(c.up, c.down, c.connections, flush=True)
            elif word == "reset":
                relay.counters = Counters()
                print("ok", flush=True)
        loop.call_soon_threadsafe(loop.stop)

    threading.Thread(target=commands, daemon=True).start()
    loop.run_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
