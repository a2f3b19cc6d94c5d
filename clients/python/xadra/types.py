"""The value types and exceptions of the renderer interface (docs/protocol.md,
"Value types")."""

import time
import zlib

from .wire import BOOLEAN, DOUBLE, INT, OBJECT, Registry, ValueType

MIME_HPGL = "image/hpgl"
MIME_PDF = "application/pdf"
MIME_FDF = "application/vnd.fdf"
MIME_PNG = "image/png"

registry = Registry()


@registry.register
class BoundingBoxWithAngle(ValueType):
    """A rectangle in points (1/72 inch) measured from the drawing's
    lower-left corner, and a rotation in degrees, counter-clockwise."""

    WIRE_NAME = "xad.preview.api.BoundingBoxWithAngle"
    UID = 2280904842547387023
    FIELDS = (("angle", INT), ("llx", DOUBLE), ("lly", DOUBLE), ("urx", DOUBLE), ("ury", DOUBLE),
              ("userUnit", DOUBLE))

    @property
    def width(self):
        return self.urx - self.llx

    @property
    def height(self):
        return self.ury - self.lly


@registry.register
class PatternParameters(ValueType):
    """One candidate of a pattern seek at one rotation."""

    WIRE_NAME = "xad.preview.api.PatternParameters"
    UID = 7278454683144328889
    FIELDS = (("angle", INT), ("correlation", DOUBLE), ("dx", DOUBLE), ("dy", DOUBLE), ("overlap", DOUBLE),
              ("separation", DOUBLE))


@registry.register
class PatternSeekResult(ValueType):
    """boundingBox of the searched drawing; parameters: an ObjectArray of four
    PatternParameters for 0, 90, 180 and 270 degrees."""

    WIRE_NAME = "xad.preview.api.PatternSeekResult"
    UID = 705550413708373337
    FIELDS = (("boundingBox", OBJECT), ("parameters", OBJECT))


@registry.register
class PDFPropertyType(ValueType):
    """An enum: use the class attributes (PDFPropertyType.TITLE ...)."""

    WIRE_NAME = "xad.preview.api.PDFPropertyType"
    UID = 0
    FIELDS = (("ordinal", INT), ("name", OBJECT))
    NAMES = ("TITLE", "AUTHOR", "SUBJECT", "KEYWORDS", "CREATOR", "ANNOTATION", "SCALE_ANNO", "SUBMIT_MSG",
             "OPEN_SCRIPT", "DC_SCRIPT", "WS_SCRIPT", "DS_SCRIPT", "WP_SCRIPT", "DP_SCRIPT")

    @classmethod
    def of(cls, key):
        """The constant for an ordinal or a name."""
        ordinal = cls.NAMES.index(key) if isinstance(key, str) else int(key)
        if not 0 <= ordinal < len(cls.NAMES):
            raise ValueError("no PDFPropertyType with ordinal %d" % ordinal)
        return cls(ordinal=ordinal, name=cls.NAMES[ordinal])

    @classmethod
    def from_fields(cls, values):
        return cls.of(values["ordinal"])

    def __repr__(self):
        return "PDFPropertyType.%s" % self.name


for _i, _n in enumerate(PDFPropertyType.NAMES):
    setattr(PDFPropertyType, _n, PDFPropertyType(ordinal=_i, name=_n))


@registry.register
class PDFProperty(ValueType):
    """type: a PDFPropertyType; value: a str."""

    WIRE_NAME = "xad.preview.api.PDFProperty"
    UID = -4678211486168957013
    FIELDS = (("type", OBJECT), ("value", OBJECT))


@registry.register
class Annotation(ValueType):
    """One FDF annotation. mode 2: drawn into the page content; 1: imported
    as PDF annotation (import mode 3); other values: import mode 0.
    fdf is a stream (ByteArrayMimeInputStream or a local stream object)
    with MIME type application/vnd.fdf."""

    WIRE_NAME = "xad.preview.api.Annotation"
    UID = 7072325182404949278
    FIELDS = (("color", OBJECT), ("fdf", OBJECT), ("mode", INT), ("owner", OBJECT), ("title", OBJECT))


@registry.register
class ByteArrayMimeInputStream(ValueType):
    """A whole document sent by value (the daemon reads it locally).

    The unique name defaults to the CRC-32 of the data as eight lower-case
    hexadecimal digits, the timestamp to now (seconds since 1970 UTC)."""

    WIRE_NAME = "xad.preview.streams.ByteArrayMimeInputStream"
    UID = -657380116893924918
    FIELDS = (("data", OBJECT), ("mimeType", OBJECT), ("prettyName", OBJECT), ("timestamp", DOUBLE),
              ("uniqueName", OBJECT))

    @classmethod
    def of(cls, data, pretty_name, mime_type, timestamp=None, unique_name=None):
        data = bytes(data)
        return cls(data=data, mimeType=mime_type, prettyName=pretty_name,
                   timestamp=time.time() if timestamp is None else float(timestamp),
                   uniqueName=unique_name if unique_name is not None else "%08x" % zlib.crc32(data))


# ----------------------------------------------------------------- exceptions


class RemoteException(Exception):
    """A failure the peer reported (an ERROR frame), or one this side reports
    to the peer. category and level are the frame's log category bit and level;
    message is the throwable's detail message (None when it had none)."""

    WIRE_NAME = "java.lang.Throwable"
    UID = -3042686055658047285
    FIELDS = (("message", OBJECT),)

    def __init__(self, message=None, category=16, level=3):
        super().__init__(message)
        self.message = message
        self.category = category
        self.level = level

    @classmethod
    def from_fields(cls, values):
        return cls(**values)

    def __str__(self):
        return self.WIRE_NAME + (": " + self.message if self.message is not None else "")


@registry.register
class JavaException(RemoteException):
    WIRE_NAME = "java.lang.Exception"
    UID = -3387516993124229948


@registry.register
class RemoteError(JavaException):
    """plume.RemoteError: the framework's report of a failure that is not
    one of the service's exceptions (unknown target or method, wrong
    argument count, unboxing failure, a refused call)."""

    WIRE_NAME = "plume.RemoteError"
    UID = 1


@registry.register
class PreviewException(JavaException):
    WIRE_NAME = "xad.preview.api.PreviewException"
    UID = -8613402002615537011


@registry.register
class DRMError(PreviewException):
    """The input is an encrypted PDF document."""

    WIRE_NAME = "xad.preview.api.DRMError"
    UID = 7174653008276797179


@registry.register
class HPGSError(PreviewException):
    """Rendering failed (bad or empty drawing, ghostscript failure ...)."""

    WIRE_NAME = "xad.preview.api.HPGSError"
    UID = -3602010984353858792


@registry.register
class PreviewIOError(PreviewException):
    """xad.preview.api.IOError: a stream or file failure, or a request the
    service cannot serve (missing stream, unsupported MIME type)."""

    WIRE_NAME = "xad.preview.api.IOError"
    UID = 1955749351692554062


@registry.register
class Timeout(PreviewException):
    """The job did not finish within `timeout` seconds, or no worker was
    free. The job goes on; repeat the same call later to get its result."""

    WIRE_NAME = "xad.preview.api.Timeout"
    UID = 138013960363251379
    FIELDS = (("timeout", INT), ("message", OBJECT))

    def __init__(self, message=None, category=16, level=3, timeout=0):
        super().__init__(message, category, level)
        self.timeout = timeout


registry.register(RemoteException)
