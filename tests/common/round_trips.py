#!/usr/bin/env python3
# A TCP proxy between a client and a server on this host that counts round
# trips and, when asked, delays them as a plant network would.
#
# A round trip is a reply after a request: on each connection, the first
# bytes the server sends after the client has sent anything since the
# server last spoke. So a client that sends several statements before it
# reads (a pipeline) makes one trip, and one that sends and never waits for
# an answer (libpq's goodbye) makes none. The total over every connection
# is written to COUNT-FILE before the reply that made it is passed on, so
# the client never sees a reply its trip is not counted for yet.
#
# With --delay-ms D each direction's bytes are held D/2 ms before they are
# passed on, in the order they came: D ms of round trip on top of
# loopback's.
#
# Prints the port it listens on (127.0.0.1, chosen by the system) as one
# line once it listens, and runs until killed.
# Usage: round_trips.py --to HOST:PORT [--count-file FILE] [--delay-ms D]
import argparse
import collections
import os
import socket
import sys
import threading
import time


class Counter:
    def __init__(self, path):
        self.path = path
        self.trips = 0
        self.lock = threading.Lock()
        self.write()

    def add(self):
        with self.lock:
            self.trips += 1
            self.write()

    def write(self):
        if self.path is None:
            return
        with open(self.path + ".new", "w") as out:
            out.write("%d\n" % self.trips)
        # Renamed into place: a reader never sees a half-written count.
        os.replace(self.path + ".new", self.path)


class Connection:
    """Both directions of one client's connection."""

    def __init__(self, client, server, counter, delay):
        self.client, self.server = client, server
        self.counter, self.delay = counter, delay
        self.asked = False  # the client spoke since the server last did
        self.lock = threading.Lock()

    def start(self):
        for source, target, upstream in ((self.client, self.server, True), (self.server, self.client, False)):
            held = collections.deque()
            ready = threading.Condition()
            threading.Thread(target=self.read, args=(source, target, upstream, held, ready), daemon=True).start()
            if self.delay > 0:
                threading.Thread(target=self.send_late, args=(target, held, ready), daemon=True).start()

    def turn(self, upstream):
        with self.lock:
            if upstream:
                self.asked = True
            elif self.asked:
                self.asked = False
                self.counter.add()

    def read(self, source, target, upstream, held, ready):
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if data:
                self.turn(upstream)
            if self.delay == 0:
                if not data:
                    self.close(target)
                    return
                try:
                    target.sendall(data)
                except OSError:
                    self.close(source)
                    return
                continue
            with ready:
                held.append((time.monotonic() + self.delay / 2, data))
                ready.notify()
            if not data:
                return

    def send_late(self, target, held, ready):
        while True:
            with ready:
                while not held:
                    ready.wait()
                due, data = held.popleft()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if not data:
                self.close(target)
                return
            try:
                target.sendall(data)
            except OSError:
                return

    @staticmethod
    def close(sock):
        try:
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--to", required=True, help="HOST:PORT of the server")
    parser.add_argument("--count-file")
    parser.add_argument("--delay-ms", type=float, default=0)
    args = parser.parse_args()
    host, port = args.to.rsplit(":", 1)
    counter = Counter(args.count_file)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print(listener.getsockname()[1], flush=True)
    sys.stdout.close()
    while True:
        client, _ = listener.accept()
        try:
            server = socket.create_connection((host, int(port)))
        except OSError:
            client.close()
            continue
        for sock in (client, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        Connection(client, server, counter, args.delay_ms / 1000.0).start()


if __name__ == "__main__":
    main()
