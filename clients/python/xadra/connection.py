"""One TCP connection to xadrad: calls in both directions, references.

The connection reads frames on its own thread. Calls from the daemon (the
daemon reads a client's input streams through them) run on a small thread
pool, so a call of ours may wait for its reply while the daemon calls back.

Thread-safety: call() may be used from several threads at once; each waits
for its own reply.
"""

import itertools
import socket
import struct
import threading
from concurrent.futures import ThreadPoolExecutor

from . import types
from .wire import CALL, ERROR, RELEASE, REPLY, Codec, ProtocolError, pack_frame, unpack_payload, MAX_FRAME_BYTES

DEFAULT_PORT = 3455


class ConnectionLost(Exception):
    """The connection closed before the call was answered, or is closed."""


class CallTimeout(Exception):
    """No reply within the caller's own time limit; a late reply is dropped."""


class RemoteObject:
    """A proxy of an object that the daemon exported (a result stream).

    The daemon keeps the object until release() tells it how many references
    this side received; closing the connection releases everything."""

    def __init__(self, connection, object_id, interface):
        self.connection = connection
        self.object_id = object_id
        self.interface = interface
        self.REMOTE_INTERFACE = interface  # sent back as ["@back", id]
        self.received = 0
        self.released = False

    def invoke(self, method, *args):
        return self.connection.call_object(self.object_id, method, list(args) if args else None)

    def release(self):
        self.connection._release_import(self)

    def __repr__(self):
        return "<%s %s #%d>" % (type(self).__name__, self.interface, self.object_id)


class _Pending:
    __slots__ = ("event", "ok", "value", "abandoned")

    def __init__(self):
        self.event = threading.Event()
        self.ok = False
        self.value = None
        self.abandoned = False


