"""Frames and values of the xadrad wire protocol (docs/protocol.md).

A frame is a 4-byte big-endian payload length followed by one MessagePack
array [kind, id, ...]. Values map to Python as follows:

    nil            None
    true/false     bool
    int            int (must fit 32 bits signed; wrap wider numbers in Long)
    float 64       float
    str            str (bytes that are not UTF-8 survive as surrogate escapes)
    bin            bytes
    java.lang.Long Long (an int subclass)
    java.util.List list (a tuple is sent as a list too)
    object array   ObjectArray (a list subclass with a component type)
    value type     a ValueType subclass, or a RemoteException subclass for
                   throwables
    references     handled by the connection (see connection.py)

Nothing here does I/O; the Codec needs a connection-like object for the
references (export_reference, import_reference, exported_object).
"""

import struct

import msgpack

CALL, REPLY, ERROR, RELEASE = 1, 2, 3, 4

MAX_FRAME_BYTES = 64 << 20
MAX_DEPTH = 32
INT32_MIN, INT32_MAX = -(1 << 31), (1 << 31) - 1
INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1

UNICODE_ERRORS = "surrogateescape"


class ProtocolError(Exception):
    """The peer broke the wire format; the connection is closed."""


class Long(int):
    """A java.lang.Long: a 64-bit integer that travels with its wrapper."""

    def __new__(cls, value=0):
        v = int.__new__(cls, value)
        if not INT64_MIN <= v <= INT64_MAX:
            raise ValueError("Long value %d does not fit 64 bits" % v)
        return v

    def __repr__(self):
        return "Long(%d)" % int(self)


class ObjectArray(list):
    """A Java object array; component is the element type name
    ("java.lang.Object" or a value type's wire name)."""

    def __init__(self, component="java.lang.Object", items=()):
        super().__init__(items)
        self.component = component

    @property
    def wire_name(self):
        return "[L" + self.component + ";"

    def __repr__(self):
        return "ObjectArray(%r, %s)" % (self.component, list.__repr__(self))


# Field kinds of value types.
INT, LONG, DOUBLE, BOOLEAN, OBJECT = "int", "long", "double", "boolean", "object"
_DEFAULTS = {INT: 0, LONG: 0, DOUBLE: 0.0, BOOLEAN: False, OBJECT: None}


class ValueType:
    """Base of the records that cross by value.

    Subclasses set WIRE_NAME, UID and FIELDS, a sequence of (name, kind) in
    wire order. Keyword arguments of the constructor set fields; the others
    start at 0, False or None."""

    WIRE_NAME = None
    UID = 0
    FIELDS = ()

    def __init__(self, **fields):
        for name, kind in self.FIELDS:
            setattr(self, name, _DEFAULTS[kind])
        for name, value in fields.items():
            if name not in {n for n, _ in self.FIELDS}:
                raise TypeError("%s has no field %s" % (type(self).__name__, name))
            setattr(self, name, value)

    def field_values(self):
        return [getattr(self, name) for name, _ in self.FIELDS]

    def __eq__(self, other):
        return type(other) is type(self) and other.field_values() == self.field_values()

    def __hash__(self):
        return hash((type(self).__name__,) + tuple(repr(v) for v in self.field_values()))

    def __repr__(self):
        inner = ", ".join("%s=%r" % (n, getattr(self, n)) for n, _ in self.FIELDS)
        return "%s(%s)" % (type(self).__name__, inner)


class Registry:
    """Wire type name -> Python class, for value types and throwables."""

    def __init__(self):
        self._types = {}

    def register(self, cls, old_uids=()):
        self._types[cls.WIRE_NAME] = (cls, {cls.UID, *old_uids})
        return cls

    def find(self, name):
        return self._types.get(name)


def pack_frame(message):
    """The bytes of one frame carrying message (a list)."""
    payload = msgpack.packb(message, use_bin_type=True, unicode_errors=UNICODE_ERRORS)
    if len(payload) > MAX_FRAME_BYTES:
        raise ValueError("message of %d bytes exceeds the frame limit of %d bytes" % (len(payload), MAX_FRAME_BYTES))
    return struct.pack(">I", len(payload)) + payload


def unpack_payload(payload):
    """The message of one frame's payload; ProtocolError when malformed."""
    try:
        message = msgpack.unpackb(payload, raw=False, use_list=True, strict_map_key=False,
                                  unicode_errors=UNICODE_ERRORS, max_bin_len=MAX_FRAME_BYTES,
                                  max_str_len=MAX_FRAME_BYTES, max_array_len=MAX_FRAME_BYTES)
    except msgpack.ExtraData:
        raise ProtocolError("trailing bytes after the message") from None
    except Exception as e:  # FormatError, StackError, unhashable map keys ...
        raise ProtocolError("malformed message: %s" % e) from None
    if not isinstance(message, list) or len(message) < 2:
        raise ProtocolError("message is not an array")
    return message


