"""The Python client against a real xadrad (one daemon for the module, one
worker, so that a busy worker is easy to arrange)."""

import os
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)

import msgpack  # noqa: E402

import xadra  # noqa: E402
from daemon import Daemon  # noqa: E402

PROGRAM = os.environ.get("XADRAD")
DATA = os.environ.get("XAD_TEST_DATA", os.path.join(HERE, "..", "..", "..", "tests", "data"))
HPGL = os.path.join(DATA, "hpgl")
PDF = os.path.join(DATA, "pdf")

daemon = None

# Argument kinds of the renderer's methods in wire order: s stream, i int,
# d double, b boolean, t String, l List, x BoundingBoxWithAngle.
ARG_KINDS = {
    "comparePngByPixelSize": "sisiib", "comparePngByResolution": "sisidb", "comparePngTileByResolution": "sxsxdbii",
    "getBoundingBox": "s", "getPageBoundingBoxes": "s", "insertAnnotations": "sitl",
    "mergePdfWithAnnotations": "sisiltl", "mergeWithAnnotations": "sisilt", "renderPdf": "slitl",
    "renderPngByPixelSize": "sibitl", "renderPngByResolution": "sdbitl", "renderPngPageByResolution": "sidbitl",
    "renderPngTileByResolution": "sdbxtl", "seekPattern": "ssi",
}


def setUpModule():
    global daemon
    if not PROGRAM or not os.access(PROGRAM, os.X_OK):
        raise unittest.SkipTest("XADRAD does not name the xadrad program")
    daemon = Daemon(PROGRAM, workers=1, render_timeout=3).start()


def tearDownModule():
    if daemon:
        status = daemon.stop()
        if status != 0:
            raise AssertionError("xadrad ended with status %r" % status)


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", data[16:24])


