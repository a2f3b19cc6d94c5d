"""The renderer service (xad.preview.api.IHPGLRenderer, bound as
"hpgsRenderer"): one method per remote method, arguments in wire order.

Streams are LocalStream objects (or ByteArrayMimeInputStream values, or a
RemoteStream the daemon returned earlier); angles are ints in degrees,
resolutions floats in dots per inch, stamps str or None, annotation and
property lists Python lists (java.util.List) or None.
"""

import random
import time

from .connection import Connection, DEFAULT_PORT
from .types import Timeout

TARGET = "hpgsRenderer"


def _int(v):
    if isinstance(v, bool) or not isinstance(v, int):
        raise TypeError("an int is needed, not %r" % (v,))
    return v


def _double(v):
    return float(v)


def _bool(v):
    if not isinstance(v, bool):
        raise TypeError("a bool is needed, not %r" % (v,))
    return v


class Renderer:
    """Calls of the renderer service over one connection."""

    def __init__(self, host="127.0.0.1", port=DEFAULT_PORT, connection=None, call_timeout=None):
        self.connection = connection or Connection(host, port)
        self.call_timeout = call_timeout

    def close(self):
        self.connection.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _call(self, method, *args):
        return self.connection.call(TARGET, method, list(args) if args else None, timeout=self.call_timeout)

    def getLoadFactor(self):
        return self._call("getLoadFactor")

    def getBoundingBox(self, input):
        return self._call("getBoundingBox", input)

    def getPageBoundingBoxes(self, input):
        return self._call("getPageBoundingBoxes", input)

    def seekPattern(self, input, pattern, angle):
        return self._call("seekPattern", input, pattern, _int(angle))

    def insertAnnotations(self, input, angle, stamp, annotations):
        return self._call("insertAnnotations", input, _int(angle), stamp, annotations)

    def mergeWithAnnotations(self, input1, angle1, input2, angle2, annotations, stamp):
        return self._call("mergeWithAnnotations", input1, _int(angle1), input2, _int(angle2), annotations, stamp)

    def mergePdfWithAnnotations(self, input1, angle1, input2, angle2, annotations, stamp, properties):
        return self._call("mergePdfWithAnnotations", input1, _int(angle1), input2, _int(angle2), annotations, stamp,
                          properties)

    def comparePngByResolution(self, input1, angle1, input2, angle2, resolution, antialias):
        return self._call("comparePngByResolution", input1, _int(angle1), input2, _int(angle2), _double(resolution),
                          _bool(antialias))

    def comparePngByPixelSize(self, input1, angle1, input2, angle2, pixel_size, antialias):
        return self._call("comparePngByPixelSize", input1, _int(angle1), input2, _int(angle2), _int(pixel_size),
                          _bool(antialias))

    def comparePngTileByResolution(self, input1, tile1, input2, tile2, resolution, antialias, width, height):
        return self._call("comparePngTileByResolution", input1, tile1, input2, tile2, _double(resolution),
                          _bool(antialias), _int(width), _int(height))

    def renderPngByResolution(self, input, resolution, antialias=True, angle=0, stamp=None, annotations=None):
        return self._call("renderPngByResolution", input, _double(resolution), _bool(antialias), _int(angle), stamp,
                          annotations)

    def renderPngPageByResolution(self, input, page, resolution, antialias=True, angle=0, stamp=None,
                                  annotations=None):
        return self._call("renderPngPageByResolution", input, _int(page), _double(resolution), _bool(antialias),
                          _int(angle), stamp, annotations)

    def renderPngByPixelSize(self, input, pixel_size, antialias=True, angle=0, stamp=None, annotations=None):
        return self._call("renderPngByPixelSize", input, _int(pixel_size), _bool(antialias), _int(angle), stamp,
                          annotations)

    def renderPngTileByResolution(self, input, resolution, antialias, tile, stamp=None, annotations=None):
        return self._call("renderPngTileByResolution", input, _double(resolution), _bool(antialias), tile, stamp,
                          annotations)

    def renderPdf(self, input, properties=None, angle=0, stamp=None, annotations=None):
        return self._call("renderPdf", input, properties, _int(angle), stamp, annotations)


# A Timeout answered within this time did not wait for a job: the daemon
# refused a new one because every worker was busy.
QUICK_TIMEOUT = 1.0


def retry_pause(waited, first_pause=0.012, max_pause=0.5, steady_for=0.6, rng=random):
    """The pause (seconds) before asking again for a request that the daemon
    first refused `waited` seconds ago: first_pause while the request has
    waited up to steady_for seconds, then growing in proportion to the wait
    up to max_pause; times a factor drawn from [0.5, 1.5], so that clients
    refused together do not all come back at the same instant. A refusal
    costs the daemon about 0.1 ms, a worker left idle a whole job; the
    growth keeps a crowd of waiting clients from keeping the daemon busy
    refusing."""
    waited = max(waited, 0.0)
    middle = first_pause if waited <= steady_for else min(first_pause * waited / steady_for, max_pause)
    return middle * rng.uniform(0.5, 1.5)


def repeat_on_timeout(call, attempts=None, first_pause=0.012, max_pause=0.5, max_wait=300.0):
    """Runs call() until it does not raise Timeout; the daemon's job goes on
    after a Timeout and the repeated call finds its result (or joins the job
    still running). A Timeout that came back at once (every worker busy) is
    asked again after retry_pause(); one that came after a wait for the job
    is asked again at once. The last Timeout is raised after `attempts` tries
    (None: no limit) or once max_wait seconds have passed."""
    start = time.monotonic()
    first_refusal = None
    attempt = 0
    while True:
        attempt += 1
        called = time.monotonic()
        try:
            return call()
        except Timeout:
            now = time.monotonic()
            if (attempts is not None and attempt >= attempts) or now - start >= max_wait:
                raise
            if now - called < QUICK_TIMEOUT:
                if first_refusal is None:
                    first_refusal = called
                time.sleep(retry_pause(now - first_refusal, first_pause, max_pause))
            else:
                first_refusal = None