class Codec:
    """Turns Python values into MessagePack structures and back.

    refs is the connection side of references:
      export_reference(obj) -> (back: bool, id)   for objects with REMOTE_INTERFACE
                                                   or proxies of the peer's objects
      import_reference(id, interface) -> proxy
      exported_object(id) -> the local object (ProtocolError when unknown)
    """

    def __init__(self, registry, refs):
        self.registry = registry
        self.refs = refs

    # -------------------------------------------------------------- encoding

    def encode(self, value, depth=1):
        if depth > MAX_DEPTH:
            raise ValueError("value nesting deeper than %d levels cannot be sent" % MAX_DEPTH)
        if value is None or isinstance(value, (str, bytes)):
            return value
        if isinstance(value, bool):
            return value
        if isinstance(value, Long):
            return ["java.lang.Long", int(value)]
        if isinstance(value, int):
            if not INT32_MIN <= value <= INT32_MAX:
                raise ValueError("integer %d does not fit a java.lang.Integer; wrap it in Long" % value)
            return value
        if isinstance(value, float):
            return value
        if isinstance(value, (bytearray, memoryview)):
            return bytes(value)
        if isinstance(value, ObjectArray):
            return [value.wire_name, [self.encode(v, depth + 1) for v in value]]
        if isinstance(value, (list, tuple)):
            return ["java.util.List", [self.encode(v, depth + 1) for v in value]]
        if getattr(value, "WIRE_NAME", None) is not None and hasattr(value, "FIELDS"):
            return self._encode_fields(value, depth)
        if getattr(value, "REMOTE_INTERFACE", None) is not None:
            back, ref_id = self.refs.export_reference(value)
            if back:
                return ["@back", ref_id]
            return ["@ref", ref_id, value.REMOTE_INTERFACE]
        raise TypeError("a value of type %s cannot be sent" % type(value).__name__)

    def _encode_fields(self, value, depth):
        out = [value.WIRE_NAME, value.UID]
        for name, kind in value.FIELDS:
            v = getattr(value, name)
            if kind == INT:
                v = int(v)
                if not INT32_MIN <= v <= INT32_MAX:
                    raise ValueError("field %s of %s does not fit 32 bits: %d" % (name, value.WIRE_NAME, v))
                out.append(v)
            elif kind == LONG:
                out.append(int(v))
            elif kind == DOUBLE:
                out.append(float(v))
            elif kind == BOOLEAN:
                out.append(bool(v))
            else:
                out.append(self.encode(v, depth + 1))
        return out

    # -------------------------------------------------------------- decoding

    def decode(self, o, depth=1):
        if depth > MAX_DEPTH:
            raise ProtocolError("value nesting deeper than %d levels" % MAX_DEPTH)
        if o is None or isinstance(o, (bool, float, str, bytes)):
            return o
        if isinstance(o, int):
            if not INT32_MIN <= o <= INT32_MAX:
                raise ProtocolError("Integer value out of range: %d" % o)
            return o
        if not isinstance(o, list):
            raise ProtocolError("unsupported value kind %s" % type(o).__name__)
        if not o or not isinstance(o[0], str):
            raise ProtocolError("typed value without a type name")
        kind = o[0]
        if kind == "java.lang.Long":
            if len(o) != 2 or not isinstance(o[1], int) or isinstance(o[1], bool):
                raise ProtocolError("malformed java.lang.Long")
            return Long(o[1])
        if kind == "java.util.List" or (len(kind) > 3 and kind.startswith("[L") and kind.endswith(";")):
            if len(o) != 2 or not isinstance(o[1], list):
                raise ProtocolError("malformed " + kind)
            items = [self.decode(v, depth + 1) for v in o[1]]
            if kind == "java.util.List":
                return items
            component = kind[2:-1]
            if component != "java.lang.Object" and self.registry.find(component) is None:
                raise ProtocolError("unknown array type " + kind)
            return ObjectArray(component, items)
        if kind == "@ref":
            if len(o) != 3 or not _is_unsigned(o[1]) or not isinstance(o[2], str):
                raise ProtocolError("malformed reference")
            return self.refs.import_reference(o[1], o[2])
        if kind == "@back":
            if len(o) != 2 or not _is_unsigned(o[1]):
                raise ProtocolError("malformed back-reference")
            return self.refs.exported_object(o[1])
        return self._decode_fields(o, kind, depth)

    def _decode_fields(self, o, kind, depth):
        found = self.registry.find(kind)
        if found is None:
            raise ProtocolError("unknown type " + kind)
        cls, uids = found
        if len(o) < 2 or not isinstance(o[1], int) or isinstance(o[1], bool):
            raise ProtocolError("value of type %s without serialVersionUID" % kind)
        if o[1] not in uids:
            raise ProtocolError("incompatible serialVersionUID %d for type %s" % (o[1], kind))
        if len(o) - 2 < len(cls.FIELDS):
            raise ProtocolError("value of type %s has %d fields, needs %d" % (kind, len(o) - 2, len(cls.FIELDS)))
        values = {}
        for (name, fkind), v in zip(cls.FIELDS, o[2:]):
            values[name] = self._decode_field(kind, name, fkind, v, depth)
        try:
            return cls.from_fields(values) if hasattr(cls, "from_fields") else cls(**values)
        except ValueError as e:  # an enum ordinal out of range
            raise ProtocolError("%s: %s" % (kind, e)) from None

    def _decode_field(self, kind, name, fkind, v, depth):
        is_int = isinstance(v, int) and not isinstance(v, bool)
        if fkind == INT:
            if not is_int or not INT32_MIN <= v <= INT32_MAX:
                raise ProtocolError("field %s of type %s is not an int" % (name, kind))
            return v
        if fkind == LONG:
            if not is_int:
                raise ProtocolError("field %s of type %s is not a long" % (name, kind))
            return v
        if fkind == DOUBLE:
            if not (is_int or isinstance(v, float)):
                raise ProtocolError("field %s of type %s is not a double" % (name, kind))
            return float(v)
        if fkind == BOOLEAN:
            if not isinstance(v, bool):
                raise ProtocolError("field %s of type %s is not a boolean" % (name, kind))
            return v
        return self.decode(v, depth + 1)


def _is_unsigned(v):
    return isinstance(v, int) and not isinstance(v, bool) and v >= 0