def eventually(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def hpgl(name):
    return xadra.FileStream(os.path.join(HPGL, name), xadra.MIME_HPGL)


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.r = xadra.Renderer("127.0.0.1", daemon.port)
        self.conn = self.r.connection

    def tearDown(self):
        self.r.close()


class Framework(ClientTest):
    def test_framework_objects_and_value_round_trips(self):
        self.assertIsNone(self.conn.ping())
        self.assertTrue(self.conn.peer_address().startswith("127.0.0.1"))
        self.assertIsInstance(self.r.getLoadFactor(), int)
        self.assertEqual(self.r.getLoadFactor(), self.r.getLoadFactor())
        box = xadra.BoundingBoxWithAngle(angle=90, llx=0.5, lly=1, urx=144, ury=72, userUnit=1)
        values = [None, True, -7, 2 ** 31 - 1, xadra.Long(1 << 40), xadra.Long(3), 72.0, "a\0b", b"\x00\xff",
                  [1, [2, "x"]], xadra.ObjectArray("java.lang.Object", [1, None]), box,
                  [xadra.PDFProperty(type=xadra.PDFPropertyType.TITLE, value="t")]]
        for v in values:
            with self.subTest(value=v):
                back = self.conn.echo(v)
                self.assertEqual(back, v)
                self.assertIs(type(back), type(v))
        self.assertIsInstance(self.conn.echo(xadra.Long(3)), xadra.Long)
        self.assertIsInstance(self.conn.echo(72.0), float)

    def test_every_container_kind_nests_32_levels(self):
        def nested(levels, make):
            v = levels
            for _ in range(levels - 1):
                v = make(v)
            return v

        kinds = {
            "java.util.List": lambda v: [v],
            "object array": lambda v: xadra.ObjectArray("java.lang.Object", [v]),
            # A received field of another type than declared becomes null, so
            # the value types alternate with the arrays their field holds.
            "value type and array": lambda v: (
                xadra.PatternSeekResult(boundingBox=None, parameters=v) if isinstance(v, xadra.ObjectArray)
                else xadra.ObjectArray(xadra.PatternParameters.WIRE_NAME, [v])),
        }
        for name, make in kinds.items():
            with self.subTest(kind=name):
                v = nested(32, make)
                self.assertEqual(self.conn.echo(v), v)
                with self.assertRaises(ValueError):
                    self.conn.echo(nested(33, make))
        self.assertTrue(self.conn.is_open())

    def test_framework_errors_carry_category_1(self):
        with self.assertRaises(xadra.RemoteError) as e:
            self.conn.call("noSuchObject", "ping")
        self.assertEqual((e.exception.category, e.exception.level), (1, 3))
        self.assertEqual(e.exception.message, "No object is bound under the name [noSuchObject].")
        with self.assertRaises(xadra.RemoteError) as e:
            self.conn.call("sessionContext", "ping", [1])
        self.assertEqual(e.exception.category, 1)
        self.assertEqual(e.exception.message, "Invalid number of arguments specified in call to sessionContext::ping")
        with self.assertRaises(xadra.RemoteError) as e:
            self.conn.call_object(4242, "getMimeType")
        self.assertEqual(e.exception.category, 1)
        self.assertIn("no longer exported", e.exception.message)
        # An argument of the wrong box: unboxing fails in the framework.
        with self.assertRaises(xadra.RemoteError) as e:
            self.conn.call("hpgsRenderer", "renderPngByResolution", [None, "72", True, 0, None, None])
        self.assertEqual(e.exception.category, 1)
        self.assertEqual(e.exception.message, "Cannot unbox object of type java.lang.String as java.lang.Double.")

    def test_dispatch_errors_carry_category_16(self):
        with self.assertRaises(xadra.RemoteError) as e:
            self.conn.call("hpgsRenderer", "renderpdf", [None, None, 0, None, None])
        self.assertEqual((e.exception.category, e.exception.level), (16, 3))
        self.assertEqual(e.exception.message, "Invalid method renderpdf specified in call to interface IHPGLRenderer.")
        for args in (None, [None, None, 0, None]):
            with self.assertRaises(xadra.RemoteError) as e:
                self.conn.call("hpgsRenderer", "renderPdf", args)
            self.assertEqual(e.exception.message, "Invalid number of arguments specified in call to IHPGLRenderer::renderPdf")
            self.assertEqual(e.exception.category, 16)
        # getLoadFactor ignores its argument array.
        self.assertIsInstance(self.conn.call("hpgsRenderer", "getLoadFactor", [1, 2]), int)

    def test_every_method_checks_its_argument_count(self):
        counts = {"comparePngByPixelSize": 6, "comparePngByResolution": 6, "comparePngTileByResolution": 8,
                  "getBoundingBox": 1, "getPageBoundingBoxes": 1, "insertAnnotations": 4,
                  "mergePdfWithAnnotations": 7, "mergeWithAnnotations": 6, "renderPdf": 5, "renderPngByPixelSize": 6,
                  "renderPngByResolution": 6, "renderPngPageByResolution": 7, "renderPngTileByResolution": 6,
                  "seekPattern": 3}
        for method, n in counts.items():
            for given in (n - 1, n + 1):
                with self.subTest(method=method, arguments=given):
                    with self.assertRaises(xadra.RemoteError) as e:
                        self.conn.call("hpgsRenderer", method, [None] * given)
                    self.assertEqual(e.exception.message,
                                     "Invalid number of arguments specified in call to IHPGLRenderer::" + method)
            # The right count gets past the dispatch: a missing stream is the service's own error.
            with self.subTest(method=method, arguments=n):
                args = [None] * n
                for i, kind in enumerate(ARG_KINDS[method]):
                    args[i] = {"i": 0, "d": 72.0, "b": False}.get(kind)
                with self.assertRaises(xadra.PreviewException):
                    self.conn.call("hpgsRenderer", method, args)


class Rendering(ClientTest):
    def test_png_of_an_hpgl_file_read_through_calls_back(self):
        s = xadra.FileStream(os.path.join(HPGL, "syn_bezier.hpgl"), xadra.MIME_HPGL, unique_name="py-png")
        result = self.r.renderPngByResolution(s, 72.0, True, 0, None, None)
        self.assertIsInstance(result, xadra.RemoteStream)
        self.assertEqual(result.getMimeType(), xadra.MIME_PNG)
        size = result.getStreamSize()
        data = result.read_all()
        self.assertEqual(len(data), size)
        width, height = png_size(data)
        self.assertGreater(width, 10)
        self.assertGreater(s.blocks_read, 0)
        # The daemon releases the input once the job is done with it, which
        # closes it; the result proxy was released by read_all.
        self.assertTrue(eventually(lambda: self.conn.export_count() == 0))
        self.assertTrue(s.closed)
        self.assertEqual(self.conn.import_count(), 0)
        # The bounding box in points matches the PNG at 72 dpi.
        box = self.r.getBoundingBox(hpgl("syn_bezier.hpgl"))
        self.assertIsInstance(box, xadra.BoundingBoxWithAngle)
        self.assertAlmostEqual(box.width, width, delta=2)
        self.assertAlmostEqual(box.height, height, delta=2)
        self.assertEqual(box.angle, 0)

    def test_the_daemon_asks_for_an_inputs_properties_together(self):
        # The first getter waits for the last one of the request's four:
        # it sees it at once only when the daemon sent them together (this
        # client answers calls on several threads).
        class Asked(xadra.BytesStream):
            def __init__(self, *a, **k):
                super().__init__(*a, **k)
                self.mime_asked = threading.Event()
                self.together = None

            def getUniqueName(self):
                if self.together is None:
                    self.together = self.mime_asked.wait(3.0)
                return super().getUniqueName()

            def getMimeType(self):
                self.mime_asked.set()
                return super().getMimeType()

        with open(os.path.join(HPGL, "syn_bezier.hpgl"), "rb") as f:
            s = Asked(f.read(), xadra.MIME_HPGL, unique_name="py-together-%f" % time.time())
        started = time.monotonic()
        data = self.r.renderPngByResolution(s, 72.0, True, 0, None, None).read_all()
        self.assertIsNotNone(png_size(data))
        self.assertTrue(s.together)
        self.assertLess(time.monotonic() - started, 2.5)

    def test_pixel_size_and_tile(self):
        px = png_size(self.r.renderPngByPixelSize(hpgl("syn_bezier.hpgl"), 300, False, 90, None, None).read_all())
        self.assertEqual(max(px), 300)
        tile = xadra.BoundingBoxWithAngle(llx=0, lly=0, urx=200, ury=100, angle=90)
        t = self.r.renderPngTileByResolution(hpgl("syn_bezier.hpgl"), 36.0, True, tile, None, None)
        self.assertEqual(png_size(t.read_all()), (50, 100))

    def test_pdf_of_an_hpgl_file_and_properties_as_list(self):
        props = [xadra.PDFProperty(type=xadra.PDFPropertyType.TITLE, value="Python title"),
                 xadra.PDFProperty(type=xadra.PDFPropertyType.AUTHOR, value="unittest")]
        result = self.r.renderPdf(hpgl("syn_arcs_relative.hpgl"), props, 0, None, None)
        self.assertEqual(result.getMimeType(), xadra.MIME_PDF)
        data = result.read_all()
        self.assertTrue(data.startswith(b"%PDF-"), data[:16])
        self.assertIn(b"Python title", data)
        # An object array is not a java.util.List: where a List is declared
        # it arrives as null, and the title is not set.
        as_array = xadra.ObjectArray("java.lang.Object", props)
        s = xadra.FileStream(os.path.join(HPGL, "syn_arcs_relative.hpgl"), xadra.MIME_HPGL, unique_name="py-array")
        data = self.r.renderPdf(s, as_array, 0, None, None).read_all()
        self.assertTrue(data.startswith(b"%PDF-"))
        self.assertNotIn(b"Python title", data)

    def test_boxes_count_angles_counter_clockwise_and_carry_the_user_unit(self):
        # /Rotate 90 turns the page clockwise: a quarter turn short of a full
        # counter-clockwise turn.
        box = self.r.getBoundingBox(xadra.FileStream(os.path.join(PDF, "rotate90.pdf"), xadra.MIME_PDF))
        self.assertEqual((box.angle, box.urx, box.ury), (270, 612, 792))
        box = self.r.getBoundingBox(xadra.FileStream(os.path.join(PDF, "userunit2.pdf"), xadra.MIME_PDF))
        self.assertEqual(box.userUnit, 2.0)
        # Not HP-GL/2 at all: no marks, a box of zeros rather than an error.
        box = self.r.getBoundingBox(xadra.BytesStream(b"this is not a plot file\n", xadra.MIME_HPGL, "garbage.plt"))
        self.assertEqual((box.llx, box.lly, box.urx, box.ury), (0, 0, 0, 0))

    def test_page_boxes_of_a_pdf(self):
        s = xadra.FileStream(os.path.join(PDF, "letter_3pages.pdf"), xadra.MIME_PDF)
        boxes = self.r.getPageBoundingBoxes(s)
        self.assertIsInstance(boxes, list)
        self.assertEqual(len(boxes), 3)
        for b in boxes:
            self.assertEqual((b.llx, b.lly, b.urx, b.ury), (0, 0, 612, 792))
        png = self.r.renderPngPageByResolution(xadra.FileStream(os.path.join(PDF, "letter_3pages.pdf"),
                                                                xadra.MIME_PDF), 1, 36.0, True, 0, None, None)
        self.assertEqual(png_size(png.read_all()), (306, 396))

    def test_a_result_stream_goes_back_as_input(self):
        pdf = self.r.renderPdf(hpgl("syn_bezier.hpgl"), None, 0, None, None)
        box = self.r.getBoundingBox(pdf)  # travels as ["@back", id]
        self.assertGreater(box.width, 10)
        pdf.close()

    def test_cache_identity_is_name_and_timestamp_not_content(self):
        with open(os.path.join(HPGL, "syn_bezier.hpgl"), "rb") as f:
            first = f.read()
        with open(os.path.join(HPGL, "syn_arcs_relative.hpgl"), "rb") as f:
            other = f.read()
        a = xadra.BytesStream(first, xadra.MIME_HPGL, "a.hpgl", unique_name="py-identity", timestamp=1000.0)
        png_a = self.r.renderPngByResolution(a, 20.0, False, 0, None, None).read_all()
        b = xadra.BytesStream(other, xadra.MIME_HPGL, "b.hpgl", unique_name="py-identity", timestamp=1000.0)
        png_b = self.r.renderPngByResolution(b, 20.0, False, 0, None, None).read_all()
        self.assertEqual(png_a, png_b, "new bytes under the old name and time give the old result")
        self.assertEqual(b.blocks_read, 0)
        # Another parameter still uses the downloaded copy of the first bytes.
        box_b = self.r.getBoundingBox(xadra.BytesStream(other, xadra.MIME_HPGL, "b.hpgl", unique_name="py-identity",
                                                        timestamp=1000.0))
        box_a = self.r.getBoundingBox(xadra.BytesStream(first, xadra.MIME_HPGL, unique_name="py-fresh"))
        self.assertEqual(box_a, box_b)
        c = xadra.BytesStream(other, xadra.MIME_HPGL, "c.hpgl", unique_name="py-identity", timestamp=1001.0)
        png_c = self.r.renderPngByResolution(c, 20.0, False, 0, None, None).read_all()
        self.assertNotEqual(png_c, png_a)
        self.assertGreater(c.blocks_read, 0)

    def test_annotations_by_value_and_by_reference(self):
        with open(os.path.join(DATA, "fdf", "square.fdf"), "rb") as f:
            fdf = f.read()
        by_value = xadra.Annotation(color="#ff0000", fdf=xadra.ByteArrayMimeInputStream.of(fdf, "square.fdf",
                                                                                            xadra.MIME_FDF),
                                    mode=1, owner="py", title="py 0")
        pdf = self.r.renderPdf(xadra.FileStream(os.path.join(PDF, "a4_drawing.pdf"), xadra.MIME_PDF), None, 0, None,
                               [by_value]).read_all()
        self.assertIn(b"/Square", pdf)
        # Drawn into a PNG, the FDF served by reference: the daemon reads it
        # through calls back like any input. The square lies inside the A4
        # page (outside the small drawings).
        page = os.path.join(PDF, "a4_drawing.pdf")
        plain = self.r.renderPngByResolution(xadra.FileStream(page, xadra.MIME_PDF), 36.0).read_all()
        fdf_stream = xadra.BytesStream(fdf, xadra.MIME_FDF, "square.fdf")
        drawn = xadra.Annotation(color="#0000ff", fdf=fdf_stream, mode=2, owner="py", title="py 1")
        annotated = self.r.renderPngByResolution(xadra.FileStream(page, xadra.MIME_PDF), 36.0,
                                                 annotations=[drawn]).read_all()
        self.assertGreater(fdf_stream.blocks_read, 0)
        self.assertEqual(png_size(plain), png_size(annotated))
        self.assertNotEqual(plain, annotated)

    def test_byte_array_stream_by_value(self):
        with open(os.path.join(HPGL, "syn_hatch_fill.hpgl"), "rb") as f:
            v = xadra.ByteArrayMimeInputStream.of(f.read(), "hatch.hpgl", xadra.MIME_HPGL)
        self.assertGreater(max(png_size(self.r.renderPngByResolution(v, 18.0).read_all())), 10)
        self.assertEqual(self.conn.export_count(), 0)


class Failures(ClientTest):
    def test_bad_drawing_is_an_hpgs_error(self):
        s = xadra.BytesStream(b"this is not a plot file\n", xadra.MIME_HPGL, "garbage.plt")
        with self.assertRaises(xadra.HPGSError) as e:
            self.r.renderPngByResolution(s, 72.0, True, 0, None, None)
        self.assertEqual((e.exception.category, e.exception.level), (16, 3))
        self.assertEqual(e.exception.message, "Bounding box is empty.")
        # The same request fails the same way, from the failed job.
        with self.assertRaises(xadra.HPGSError):
            self.r.renderPngByResolution(xadra.BytesStream(b"this is not a plot file\n", xadra.MIME_HPGL,
                                                           "garbage.plt"), 72.0, True, 0, None, None)

    def test_requests_the_service_cannot_serve_are_io_errors(self):
        with self.assertRaises(xadra.PreviewIOError) as e:
            self.r.renderPdf(xadra.BytesStream(b"hello", "text/plain", "t.txt"), None, 0, None, None)
        self.assertEqual(e.exception.category, 16)
        self.assertIn("text/plain", e.exception.message)
        with self.assertRaises(xadra.PreviewIOError) as e:
            self.r.renderPngByResolution(None, 72.0, True, 0, None, None)
        self.assertEqual(e.exception.message, "renderPngByResolution: no input stream given.")
        with self.assertRaises(xadra.HPGSError) as e:
            self.r.getPageBoundingBoxes(hpgl("syn_bezier.hpgl"))
        self.assertIn("need a PDF document", e.exception.message)

    def test_encrypted_pdf_is_a_drm_error(self):
        s = xadra.FileStream(os.path.join(PDF, "encrypted_user.pdf"), xadra.MIME_PDF)
        with self.assertRaises(xadra.DRMError) as e:
            self.r.renderPdf(s, None, 90, None, None)
        self.assertEqual(e.exception.category, 16)
        with self.assertRaises(xadra.DRMError):
            self.r.getBoundingBox(xadra.FileStream(os.path.join(PDF, "encrypted_restricted.pdf"), xadra.MIME_PDF))

    def test_failure_of_the_clients_stream_reaches_the_caller(self):
        class Failing(xadra.BytesStream):
            def _read(self, n):
                raise xadra.PreviewIOError("disk on fire")

        with self.assertRaises(xadra.PreviewIOError) as e:
            self.r.renderPngByResolution(Failing(b"IN;PU0,0;PD100,100;", xadra.MIME_HPGL, "f.hpgl",
                                                 unique_name="py-failing", timestamp=500.0), 72.0)
        self.assertEqual(e.exception.message, "disk on fire")
        self.assertEqual(e.exception.category, 16)
        # The failed job answers the same identity (unique name, parameters,
        # stamp, timestamp within 0.01 s) until it is purged: a good stream
        # under that identity gets the old failure.
        with self.assertRaises(xadra.PreviewIOError) as e:
            self.r.renderPngByResolution(xadra.BytesStream(b"IN;PU0,0;PD100,100;", xadra.MIME_HPGL, "f.hpgl",
                                                           unique_name="py-failing", timestamp=500.005), 72.0)
        self.assertEqual(e.exception.message, "disk on fire")
        # Another timestamp is another input: the job runs again.
        png = self.r.renderPngByResolution(xadra.BytesStream(b"IN;PU0,0;PD100,100;", xadra.MIME_HPGL, "f.hpgl",
                                                             unique_name="py-failing", timestamp=501.0), 72.0)
        self.assertIsNotNone(png_size(png.read_all()))

    def test_failure_of_a_getter_on_the_request_thread_comes_back_unchanged(self):
        class NoName(xadra.BytesStream):
            def getUniqueName(self):
                raise xadra.HPGSError("no name here", category=64, level=4)

        with self.assertRaises(xadra.HPGSError) as e:
            self.r.renderPngByResolution(NoName(b"IN;", xadra.MIME_HPGL), 72.0)
        self.assertEqual((e.exception.message, e.exception.category, e.exception.level), ("no name here", 64, 4))

    def test_stream_size_needs_the_long_wrapper(self):
        class PlainSize(xadra.BytesStream):
            def getStreamSize(self):
                return self.size  # a java.lang.Integer on the wire

        with self.assertRaises(xadra.PreviewIOError) as e:
            self.r.renderPngByResolution(PlainSize(b"IN;PU0,0;PD100,100;", xadra.MIME_HPGL, "p.hpgl",
                                                   unique_name="py-plain-size"), 72.0)
        self.assertEqual(e.exception.message, "Cannot unbox object of type java.lang.Integer as java.lang.Long.")

    def test_a_str_block_is_taken_as_no_data(self):
        class StrBlocks(xadra.BytesStream):
            def readBlock(self, n):
                self.blocks_read += 1
                return "IN;PU0,0;PD100,100;"

        s = StrBlocks(b"IN;PU0,0;PD100,100;", xadra.MIME_HPGL, "s.hpgl", unique_name="py-str-blocks")
        with self.assertRaises(xadra.HPGSError) as e:
            self.r.renderPngByResolution(s, 72.0)
        self.assertEqual(e.exception.message, "Bounding box is empty.")
        self.assertEqual(s.blocks_read, 1)


class Timeouts(ClientTest):
    def test_busy_worker_gives_timeout_and_the_repeated_call_succeeds(self):
        gate = threading.Event()
        started = threading.Event()

        class Slow(xadra.BytesStream):
            def _read(self, n):
                started.set()
                gate.wait(20)
                return super()._read(n)

        with open(os.path.join(HPGL, "syn_pe_encoded.hpgl"), "rb") as f:
            slow = Slow(f.read(), xadra.MIME_HPGL, "slow.hpgl", unique_name="py-slow")
        outcome = {}

        def first():
            with xadra.Renderer("127.0.0.1", daemon.port) as other:
                outcome["png"] = other.renderPngByResolution(slow, 30.0).read_all()

        t = threading.Thread(target=first)
        t.start()
        try:
            self.assertTrue(started.wait(10), "the daemon did not read the slow stream")
            # The only worker is busy: another job cannot start.
            t0 = time.monotonic()
            with self.assertRaises(xadra.Timeout) as e:
                self.r.renderPngByResolution(hpgl("syn_iso_ro90.hpgl"), 30.0)
            self.assertLess(time.monotonic() - t0, 2.0)
            self.assertEqual(e.exception.message, "Too many concurrent renderer requests.")
            self.assertEqual(e.exception.timeout, 3)
            self.assertEqual(e.exception.category, 16)
            calls = []

            def again():
                calls.append(1)
                if len(calls) == 2:
                    gate.set()  # the worker becomes free while we repeat
                return self.r.renderPngByResolution(hpgl("syn_iso_ro90.hpgl"), 30.0)

            png = xadra.repeat_on_timeout(again, attempts=50, first_pause=0.05, max_pause=0.5)
            self.assertGreater(max(png_size(png.read_all())), 10)
            self.assertGreaterEqual(len(calls), 2)
        finally:
            gate.set()
            t.join(30)
        self.assertGreater(max(png_size(outcome["png"])), 10)


class JobTimeouts(unittest.TestCase):
    """A daemon whose render time-out is 0 s: every job that has to render
    answers its first request with Timeout, and goes on."""

    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon(PROGRAM, workers=1, render_timeout=0).start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()

    def test_the_job_goes_on_after_timeout_and_the_repeated_call_gets_its_result(self):
        with xadra.Renderer("127.0.0.1", self.daemon.port) as r:
            def render():
                return r.renderPngByResolution(hpgl("pu_big_harmonograph.hpgl"), 100.0, True, 0, None, None)

            with self.assertRaises(xadra.Timeout) as e:
                render()
            self.assertEqual(e.exception.message, "Job timed out, try again to obtain result.")
            self.assertEqual(e.exception.timeout, 0)
            png = xadra.repeat_on_timeout(render, attempts=100, first_pause=0.05, max_pause=0.2)
            self.assertGreater(max(png_size(png.read_all())), 100)
            self.assertIn("cached file", self.daemon.log())


class RawProtocol(unittest.TestCase):
    """Frames a client library would not send, written by hand."""

    def connect(self):
        s = socket.create_connection(("127.0.0.1", daemon.port), timeout=10)
        self.addCleanup(s.close)
        return s

    @staticmethod
    def send(s, message):
        payload = msgpack.packb(message, use_bin_type=True)
        s.sendall(struct.pack(">I", len(payload)) + payload)

    @staticmethod
    def receive(s):
        head = b""
        while len(head) < 4:
            b = s.recv(4 - len(head))
            if not b:
                return None
            head += b
        (n,) = struct.unpack(">I", head)
        data = b""
        while len(data) < n:
            b = s.recv(n - len(data))
            if not b:
                return None
            data += b
        return msgpack.unpackb(data, raw=False)

    def assertClosed(self, s):
        try:
            self.assertIsNone(self.receive(s))
        except ConnectionResetError:
            pass

    def test_call_ids_must_be_unsigned(self):
        s = self.connect()
        self.send(s, [1, 2 ** 64 - 1, "sessionContext", "ping", None])
        self.assertEqual(self.receive(s), [2, 2 ** 64 - 1, None])
        self.send(s, [1, -1, "sessionContext", "ping", None])
        self.assertClosed(s)

    def test_malformed_values_close_the_connection(self):
        for bad in (["no.such.Type", 1], {"a": 1}, ["java.lang.Long", 1.5], 2 ** 40,
                    ["xad.preview.api.BoundingBoxWithAngle", 1, 0, 0.0, 0.0, 0.0, 0.0, 0.0]):
            with self.subTest(value=bad):
                s = self.connect()
                self.send(s, [1, 1, "return", "echo", [bad]])
                self.assertClosed(s)

    def test_malformed_messages_close_the_connection(self):
        bad_messages = [
            [2, 99, None],                               # reply to a call never made
            [3, 98, 1, 3, ["plume.RemoteError", 1, "x"]],  # error for a call never made
            [9, 1, 2],                                   # unknown kind
            [1, 1, "return"],                            # CALL of 3 elements
            [1, 1, -5, "echo", None],                    # negative object id as target
            [1, 1, "return", 5, None],                   # method not a str
            [1, 1, "return", "echo", "x"],               # arguments neither array nor nil
            [4, 1],                                      # RELEASE of 2 elements
        ]
        for m in bad_messages:
            with self.subTest(message=m):
                s = self.connect()
                self.send(s, m)
                self.assertClosed(s)
        # Trailing bytes after the message, and a frame above 64 MiB.
        for frame in (struct.pack(">I", 5) + bytes.fromhex("930201c0c0"), struct.pack(">I", (64 << 20) + 1)):
            with self.subTest(frame=frame[:8]):
                s = self.connect()
                s.sendall(frame)
                self.assertClosed(s)

    def test_release_of_unknown_or_too_many_references_closes_the_connection(self):
        s = self.connect()
        self.send(s, [4, 999, 1])
        self.assertClosed(s)
        # A result stream received once, released twice over.
        s = self.connect()
        with open(os.path.join(HPGL, "syn_bezier.hpgl"), "rb") as f:
            stream = ["xad.preview.streams.ByteArrayMimeInputStream", -657380116893924918, f.read(), "image/hpgl",
                      "b.hpgl", 1.0, "py-raw"]
        self.send(s, [1, 1, "hpgsRenderer", "renderPngByResolution", [stream, 10.0, False, 0, None, None]])
        reply = self.receive(s)
        self.assertEqual(reply[0], 2, reply)
        kind, object_id, interface = reply[2]
        self.assertEqual((kind, interface), ("@ref", "xad.preview.api.IMimeInputStream"))
        self.send(s, [1, 2, object_id, "readBlock", [16]])
        self.assertEqual(self.receive(s)[2][:8], b"\x89PNG\r\n\x1a\n")
        self.send(s, [4, object_id, 2])
        self.assertClosed(s)

    def test_whole_numbers_are_taken_for_doubles(self):
        with open(os.path.join(HPGL, "syn_bezier.hpgl"), "rb") as f:
            data = f.read()
        sizes = []
        with xadra.Connection("127.0.0.1", daemon.port) as c:
            for resolution in (36, xadra.Long(36), 36.0):
                s = xadra.BytesStream(data, xadra.MIME_HPGL, "b.hpgl", unique_name="py-whole-%r" % (resolution,))
                png = c.call("hpgsRenderer", "renderPngByResolution", [s, resolution, False, 0, None, None])
                sizes.append(png_size(png.read_all()))
        self.assertEqual(sizes[0], sizes[2])
        self.assertEqual(sizes[1], sizes[2])

    def test_argument_of_a_wrong_box_fails_the_call_only(self):
        s = self.connect()
        self.send(s, [1, 1, "hpgsRenderer", "renderPngByPixelSize", [None, 1.5, True, 0, None, None]])
        reply = self.receive(s)
        self.assertEqual(reply[:4], [3, 1, 1, 3])
        self.assertEqual(reply[4][0], "plume.RemoteError")
        self.send(s, [1, 2, "sessionContext", "ping", []])
        self.assertEqual(self.receive(s), [2, 2, None])


class Example(unittest.TestCase):
    def test_example_writes_png_pdf_and_prints_the_box(self):
        out = os.path.join(daemon.dir, "example")
        os.mkdir(out)
        src = os.path.join(HPGL, "syn_bezier.hpgl")
        p = subprocess.run([sys.executable, os.path.join(HERE, "..", "xadra_example.py"), "--port", str(daemon.port),
                            "--out", out, src], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        with open(os.path.join(out, "syn_bezier.png"), "rb") as f:
            self.assertIsNotNone(png_size(f.read()))
        with open(os.path.join(out, "syn_bezier.pdf"), "rb") as f:
            self.assertTrue(f.read().startswith(b"%PDF-"))
        self.assertIn("bounding box llx=", p.stdout)


if __name__ == "__main__":
    unittest.main()
