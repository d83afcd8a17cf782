"""Real redis-server processes for the ratevane_redis tests: each on a free
loopback port in a temporary folder, with no persistence and no system
service; a 3-master cluster made by `redis-cli --cluster create`; and a TCP
proxy that can drop one reply or hold replies back for a while."""

import os
import select
import signal
import socket
import subprocess
import threading
import time
import uuid

import pytest

redis = pytest.importorskip("redis")
import redis.asyncio  # noqa: E402
import redis.cluster  # noqa: E402
from redis.backoff import ConstantBackoff  # noqa: E402
from redis.asyncio.retry import Retry as AsyncRetry  # noqa: E402
from redis.retry import Retry  # noqa: E402

import ratevane_redis  # noqa: E402,F401  (fails the module early when missing)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fast_retry(retries=1, kind=Retry):
    """Clients in the tests retry once, at once: redis-py's default backoff
    would spend seconds per fault."""
    return kind(ConstantBackoff(0.01), retries)


def budget_name():
    return "t" + uuid.uuid4().hex[:12]


# The servers and redis-cli are not the module's code: in the sanitizer run
# they start without the sanitizer runtimes the test process preloads.
SERVER_ENV = {k: v for k, v in os.environ.items()
              if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")}


class Server:
    def __init__(self, where, port=None, *extra):
        self.dir = str(where)
        self.port = port or free_port()
        self.extra = list(extra)
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.dir, *self.extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=SERVER_ENV)
        probe = redis.Redis(port=self.port, socket_timeout=1)
        deadline = time.monotonic() + 10  # a guard: the server starts in milliseconds
        while True:
            try:
                probe.ping()
                return
            except redis.exceptions.ConnectionError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise RuntimeError(f"redis-server on {self.port} did not start")
                time.sleep(0.01)
            finally:
                probe.close()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(10)
        self.proc = None

    def client(self, **kw):
        kw.setdefault("retry", fast_retry())
        return redis.Redis(port=self.port, **kw)

    def async_client(self, **kw):
        kw.setdefault("retry", fast_retry(kind=AsyncRetry))
        return redis.asyncio.Redis(port=self.port, **kw)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    server = Server(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture
def own_server(tmp_path):
    """A server of the test's own, which it may stop and start."""
    server = Server(tmp_path)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    nodes = []
    try:
        for i in range(3):
            where = tmp_path_factory.mktemp(f"cluster{i}")
            nodes.append(Server(where, free_cluster_port(), "--cluster-enabled", "yes",
                                "--cluster-config-file", os.path.join(str(where), "nodes.conf")))
        subprocess.run(["redis-cli", "--cluster", "create",
                        *(f"127.0.0.1:{n.port}" for n in nodes), "--cluster-replicas", "0",
                        "--cluster-yes"], check=True, capture_output=True, timeout=60, env=SERVER_ENV)
        deadline = time.monotonic() + 30  # a guard: the nodes agree within a second or two
        for n in nodes:
            c = n.client()
            while not _cluster_ok(c):
                assert time.monotonic() < deadline, "the cluster did not come up"
                time.sleep(0.05)
            c.close()
        yield nodes
    finally:
        for n in nodes:
            n.stop()


def _cluster_ok(client):
    info = client.execute_command("CLUSTER INFO")  # parsed to a dict by some versions
    if isinstance(info, dict):
        return info.get("cluster_state", info.get(b"cluster_state")) in ("ok", b"ok")
    return "cluster_state:ok" in (info.decode() if isinstance(info, bytes) else info)


def free_cluster_port():
    """A free port whose cluster bus port (10000 above it) is free too."""
    while True:
        port = free_port()
        if port < 55000:
            try:
                with socket.socket() as s:
                    s.bind(("127.0.0.1", port + 10000))
                return port
            except OSError:
                pass


# What a script call holds on the wire, however the script is called.
SCRIPT_CALL = (b"EVAL", b"FCALL")


def _holds(data, containing):
    if containing is None:
        return True
    if isinstance(containing, bytes):
        return containing in data
    return any(c in data for c in containing)


class Proxy:
    """Forwards 127.0.0.1:port to a server. `drop_next_reply()` makes it
    throw away the next bytes the server sends on any connection and close
    that client connection, as a network that loses a reply does: the
    command has run on the server, the client never learns its answer.
    `drop_next_reply(after=SCRIPT_CALL)` loses only a reply to a request
    holding those bytes (or any of a tuple of them), so a subscriber's
    traffic meanwhile cannot take the loss. Setting `hold` delays every reply by that many seconds;
    `hold_next_reply(s)` delays only the next one, as a short blip would.
    `hold_next_request(s, containing=None)` delays the next request (with
    those bytes) on its way to the server, as a late packet does: the
    client may give up and send others that arrive first; `requests_held`
    counts the held ones delivered. `lose_next_request(containing)` throws
    the next such request away and keeps its connection open: the server
    never sees it, and the client waits for a reply until its own
    timeout."""

    def __init__(self, target_port):
        self.target = target_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self._drop = threading.Event()
        self._drop_after = None
        self._lock = threading.Lock()
        self.dropped = 0
        self.hold = 0.0
        self._hold_next = 0.0
        self._hold_request = 0.0
        self._hold_containing = None
        self.requests_held = 0
        self._lose_request = None
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def drop_next_reply(self, after=None):
        self._drop_after = after
        self._drop.set()

    def hold_next_request(self, seconds, containing=None):
        self._hold_containing = containing
        self._hold_request = seconds

    def lose_next_request(self, containing):
        self._lose_request = containing

    def _take_lost_request(self, data):
        with self._lock:
            if self._lose_request is None or not _holds(data, self._lose_request):
                return False
            self._lose_request = None
            return True

    def _take_drop(self, last_request):
        # One loss only, however many connections answer at the same moment.
        with self._lock:
            if not self._drop.is_set():
                return False
            if not _holds(last_request, self._drop_after):
                return False
            self._drop.clear()
            self.dropped += 1
            return True

    def hold_next_reply(self, seconds):
        self._hold_next = seconds

    def close(self):
        self._closed = True
        self.listener.close()

    def _accept(self):
        while not self._closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target))
            except OSError:  # the server is gone (stopped by a test, or at the end of the run)
                client.close()
                continue
            threading.Thread(target=self._pump, args=(client, upstream), daemon=True).start()

    def _pump(self, client, upstream):
        last_request = b""
        try:
            while True:
                readable, _, _ = select.select([client, upstream], [], [])
                if client in readable:
                    data = client.recv(65536)
                    if not data:
                        return
                    if self._take_lost_request(data):
                        continue
                    last_request = data
                    delay = 0.0
                    with self._lock:
                        if self._hold_request and _holds(data, self._hold_containing):
                            delay, self._hold_request = self._hold_request, 0.0
                    if delay:
                        time.sleep(delay)
                    upstream.sendall(data)
                    if delay:
                        self.requests_held += 1
                if upstream in readable:
                    data = upstream.recv(65536)
                    if not data:
                        return
                    if self._take_drop(last_request):
                        return  # the reply is lost and the connection goes
                    delay, self._hold_next = self.hold or self._hold_next, 0.0
                    if delay:
                        time.sleep(delay)
                    client.sendall(data)
        except OSError:
            return
        finally:
            client.close()
            upstream.close()


def keys_of(client, name):
    return sorted(k.decode() for k in client.keys(f"ratevane:{{{name}}}:*"))


def window_count(client, name, length):
    return int(client.hget(f"ratevane:{{{name}}}:w", f"c{length}") or 0)


def leases_held(client, name):
    """Leases not yet expired, by the server's clock."""
    seconds, micros = client.time()
    now_ms = int(seconds) * 1000 + int(micros) // 1000
    return client.zcount(f"ratevane:{{{name}}}:lease", f"({now_ms}", "+inf")


def numsub(client, channel):
    return dict(client.pubsub_numsub(channel)).get(channel.encode(), 0)


def wait_until(predicate, seconds=10):
    """Poll until predicate() holds; seconds is a hang guard."""
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline
        time.sleep(0.02)
