"""Input and result streams (xad.preview.api.IMimeInputStream).

LocalStream and its subclasses are documents on this side: passed as an
argument they cross by reference and the daemon reads them through calls
back (readBlock and the getters). Keep the connection open, and the object
alive, until the daemon releases it (the connection does both).

RemoteStream is a result of the daemon: read it with read_all(), or with
readBlock() until an empty block, then close() it.
"""

import os
import threading
import time
import zlib

from . import types
from .connection import RemoteObject
from .wire import Long

STREAM_INTERFACE = "xad.preview.api.IMimeInputStream"
MAX_BLOCK = 65536
DEFAULT_BLOCK = 1024


class LocalStream:
    """A document served to the daemon by reference.

    identity: unique_name and timestamp (seconds since 1970 UTC) are the
    daemon's cache identity of the document. The daemon never compares
    content: new bytes under an old unique name and timestamp give the old
    result. Change the name or the timestamp whenever the bytes change."""

    REMOTE_INTERFACE = STREAM_INTERFACE
    REMOTE_METHODS = {"close": 0, "getMimeType": 0, "getPrettyName": 0, "getStreamSize": 0, "getTimestamp": 0,
                      "getUniqueName": 0, "readBlock": 1}
    RELEASE_METHOD = "close"

    def __init__(self, unique_name, pretty_name, mime_type, timestamp, size):
        self.unique_name = unique_name
        self.pretty_name = pretty_name
        self.mime_type = mime_type
        self.timestamp = float(timestamp)
        self.size = int(size)
        self.closed = False
        self.blocks_read = 0
        self._lock = threading.Lock()

    # The remote methods, named as on the wire.
    def getUniqueName(self):
        return self.unique_name

    def getPrettyName(self):
        return self.pretty_name

    def getMimeType(self):
        return self.mime_type

    def getTimestamp(self):
        return self.timestamp

    def getStreamSize(self):
        return Long(self.size)

    def readBlock(self, max_length):
        if not isinstance(max_length, int) or isinstance(max_length, bool):
            raise types.RemoteError("Cannot unbox object of type %s as java.lang.Integer." % type(max_length).__name__,
                                    category=1)
        n = DEFAULT_BLOCK if max_length < 0 else min(max_length, MAX_BLOCK)
        with self._lock:
            if self.closed:
                raise types.PreviewIOError("Stream [%s] has been closed." % self.pretty_name)
            self.blocks_read += 1
            return bytes(self._read(n))

    def close(self):
        with self._lock:
            if not self.closed:
                self.closed = True
                self._close()

    def _read(self, n):
        raise NotImplementedError

    def _close(self):
        pass


class BytesStream(LocalStream):
    """A document held in memory. The unique name defaults to the CRC-32 of
    the bytes ("%08x"), the timestamp to now."""

    def __init__(self, data, mime_type, pretty_name="data", unique_name=None, timestamp=None):
        data = bytes(data)
        super().__init__(unique_name if unique_name is not None else "%08x" % zlib.crc32(data), pretty_name,
                         mime_type, time.time() if timestamp is None else timestamp, len(data))
        self._data = data
        self._pos = 0

    def _read(self, n):
        block = self._data[self._pos:self._pos + n]
        self._pos += len(block)
        return block

    def _close(self):
        self._data = b""


class FileStream(LocalStream):
    """A file read block by block. The unique name defaults to the file's
    absolute path, the pretty name to its base name, the timestamp to its
    modification time in whole seconds."""

    def __init__(self, path, mime_type, unique_name=None, pretty_name=None):
        self._file = open(path, "rb")
        st = os.fstat(self._file.fileno())
        super().__init__(unique_name or os.path.abspath(path), pretty_name or os.path.basename(path), mime_type,
                         int(st.st_mtime), st.st_size)

    def _read(self, n):
        return self._file.read(n)

    def _close(self):
        self._file.close()


def mime_type_for(path):
    """The MIME type the daemon expects for a file name: PDF by extension,
    FDF by extension, HPGL/2 for everything else."""
    lower = path.lower()
    if lower.endswith(".pdf"):
        return types.MIME_PDF
    if lower.endswith(".fdf"):
        return types.MIME_FDF
    return types.MIME_HPGL


class RemoteStream(RemoteObject):
    """A stream the daemon exported (every stream result)."""

    def getMimeType(self):
        return self.invoke("getMimeType")

    def getPrettyName(self):
        return self.invoke("getPrettyName")

    def getUniqueName(self):
        return self.invoke("getUniqueName")

    def getTimestamp(self):
        return float(self.invoke("getTimestamp"))

    def getStreamSize(self):
        return int(self.invoke("getStreamSize"))

    def readBlock(self, max_length=MAX_BLOCK):
        return self.invoke("readBlock", int(max_length))

    def close(self):
        """Closes the daemon's stream and releases this proxy."""
        try:
            if not self.released:
                self.invoke("close")
        finally:
            self.release()

    def read_all(self, block=MAX_BLOCK):
        """Reads to the end, closes and releases; returns the bytes."""
        parts = []
        try:
            while True:
                b = self.readBlock(block)
                if not b:
                    break
                parts.append(b)
        finally:
            self.close()
        return b"".join(parts)
