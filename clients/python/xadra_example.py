#!/usr/bin/python3
"""Renders a drawing through a running xadrad: a PNG, a PDF and its bounding box.

    xadra_example.py [--host 127.0.0.1] [--port 3455] [--resolution 72] [--out DIR] FILE...

FILE is an HP-GL/2 file or a PDF document (by its extension). The results
are written next to the input (or into DIR) as NAME.png and NAME.pdf; the
bounding box is printed in points from the drawing's lower-left corner.
A Timeout is answered by asking again: the daemon's job goes on meanwhile.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import xadra  # noqa: E402


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    print("%s: %d bytes written." % (path, len(data)))


def render(renderer, path, out_dir, resolution):
    mime = xadra.mime_type_for(path)
    base = os.path.join(out_dir or os.path.dirname(path), os.path.splitext(os.path.basename(path))[0])

    def stream():
        # A new stream object for every call: the daemon releases each one
        # when it has done with it.
        return xadra.FileStream(path, mime)

    png = xadra.repeat_on_timeout(lambda: renderer.renderPngByResolution(stream(), resolution, True, 0, None, None))
    write(base + ".png", png.read_all())
    pdf = xadra.repeat_on_timeout(lambda: renderer.renderPdf(stream(), None, 0, None, None))
    write(base + ".pdf", pdf.read_all())
    box = xadra.repeat_on_timeout(lambda: renderer.getBoundingBox(stream()))
    print("%s: bounding box llx=%g lly=%g urx=%g ury=%g angle=%d user unit=%g" %
          (path, box.llx, box.lly, box.urx, box.ury, box.angle, box.userUnit))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=xadra.DEFAULT_PORT)
    p.add_argument("--resolution", type=float, default=72.0, help="PNG resolution in dots per inch")
    p.add_argument("--out", help="directory for the results (default: next to each input)")
    p.add_argument("files", nargs="+")
    a = p.parse_args(argv)
    status = 0
    try:
        renderer = xadra.Renderer(a.host, a.port)
    except OSError as e:
        print("Cannot connect to %s:%d: %s" % (a.host, a.port, e), file=sys.stderr)
        return 2
    with renderer:
        print("Load factor of the daemon: %d" % renderer.getLoadFactor())
        for f in a.files:
            try:
                render(renderer, f, a.out, a.resolution)
            except xadra.RemoteException as e:
                print("%s: %s (category %d, level %d)" % (f, e, e.category, e.level), file=sys.stderr)
                status = 1
            except OSError as e:
                print("%s: %s" % (f, e), file=sys.stderr)
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
