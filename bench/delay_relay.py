#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that delays every chunk by a fixed time in each
direction, as a long link would: a chunk leaves at its arrival time plus the
delay, in the order it came, whatever else is still waiting. TLS passes
through untouched, so the client still negotiates HTTP/2 or HTTP/1.1 with
the server behind it.

    delay_relay.py UPSTREAM_PORT [DELAY_MS] [--rate BYTES_PER_SECOND] [--queue SECONDS]

DELAY_MS defaults to 40 ms each way. With --rate, everything the servers
send toward the client shares one line of that many bytes a second, as a
capped mobile plan's: one queue for all connections, in the order the bytes
came, sent in packets of at most 1,460 bytes. The queue holds at most
--queue seconds of the line's bytes (default 2; 0 for no bound), as a real
bottleneck does: while it is full the relay reads nothing more from the
servers, whose own buffers then fill. The delay follows the line.

Prints the port it listens on, then answers lines on standard input:
"count" prints "BYTES_UP BYTES_DOWN CONNECTIONS" since the last "reset";
"reset" sets them to zero. It exits when standard input closes.

The kernel completes the client's TCP handshake itself, so that round trip
is not delayed; everything after it is.
"""
import argparse
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


class Line:
    """The narrow part of the way toward the client: one queue that every
    connection's chunks wait in, sent on at `rate` bytes a second in packets,
    each then handed to its connection's Direction, which adds the delay."""

    PACKET = 1460

    def __init__(self, loop, rate, queue_seconds):
        self.loop = loop
        self.rate = rate
        self.limit = rate * queue_seconds if queue_seconds > 0 else None
        self.queue = collections.deque()  # (direction, data)
        self.queued = 0
        self.busy = False
        self.readers = set()  # server-side transports, paused while the queue is full
        self.paused = False

    def push(self, direction, data):
        """data, or b"" / None as Direction.push takes them, behind the rest."""
        self.queue.append((direction, data))
        self.queued += len(data or b"")
        if self.limit is not None and self.queued >= self.limit and not self.paused:
            self.paused = True
            for transport in self.readers:
                transport.pause_reading()
        if not self.busy:
            self.send_next()

    def send_next(self):
        if not self.queue:
            self.busy = False
            return
        direction, data = self.queue[0]
        if not data:  # an end of stream takes no time on the line
            self.queue.popleft()
            direction.push(data)
            self.send_next()
            return
        packet = data[:self.PACKET]
        if len(data) > self.PACKET:
            self.queue[0] = (direction, data[self.PACKET:])
        else:
            self.queue.popleft()
        self.queued -= len(packet)
        self.busy = True
        self.loop.call_later(len(packet) / self.rate, self.sent, direction, packet)

    def sent(self, direction, packet):
        direction.push(packet)
        if self.paused and self.queued < self.limit * 3 // 4:
            self.paused = False
            for transport in self.readers:
                if not transport.is_closing():
                    transport.resume_reading()
        self.send_next()


class Side(asyncio.BufferedProtocol):
    """One socket of a relayed connection: what it reads goes to `out`
    (through `line` when there is one, a few packets at a time, so that the
    line's queue stays within its bound)."""

    def __init__(self, out, line=None):
        self.out = out
        self.line = line
        self.transport = None
        self.buffer = bytearray(4 * Line.PACKET if line is not None else 256 * 1024)

    def connection_made(self, transport):
        self.transport = transport
        if self.line is not None:
            self.line.readers.add(transport)
            if self.line.paused:
                transport.pause_reading()

    def push(self, data):
        if self.line is None:
            self.out.push(data)
        else:
            self.line.push(self.out, data)

    def get_buffer(self, sizehint):
        return self.buffer

    def buffer_updated(self, nbytes):
        self.push(bytes(self.buffer[:nbytes]))

    def eof_received(self):
        self.push(b"")
        return True  # half-closed: the other way goes on

    def connection_lost(self, exc):
        if self.line is not None:
            self.line.readers.discard(self.transport)
        self.push(None)


class Relay:
    def __init__(self, loop, upstream_port, delay, line=None):
        self.loop = loop
        self.upstream_port = upstream_port
        self.delay = delay
        self.line = line
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
                    lambda: Side(down, self.line), "127.0.0.1", self.upstream_port)
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
    parser = argparse.ArgumentParser(prog="delay_relay.py")
    parser.add_argument("upstream_port", type=int)
    parser.add_argument("delay_ms", type=float, nargs="?", default=40.0)
    parser.add_argument("--rate", type=float, default=0, help="bytes a second toward the client")
    parser.add_argument("--queue", type=float, default=2.0, help="seconds of the line queued")
    options = parser.parse_args()
    loop = asyncio.new_event_loop()
    line = Line(loop, options.rate, options.queue) if options.rate > 0 else None
    relay = Relay(loop, options.upstream_port, options.delay_ms / 1000.0, line)
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
