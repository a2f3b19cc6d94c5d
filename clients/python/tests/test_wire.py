"""The client's encoding against the byte layouts of docs/protocol.md; no
daemon needed."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import msgpack  # noqa: E402

import xadra  # noqa: E402
from xadra import types, wire  # noqa: E402


class FakeRefs:
    """Reference side of a codec without a connection."""

    def __init__(self):
        self.exports = {}
        self.imports = []

    def export_reference(self, obj):
        for k, v in self.exports.items():
            if v is obj:
                return False, k
        k = len(self.exports) + 1
        self.exports[k] = obj
        return False, k

    def import_reference(self, object_id, interface):
        self.imports.append((object_id, interface))
        return ("proxy", object_id, interface)

    def exported_object(self, object_id):
        if object_id not in self.exports:
            raise wire.ProtocolError("back-reference to unknown object %d" % object_id)
        return self.exports[object_id]


def codec():
    return wire.Codec(types.registry, FakeRefs())


def nested(levels, kind):
    """A value whose innermost int sits at level `levels` (the argument is
    level 1), built from lists ('L'), object arrays ('A') or bounding-box
    holders ('S': a PatternSeekResult's boundingBox field)."""
    v = levels
    for _ in range(levels - 1):
        if kind == "L":
            v = [v]
        elif kind == "A":
            v = xadra.ObjectArray("java.lang.Object", [v])
        else:
            v = xadra.PatternSeekResult(boundingBox=None, parameters=v)
    return v


class Frames(unittest.TestCase):
    def test_get_load_factor_call_matches_the_documented_bytes(self):
        frame = wire.pack_frame([wire.CALL, 1, "hpgsRenderer", "getLoadFactor", None])
        self.assertEqual(frame.hex(" "), "00 00 00 1f 95 01 01 ac 68 70 67 73 52 65 6e 64 65 72 65 72 "
                                         "ad 67 65 74 4c 6f 61 64 46 61 63 74 6f 72 c0")
        self.assertEqual(wire.unpack_payload(bytes.fromhex("9302 01 ccab".replace(" ", ""))), [2, 1, 171])

    def test_trailing_bytes_and_non_arrays_are_protocol_errors(self):
        with self.assertRaises(wire.ProtocolError):
            wire.unpack_payload(bytes.fromhex("930201cc ab c0".replace(" ", "")))
        with self.assertRaises(wire.ProtocolError):
            wire.unpack_payload(b"\x05")
        with self.assertRaises(wire.ProtocolError):
            wire.unpack_payload(b"\x91\x01")  # fewer than two elements


class Values(unittest.TestCase):
    def test_boxes_map_to_their_msgpack_kinds(self):
        c = codec()
        self.assertEqual(c.encode(None), None)
        self.assertEqual(c.encode(True), True)
        self.assertEqual(c.encode(-7), -7)
        self.assertEqual(c.encode(xadra.Long(3)), ["java.lang.Long", 3])
        self.assertEqual(c.encode(b"\x00\x01"), b"\x00\x01")
        # A whole-number double stays a float 64 on the wire.
        self.assertEqual(msgpack.packb(c.encode(72.0)), b"\xcb" + bytes.fromhex("4052000000000000"))

    def test_wide_integers_need_the_long_wrapper(self):
        c = codec()
        with self.assertRaises(ValueError):
            c.encode(1 << 31)
        self.assertEqual(c.encode(xadra.Long(1 << 40)), ["java.lang.Long", 1 << 40])
        with self.assertRaises(wire.ProtocolError):
            c.decode(1 << 31)
        self.assertIsInstance(c.decode(["java.lang.Long", 5]), xadra.Long)

    def test_lists_and_object_arrays_are_told_apart(self):
        c = codec()
        self.assertEqual(c.encode([1, "a"]), ["java.util.List", [1, "a"]])
        arr = xadra.ObjectArray(types.PatternParameters.WIRE_NAME, [])
        self.assertEqual(c.encode(arr), ["[Lxad.preview.api.PatternParameters;", []])
        back = c.decode(["[Ljava.lang.Object;", [1]])
        self.assertIsInstance(back, xadra.ObjectArray)
        self.assertEqual(back.component, "java.lang.Object")
        with self.assertRaises(wire.ProtocolError):
            c.decode(["[Lno.such.Type;", []])

    def test_value_types_write_their_fields_in_wire_order(self):
        c = codec()
        box = xadra.BoundingBoxWithAngle(angle=90, llx=1, lly=2, urx=3, ury=4, userUnit=1)
        enc = c.encode(box)
        self.assertEqual(enc, ["xad.preview.api.BoundingBoxWithAngle", 2280904842547387023, 90, 1.0, 2.0, 3.0, 4.0,
                               1.0])
        self.assertTrue(all(isinstance(v, float) for v in enc[3:]))
        self.assertEqual(c.decode(enc), box)
        p = xadra.PatternParameters(angle=0, correlation=0.5, dx=1.5, dy=-2, overlap=0.25, separation=3)
        self.assertEqual(c.encode(p)[2:], [0, 0.5, 1.5, -2.0, 0.25, 3.0])
        prop = xadra.PDFProperty(type=xadra.PDFPropertyType.SUBMIT_MSG, value="x")
        self.assertEqual(c.encode(prop), ["xad.preview.api.PDFProperty", -4678211486168957013,
                                          ["xad.preview.api.PDFPropertyType", 0, 7, "SUBMIT_MSG"], "x"])
        self.assertEqual(c.decode(c.encode(prop)).type, xadra.PDFPropertyType.SUBMIT_MSG)

    def test_received_value_types_are_checked(self):
        c = codec()
        name, uid = types.BoundingBoxWithAngle.WIRE_NAME, types.BoundingBoxWithAngle.UID
        with self.assertRaises(wire.ProtocolError):
            c.decode([name, uid + 1, 0, 0.0, 0.0, 0.0, 0.0, 0.0])  # wrong UID
        with self.assertRaises(wire.ProtocolError):
            c.decode([name, uid, 0, 0.0, 0.0])  # missing fields
        # Extra trailing fields are ignored; integers are accepted for doubles.
        self.assertEqual(c.decode([name, uid, 0, 1, 2, 3, 4, 5, "extra"]).ury, 4.0)
        with self.assertRaises(wire.ProtocolError):
            c.decode([name, uid, 0.5, 0.0, 0.0, 0.0, 0.0, 0.0])  # a double where an int belongs
        with self.assertRaises(wire.ProtocolError):
            c.decode(["no.such.Type", 1])
        with self.assertRaises(wire.ProtocolError):
            c.decode(["xad.preview.api.PDFPropertyType", 0, 14, "NO_SUCH"])  # ordinal out of range
        with self.assertRaises(wire.ProtocolError):
            c.decode({"a": 1})
        with self.assertRaises(wire.ProtocolError):
            wire.unpack_payload(b"\x92\x01\x81\x91\x01\x02")  # a map with a list as key

    def test_throwables_carry_their_message_and_timeout_its_seconds(self):
        c = codec()
        t = c.decode(["xad.preview.api.Timeout", 138013960363251379, 3, "Job timed out, try again to obtain result."])
        self.assertIsInstance(t, xadra.Timeout)
        self.assertIsInstance(t, xadra.PreviewException)
        self.assertEqual(t.timeout, 3)
        self.assertEqual(c.encode(xadra.PreviewIOError("gone")),
                         ["xad.preview.api.IOError", 1955749351692554062, "gone"])
        self.assertIsNone(c.decode(["plume.RemoteError", 1, None]).message)

    def test_streams_cross_by_reference_and_byte_array_streams_by_value(self):
        c = codec()
        s = xadra.BytesStream(b"IN;", xadra.MIME_HPGL, unique_name="u", timestamp=5)
        self.assertEqual(c.encode(s), ["@ref", 1, "xad.preview.api.IMimeInputStream"])
        self.assertEqual(c.encode(s), ["@ref", 1, "xad.preview.api.IMimeInputStream"])
        self.assertIs(c.decode(["@back", 1]), s)
        with self.assertRaises(wire.ProtocolError):
            c.decode(["@back", 9])
        v = xadra.ByteArrayMimeInputStream.of(b"%FDF-1.2", "a.fdf", xadra.MIME_FDF, timestamp=1.0)
        self.assertEqual(c.encode(v), ["xad.preview.streams.ByteArrayMimeInputStream", -657380116893924918,
                                       b"%FDF-1.2", "application/vnd.fdf", "a.fdf", 1.0, v.uniqueName])
        self.assertRegex(v.uniqueName, "^[0-9a-f]{8}$")

    def test_nesting_limit_counts_values_for_every_container_kind(self):
        c = codec()
        for kind in "LAS":
            with self.subTest(kind=kind):
                enc = c.encode(nested(32, kind))
                c.decode(enc)
                with self.assertRaises(ValueError):
                    c.encode(nested(33, kind))
                deeper = ["java.util.List", [enc]]
                with self.assertRaises(wire.ProtocolError):
                    c.decode(deeper)


class LocalStreams(unittest.TestCase):
    def test_blocks_follow_the_requested_length_within_the_limits(self):
        s = xadra.BytesStream(bytes(100000), xadra.MIME_HPGL)
        self.assertEqual(len(s.readBlock(70000)), 65536)
        self.assertEqual(len(s.readBlock(70000)), 34464)
        self.assertEqual(s.readBlock(70000), b"")
        s = xadra.BytesStream(bytes(3000), xadra.MIME_HPGL)
        self.assertEqual(len(s.readBlock(-5)), 1024)
        self.assertEqual(s.readBlock(0), b"")
        self.assertIsInstance(s.getStreamSize(), xadra.Long)
        s.close()
        with self.assertRaises(xadra.PreviewIOError):
            s.readBlock(10)

    def test_dispatch_checks_names_and_argument_counts(self):
        from xadra.connection import dispatch
        s = xadra.BytesStream(b"abc", xadra.MIME_HPGL)
        self.assertEqual(dispatch(s, "readBlock", [2]), b"ab")
        with self.assertRaises(xadra.RemoteError) as e:
            dispatch(s, "readBlock", None)
        self.assertEqual(e.exception.message,
                         "Invalid number of arguments specified in call to IMimeInputStream::readBlock")
        with self.assertRaises(xadra.RemoteError):
            dispatch(s, "ReadBlock", [1])


class RepeatOnTimeout(unittest.TestCase):
    """When the client asks again after a Timeout; no daemon needed."""

    def test_pauses_are_short_and_spread_at_first_and_grow_with_the_wait_up_to_a_ceiling(self):
        import random
        rng = random.Random(5)
        first = [xadra.retry_pause(w / 1000.0, rng=rng) for w in range(0, 601)]
        self.assertGreaterEqual(min(first), 0.006)
        self.assertLessEqual(max(first), 0.018)
        self.assertGreater(len({round(p, 3) for p in first}), 10)
        self.assertAlmostEqual(sum(first) / len(first), 0.012, delta=0.0012)
        middle = [xadra.retry_pause(w, rng=random.Random(1)) / random.Random(1).uniform(0.5, 1.5)
                  for w in (2.0, 10.0, 25.0, 3600.0)]
        for got, want in zip(middle, (0.04, 0.2, 0.5, 0.5)):
            self.assertAlmostEqual(got, want, places=9)

    def test_quick_timeouts_pause_slow_ones_do_not_and_the_limits_hold(self):
        from unittest import mock
        from xadra import renderer
        sleeps = []
        with mock.patch.object(renderer.time, "sleep", sleeps.append):
            answers = [xadra.Timeout("Too many concurrent renderer requests.", timeout=3)] * 4 + ["png"]

            def call():
                a = answers.pop(0)
                if isinstance(a, Exception):
                    raise a
                return a

            self.assertEqual(xadra.repeat_on_timeout(call), "png")
            self.assertEqual(len(sleeps), 4)
            self.assertTrue(all(0.006 <= s <= 0.018 for s in sleeps), sleeps)

            # A Timeout that came after a wait for the job: asked again at once.
            sleeps.clear()
            answers = [xadra.Timeout("Job timed out, try again to obtain result.", timeout=0)] * 3 + ["png"]
            with mock.patch.object(renderer, "QUICK_TIMEOUT", -1.0):
                self.assertEqual(xadra.repeat_on_timeout(call), "png")
            self.assertEqual(sleeps, [])

            # The last Timeout reaches the caller after `attempts` tries.
            calls = []

            def refused():
                calls.append(1)
                raise xadra.Timeout("Too many concurrent renderer requests.", timeout=3)

            with self.assertRaises(xadra.Timeout):
                xadra.repeat_on_timeout(refused, attempts=3)
            self.assertEqual(len(calls), 3)
        # ... or once max_wait has passed, with real pauses.
        calls.clear()
        with self.assertRaises(xadra.Timeout):
            xadra.repeat_on_timeout(refused, max_wait=0.5)
        # About 25 calls with pauses of 10 to 30 ms; far fewer on a busy machine.
        self.assertGreater(len(calls), 2)
        self.assertLess(len(calls), 100)


if __name__ == "__main__":
    unittest.main()
