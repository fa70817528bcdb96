"""Reaching a Dask scheduler: one deadline over connecting and the handshake, one line on failure.

Before a `Client` is made, the address is checked. On tcp://, it is probed with a
plain socket: a Dask scheduler sends its handshake (a small framed message) as soon
as it accepts a connection. A refused or unreachable address, a listener that stays
silent (for example the dashboard's HTTP port) or a peer that sends anything but a
Dask frame is reported at once, or when the deadline passes, as a `DedupError`. The
other protocols over TCP (tls://, ws://, wss://) wrap the Dask frames in a handshake
of their own, so for them the port must at least accept a connection; an inproc://
address must have a listener in this process; a scheme Dask does not know is refused
with the ones it does. A client that fails to start is closed at once.
"""

from __future__ import annotations

import contextlib
import logging
import socket
import struct
import time
from collections.abc import Iterator
from urllib.parse import urlsplit

from distributed import Client

from ..errors import DedupError

DEFAULT_PORT = 8786
MAX_HANDSHAKE_BYTES = 1 << 20
MAX_HANDSHAKE_FRAMES = 64
OVER_TCP = ("tcp", "tls", "ws", "wss")  # the schemes whose connections are TCP connections


def _scheme(address: str) -> tuple[str, str]:
    """(scheme, the rest of the address); tcp when none is given, as Dask takes it."""
    scheme, sep, rest = address.partition("://")
    return (scheme, rest) if sep else ("tcp", address)


def _host_port(address: str) -> tuple[str, int]:
    scheme, rest = _scheme(address)
    try:
        parts = urlsplit("//" + rest)
        port = parts.port
    except ValueError:
        port, parts = None, None
    if parts is None or not parts.hostname or parts.path not in ("", "/"):
        raise DedupError(f"{address}: not a scheduler address (expected {scheme}://HOST:PORT)")
    return parts.hostname, port or DEFAULT_PORT


def _check_scheme(address: str, scheme: str) -> None:
    from distributed.comm.registry import backends, get_backend

    try:
        get_backend(scheme)
    except ValueError:
        known = ", ".join(f"{name}://" for name in sorted(backends))
        raise DedupError(f"{address}: Dask has no protocol '{scheme}' (it knows {known})") from None


def _fail(address: str, why: str) -> DedupError:
    return DedupError(f"cannot reach the Dask scheduler at {address}: {why}")


def _receive(sock: socket.socket, size: int, deadline: float, address: str) -> bytes:
    data = bytearray()
    while len(data) < size:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError
        sock.settimeout(left)
        chunk = sock.recv(min(size - len(data), 65536))
        if not chunk:
            raise _fail(address, "the connection was closed before a Dask handshake arrived")
        data += chunk
    return bytes(data)


def probe(address: str, timeout: float) -> None:
    """Returns when a Dask scheduler answers at `address` within `timeout` seconds (on tcp://), or when
    the address may hold one (other schemes, see above); else a DedupError."""
    scheme, rest = _scheme(address)
    _check_scheme(address, scheme)
    if scheme == "inproc":
        from distributed.comm.inproc import global_manager

        try:
            listening = global_manager.get_listener_for(rest) is not None
        except ValueError:  # another process's address, or not an inproc address at all
            listening = False
        if not listening:
            raise _fail(
                address, "nothing listens at this address in this process (inproc:// reaches only its own process)"
            )
        return
    if scheme not in OVER_TCP:
        return  # left to Dask's own timeout
    where = _host_port(address)
    deadline = time.monotonic() + timeout
    try:
        sock = socket.create_connection(where, timeout=timeout)
    except TimeoutError:
        raise _fail(address, f"no connection within {timeout:g} s") from None
    except OSError as exc:
        raise _fail(address, exc.strerror or str(exc)) from None
    if scheme != "tcp":
        sock.close()  # its own handshake comes first: the client makes it
        return
    with sock:
        try:
            (size,) = struct.unpack("<Q", _receive(sock, 8, deadline, address))
            if not 16 <= size <= MAX_HANDSHAKE_BYTES:
                raise _fail(address, "the peer does not speak the Dask protocol (not a Dask scheduler)")
            body = _receive(sock, size, deadline, address)
        except TimeoutError:
            raise _fail(
                address,
                f"it accepts connections but sent no Dask handshake within {timeout:g} s "
                f"(not a Dask scheduler; is it the dashboard's port? schedulers listen on {DEFAULT_PORT} by default)",
            ) from None
        except OSError as exc:
            raise _fail(address, exc.strerror or str(exc)) from None
    (frames,) = struct.unpack_from("<Q", body)
    if not 1 <= frames <= MAX_HANDSHAKE_FRAMES or 8 * (frames + 1) > size:
        raise _fail(address, "the peer does not speak the Dask protocol (not a Dask scheduler)")


@contextlib.contextmanager
def _quiet_client_teardown() -> Iterator[None]:
    """Keeps distributed's own log lines about a failed connection off the console."""
    loggers = [logging.getLogger(name) for name in ("distributed.client", "distributed.comm.core")]
    levels = [log.level for log in loggers]
    for log in loggers:
        log.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        for log, level in zip(loggers, levels):
            log.setLevel(level)


def _start_client(address: str, timeout: float) -> Client:
    """A started client of `address`, or the error that stopped it once the client is closed.

    A `Client` whose start fails is left half made, reachable only from the garbage
    collector; its `__del__` then closes it, at the latest at interpreter exit, when
    its event loop is gone: it waits out twice the timeout and prints a traceback.
    Made here in two steps, the client is ours to close while its loop still runs,
    which is quick and quiet."""
    client = Client.__new__(Client)
    try:
        client.__init__(address, timeout=timeout, set_as_default=False)  # type: ignore[misc]
    except BaseException:
        with contextlib.suppress(Exception):
            client.close(timeout=timeout)
        raise
    return client


def open_client(address: str, timeout: float) -> Client:
    """A client of the scheduler at `address`, connected within `timeout` seconds, or a DedupError."""
    if timeout <= 0:
        raise ValueError(f"the connection timeout must be positive, got {timeout}")
    started = time.monotonic()
    probe(address, timeout)
    left = max(timeout - (time.monotonic() - started), 1.0)
    try:
        with _quiet_client_teardown():
            return _start_client(address, left)
    except Exception as exc:  # any failure to start is a failure to reach it (a bad TLS setup, say)
        raise _fail(address, str(exc).splitlines()[0] if str(exc) else type(exc).__name__) from None


LOCAL_PER_CPU = 4  # a local cluster may have at most this many worker processes, or threads per worker, per CPU


def check_local_cluster(workers: int | None, threads_per_worker: int | None, cpus: int) -> None:
    """Refuses local cluster sizes that cannot work: below one, or beyond a few per CPU (ValueError)."""
    most = LOCAL_PER_CPU * max(1, cpus)
    for name, value in (("workers", workers), ("threads per worker", threads_per_worker)):
        if value is not None and not 1 <= value <= most:
            raise ValueError(f"{name} must be between 1 and {most} ({LOCAL_PER_CPU} per CPU available), got {value}")