class Connection:
    """A connection to the daemon at host:port.

    proxy_factory(connection, id, interface) makes proxies of the daemon's
    objects; the default makes a RemoteStream for IMimeInputStream."""

    def __init__(self, host="127.0.0.1", port=DEFAULT_PORT, connect_timeout=10.0, workers=4, proxy_factory=None,
                 trace=None):
        self._sock = socket.create_connection((host, port), timeout=connect_timeout)
        self._sock.settimeout(None)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.peer = "%s:%d" % (host, port)
        self._codec = Codec(types.registry, self)
        self._send_lock = threading.Lock()
        self._lock = threading.Lock()
        self._ids = itertools.count(1)
        self._pending = {}
        self._exports = {}  # id -> [object, references sent and not released]
        self._export_ids = {}  # id(object) -> export id
        self._next_export = itertools.count(1)
        self._imports = {}  # id -> RemoteObject
        self._open = True
        self._close_reason = None
        self._proxy_factory = proxy_factory or _default_proxy
        # trace(direction, message, frame): called with ">" for every frame
        # sent and "<" for every frame received (for debugging).
        self._trace = trace
        self._pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="xadra-callback")
        self._reader = threading.Thread(target=self._read_loop, name="xadra-reader", daemon=True)
        self._reader.start()

    # ------------------------------------------------------------------ calls

    def call(self, target, method, args=None, timeout=None):
        """Calls method on the object bound under the name target (a str) and
        returns the decoded result. args: a list of values, or None for no
        argument array. Raises the peer's exception (a RemoteException
        subclass), ConnectionLost or CallTimeout."""
        return self._call(target, method, args, timeout)

    def call_object(self, object_id, method, args=None, timeout=None):
        """Calls method on an object the daemon exported to us."""
        return self._call(object_id, method, args, timeout)

    def _call(self, target, method, args, timeout):
        p = _Pending()
        with self._lock:
            if not self._open:
                raise ConnectionLost("connection to %s is closed: %s" % (self.peer, self._close_reason))
            call_id = next(self._ids)
            self._pending[call_id] = p
        try:
            encoded = None if args is None else [self._codec.encode(a, 1) for a in args]
            self._send([CALL, call_id, target, method, encoded])
        except BaseException:
            with self._lock:
                self._pending.pop(call_id, None)
            raise
        if not p.event.wait(timeout):
            with self._lock:
                p.abandoned = True
            raise CallTimeout("no reply to %s within %s s" % (method, timeout))
        if p.ok:
            return p.value
        raise p.value

    def ping(self):
        return self.call("sessionContext", "ping")

    def peer_address(self):
        """The client's address as the daemon sees it."""
        return self.call("sessionContext", "getPeerAddress")

    def echo(self, value):
        """A value round trip through the daemon's "return" object."""
        return self.call("return", "echo", [value])

    def _send(self, message):
        frame = pack_frame(message)
        if self._trace:
            self._trace(">", message, frame)
        with self._send_lock:
            if not self._open:
                raise ConnectionLost("connection to %s is closed: %s" % (self.peer, self._close_reason))
            try:
                self._sock.sendall(frame)
            except OSError as e:
                raise ConnectionLost("cannot send to %s: %s" % (self.peer, e)) from None

    # ------------------------------------------------------------- references

    def export_reference(self, obj):
        if isinstance(obj, RemoteObject):
            if obj.connection is not self:
                raise ValueError("a proxy of another connection cannot be sent on this one")
            return True, obj.object_id
        with self._lock:
            if not self._open:
                raise ConnectionLost("connection to %s is closed: %s" % (self.peer, self._close_reason))
            ref_id = self._export_ids.get(id(obj))
            if ref_id is None:
                ref_id = next(self._next_export)
                self._export_ids[id(obj)] = ref_id
                self._exports[ref_id] = [obj, 0]
            self._exports[ref_id][1] += 1
            return False, ref_id

    def import_reference(self, object_id, interface):
        with self._lock:
            proxy = self._imports.get(object_id)
            if proxy is None:
                proxy = self._proxy_factory(self, object_id, interface)
                self._imports[object_id] = proxy
            proxy.received += 1
            return proxy

    def exported_object(self, object_id):
        with self._lock:
            e = self._exports.get(object_id)
        if e is None:
            raise ProtocolError("back-reference to unknown object %d" % object_id)
        return e[0]

    def export_count(self):
        with self._lock:
            return len(self._exports)

    def import_count(self):
        with self._lock:
            return len(self._imports)

    def _release_import(self, proxy):
        with self._lock:
            if self._imports.get(proxy.object_id) is not proxy:
                return
            del self._imports[proxy.object_id]
            count = proxy.received
            proxy.released = True
            if not self._open:
                return
        try:
            self._send([RELEASE, proxy.object_id, count])
        except ConnectionLost:
            pass  # the daemon releases everything of a closed connection

    def _handle_release(self, object_id, count):
        with self._lock:
            e = self._exports.get(object_id)
            if e is None:
                raise ProtocolError("release of unknown object %d" % object_id)
            if count > e[1]:
                raise ProtocolError("release of more references than sent")
            e[1] -= count
            if e[1] > 0:
                return
            del self._exports[object_id]
            del self._export_ids[id(e[0])]
        _run_release(e[0])

    # ---------------------------------------------------------------- reading

    def _read_loop(self):
        reason = "closed by the peer"
        try:
            while True:
                head = self._read_exactly(4)
                if head is None:
                    break
                (length,) = struct.unpack(">I", head)
                if length > MAX_FRAME_BYTES:
                    reason = "message of %d bytes exceeds the frame limit" % length
                    break
                payload = self._read_exactly(length)
                if payload is None:
                    reason = "connection lost in the middle of a message"
                    break
                message = unpack_payload(payload)
                if self._trace:
                    self._trace("<", message, head + payload)
                self._handle(message)
        except ProtocolError as e:
            reason = "protocol error: %s" % e
        except OSError as e:
            reason = str(e)
        except Exception as e:  # a value this side cannot represent: treated as a protocol error
            reason = "protocol error: %s: %s" % (type(e).__name__, e)
        self._shut(reason)

    def _read_exactly(self, n):
        chunks = []
        while n > 0:
            try:
                b = self._sock.recv(min(n, 1 << 20))
            except OSError:
                if not self._open:
                    return None
                raise
            if not b:
                return None
            chunks.append(b)
            n -= len(b)
        return b"".join(chunks)

    def _handle(self, m):
        kind = m[0]
        if kind == CALL:
            if len(m) != 5 or not _unsigned(m[1]) or not isinstance(m[3], str):
                raise ProtocolError("malformed call")
            if not (isinstance(m[2], str) or _unsigned(m[2])):
                raise ProtocolError("call target is neither a name nor an object id")
            if m[4] is not None and not isinstance(m[4], list):
                raise ProtocolError("call arguments are neither an array nor nil")
            args = None if m[4] is None else [self._codec.decode(a, 1) for a in m[4]]
            self._pool.submit(self._serve, m[1], m[2], m[3], args)
        elif kind in (REPLY, ERROR):
            if (kind == REPLY and len(m) != 3) or (kind == ERROR and len(m) != 5) or not _unsigned(m[1]):
                raise ProtocolError("malformed reply")
            with self._lock:
                p = self._pending.pop(m[1], None)
            if p is None:
                raise ProtocolError("reply to unknown call %r" % m[1])
            try:
                if kind == REPLY:
                    p.ok, p.value = True, self._codec.decode(m[2], 1)
                else:
                    t = self._codec.decode(m[4], 1)
                    if not isinstance(t, types.RemoteException):
                        t = types.RemoteError("The peer reported an error without a throwable.")
                    t.category, t.level = m[2], m[3]
                    p.ok, p.value = False, t
            except ProtocolError as e:
                p.ok, p.value = False, ConnectionLost("malformed reply from %s: %s" % (self.peer, e))
                p.event.set()
                raise
            p.event.set()
        elif kind == RELEASE:
            if len(m) != 3 or not _unsigned(m[1]) or not _unsigned(m[2]):
                raise ProtocolError("malformed release")
            self._handle_release(m[1], m[2])
        else:
            raise ProtocolError("unknown message kind %r" % kind)

    # ---------------------------------------------------------- serving calls

    def _serve(self, call_id, target, method, args):
        try:
            if isinstance(target, str):
                raise types.RemoteError("No object is bound under the name [%s]." % target, category=1)
            with self._lock:
                e = self._exports.get(target)
            if e is None:
                raise types.RemoteError("Call of %s on object %d, which is no longer exported." % (method, target),
                                        category=1)
            result = dispatch(e[0], method, args)
            reply = [REPLY, call_id, self._codec.encode(result, 1)]
        except types.RemoteException as t:
            reply = self._error_frame(call_id, t)
        except Exception as ex:  # a failure of the local object: reported, not raised
            reply = self._error_frame(call_id, types.RemoteError("%s: %s" % (type(ex).__name__, ex), category=1))
        try:
            self._send(reply)
        except (ConnectionLost, ValueError, TypeError):
            pass

    def _error_frame(self, call_id, t):
        return [ERROR, call_id, t.category, t.level, self._codec.encode(t, 1)]

    # ---------------------------------------------------------------- closing

    def close(self):
        """Closes the socket; outstanding calls fail with ConnectionLost and
        every exported object is released (its close method runs)."""
        self._shut("closed by this side")
        if threading.current_thread() is not self._reader:
            self._reader.join(5)
        self._pool.shutdown(wait=False)

    def is_open(self):
        with self._lock:
            return self._open

    def _shut(self, reason):
        with self._lock:
            if not self._open:
                return
            self._open = False
            self._close_reason = reason
            pending, self._pending = self._pending, {}
            exports, self._exports = self._exports, {}
            self._export_ids = {}
            imports, self._imports = self._imports, {}
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._sock.close()
        for p in pending.values():
            p.ok, p.value = False, ConnectionLost("connection to %s lost during the call: %s" % (self.peer, reason))
            p.event.set()
        for proxy in imports.values():
            proxy.released = True
        for obj, _ in exports.values():
            _run_release(obj)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _unsigned(v):
    return isinstance(v, int) and not isinstance(v, bool) and v >= 0


def _run_release(obj):
    release = getattr(obj, "RELEASE_METHOD", None)
    if release:
        try:
            getattr(obj, release)()
        except Exception:
            pass


def dispatch(obj, method, args):
    """Runs a call on a local exported object through its REMOTE_METHODS
    table (method name -> argument count); wrong names and counts fail the
    way the daemon's dispatch does (category 16)."""
    table = getattr(obj, "REMOTE_METHODS", {})
    iface = getattr(obj, "REMOTE_INTERFACE", "?").rsplit(".", 1)[-1]
    if method not in table:
        raise types.RemoteError("Invalid method %s specified in call to interface %s." % (method, iface))
    n = table[method]
    if n and (args is None or len(args) != n):
        raise types.RemoteError("Invalid number of arguments specified in call to %s::%s" % (iface, method))
    return getattr(obj, method)(*(args[:n] if n else ()))


def _default_proxy(connection, object_id, interface):
    from .streams import RemoteStream, STREAM_INTERFACE

    if interface == STREAM_INTERFACE:
        return RemoteStream(connection, object_id, interface)
    return RemoteObject(connection, object_id, interface)
