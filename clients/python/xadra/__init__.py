"""A client of the xadrad renderer daemon, written from docs/protocol.md.

    from xadra import Renderer, FileStream, MIME_HPGL
    with Renderer("127.0.0.1", 3455) as r:
        png = r.renderPngByResolution(FileStream("plot.hpgl", MIME_HPGL), 72.0).read_all()

Needs only python3 and python3-msgpack.
"""

from .connection import CallTimeout, Connection, ConnectionLost, RemoteObject, DEFAULT_PORT
from .renderer import Renderer, repeat_on_timeout, retry_pause
from .streams import BytesStream, FileStream, LocalStream, RemoteStream, mime_type_for
from .types import (MIME_FDF, MIME_HPGL, MIME_PDF, MIME_PNG, Annotation, BoundingBoxWithAngle,
                    ByteArrayMimeInputStream, DRMError, HPGSError, JavaException, PatternParameters,
                    PatternSeekResult, PDFProperty, PDFPropertyType, PreviewException, PreviewIOError, RemoteError,
                    RemoteException, Timeout)
from .wire import Long, ObjectArray, ProtocolError

# Log category bits that ERROR frames carry.
CATEGORY_FRAMEWORK = 1
CATEGORY_DAEMON = 16
