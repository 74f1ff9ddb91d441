"""NDR 2.0 (little-endian) reading and writing for the test server's stubs, VARIANTs included.

The stubs are written by hand rather than through impacket's NDR classes: a test peer must put every
pointer, conformance and pad exactly where a Windows stub does, and several of impacket's DCOM
structures are shaped for its client only (see README.md, "impacket's quirks").
"""
import struct
import uuid

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR = 0, 1, 2, 3, 4, 5, 6, 7, 8
VT_ERROR, VT_BOOL, VT_VARIANT, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8 = 10, 11, 12, 16, 17, 18, 19, 20, 21
VT_INT, VT_UINT, VT_ARRAY = 22, 23, 0x2000

# Wire size and struct format of each fixed-size scalar VARIANT arm.
SCALARS = {
    VT_I1: (1, "<b"), VT_UI1: (1, "<B"), VT_I2: (2, "<h"), VT_UI2: (2, "<H"), VT_BOOL: (2, "<h"),
    VT_I4: (4, "<i"), VT_UI4: (4, "<I"), VT_INT: (4, "<i"), VT_UINT: (4, "<I"), VT_ERROR: (4, "<I"),
    VT_R4: (4, "<f"), VT_R8: (8, "<d"), VT_DATE: (8, "<d"), VT_I8: (8, "<q"), VT_UI8: (8, "<Q"),
    VT_CY: (8, "<q"),
}
# SAFEARRAY union arm (SF_TYPE) by element size; BSTR arrays have their own arm.
SF_BY_SIZE = {1: 16, 2: 2, 4: 3, 8: 20}
SF_BSTR = 8
FADF_HAVEVARTYPE, FADF_BSTR = 0x0080, 0x0100


class NdrError(ValueError):
    """A stub that does not decode: the call is answered with a fault, never a crash."""


def guid(text):
    return uuid.UUID(text).bytes_le


def guid_text(raw):
    return str(uuid.UUID(bytes_le=bytes(raw))).upper()


class Writer:
    def __init__(self):
        self.buf = bytearray()
        self._deferred = None  # None at the top level: a pointer's referent follows it at once
        self._next_ref = 0x20000

    @property
    def pos(self):
        return len(self.buf)

    def align(self, n):
        self.buf += b"\0" * (-len(self.buf) % n)

    def pack(self, fmt, *values):
        self.align(struct.calcsize(fmt[-1]))
        self.buf += struct.pack(fmt, *values)

    def u8(self, v): self.buf.append(v & 0xFF)
    def u16(self, v): self.pack("<H", v & 0xFFFF)
    def u32(self, v): self.pack("<I", v & 0xFFFFFFFF)
    def i32(self, v): self.pack("<i", v)
    def u64(self, v): self.pack("<Q", v)
    def f32(self, v): self.pack("<f", v)

    def guid(self, raw):
        self.align(4)
        self.buf += raw

    def raw(self, data):
        self.buf += data

    def refid(self):
        self._next_ref += 4
        self.u32(self._next_ref)

    def ptr(self, fn, *args):
        """A unique pointer; fn(writer, *args) writes the referent, None writes a null pointer.
        Referents of embedded pointers follow the outermost construct, depth first, as MIDL does."""
        if fn is None:
            self.u32(0)
            return
        self.refid()
        if self._deferred is None:
            self.construct(fn, *args)
        else:
            self._deferred.append((fn, args))

    def construct(self, fn, *args):
        outer, self._deferred = self._deferred, []
        fn(self, *args)
        pending, self._deferred = self._deferred, outer
        for f, a in pending:
            self.construct(f, *a)

    def wstr(self, text):
        """A conformant varying string (the referent of [string] wchar_t*)."""
        data = (text + "\0").encode("utf-16le")
        n = len(data) // 2
        self.u32(n)
        self.u32(0)
        self.u32(n)
        self.raw(data)

    def interface(self, objref):
        """MInterfacePointer, a conformant structure: the count is hoisted before it."""
        self.u32(len(objref))
        self.u32(len(objref))
        self.raw(objref)

    def array(self, items, fn):
        """A conformant array of items, each written by fn(writer, item). An array is a construct:
        the referents of pointers in it follow the whole array."""
        def body(w):
            w.u32(len(items))
            for item in items:
                fn(w, item)
        if self._deferred is None:
            self.construct(body)
        else:
            body(self)

    def variant(self, value):
        """The referent of a VARIANT (wireVARIANT is a unique pointer): value is (vt, python value)."""
        vt, v = value
        self.align(8)
        start = self.pos
        self.u32(0)  # clSize, patched below
        self.u32(0)
        self.u16(vt)
        self.raw(b"\0" * 6)
        self.u32(vt & ~0xFFF if vt & VT_ARRAY else vt)
        if vt & VT_ARRAY:
            self.refid()  # wirePSAFEARRAY
            self.refid()  # wireSAFEARRAY
            self._safearray(vt & 0xFFF, v)
        elif vt == VT_BSTR:
            self.refid()
            self._bstr(v)
        elif vt in SCALARS:
            size, fmt = SCALARS[vt]
            self.align(size)
            self.raw(struct.pack(fmt, -1 if vt == VT_BOOL and v else v))
        elif vt not in (VT_EMPTY, VT_NULL):
            raise NdrError("cannot encode VARIANT type 0x%04x" % vt)
        struct.pack_into("<I", self.buf, start, (self.pos - start + 7) // 8)

    def _bstr(self, text):
        data = text.encode("utf-16le")
        self.u32(len(data) // 2)
        self.u32(len(data))
        self.u32(len(data) // 2)
        self.raw(data)

    def _safearray(self, et, items):
        bstr = et == VT_BSTR
        if not bstr and et not in SCALARS:
            raise NdrError("cannot encode an array of VARIANT type 0x%04x" % et)
        size, fmt = (4, None) if bstr else SCALARS[et]
        self.u32(1)  # conformance of rgsabound
        self.u16(1)
        self.u16(FADF_HAVEVARTYPE | (FADF_BSTR if bstr else 0))
        self.u32(size)
        self.u32(et << 16)  # cLocks: Windows carries the VARTYPE in the high word
        self.u32(SF_BSTR if bstr else SF_BY_SIZE[size])
        self.u32(len(items))
        self.refid()
        self.u32(len(items))  # rgsabound[0].cElements
        self.i32(0)  # lLbound
        self.u32(len(items))
        if bstr:
            for _ in items:
                self.refid()
            for text in items:
                self._bstr(text)
        else:
            self.align(size)
            for item in items:
                self.raw(struct.pack(fmt, -1 if et == VT_BOOL and item else item))

    def bytes(self):
        return bytes(self.buf)


class Reader:
    def __init__(self, data, pos=0):
        self.data = bytes(data)
        self.pos = pos

    def need(self, n):
        if n < 0 or self.pos + n > len(self.data):
            raise NdrError("stub ends early at byte %d (needs %d more)" % (self.pos, n))

    def align(self, n):
        self.pos += -self.pos % n

    def unpack(self, fmt):
        size = struct.calcsize(fmt)
        self.align(struct.calcsize(fmt[-1]))
        self.need(size)
        v = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return v[0] if len(v) == 1 else v

    def u8(self): return self.unpack("<B")
    def u16(self): return self.unpack("<H")
    def u32(self): return self.unpack("<I")
    def i32(self): return self.unpack("<i")
    def u64(self): return self.unpack("<Q")
    def f32(self): return self.unpack("<f")

    def enum16(self):
        # OPC's enums are not v1_enum: 16 bits on the wire, the pad after them is not ours to read
        return self.u16()

    def raw(self, n):
        self.need(n)
        v = self.data[self.pos:self.pos + n]
        self.pos += n
        return v

    def guid(self):
        self.align(4)
        return self.raw(16)

    def count(self, limit=1 << 20):
        n = self.u32()
        if n > limit:
            raise NdrError("count %d is beyond any sane request" % n)
        return n

    def wstr(self):
        maxc, offset, actual = self.u32(), self.u32(), self.u32()
        if offset != 0 or actual > maxc or actual == 0 or actual > 1 << 20:
            raise NdrError("malformed string (max %d, offset %d, actual %d)" % (maxc, offset, actual))
        data = self.raw(actual * 2)
        if data[-2:] != b"\0\0":
            raise NdrError("string without its terminating null")
        try:
            return data[:-2].decode("utf-16le")
        except UnicodeDecodeError as e:
            raise NdrError("string is not UTF-16: %s" % e) from None

    def unique(self, fn):
        """A top-level unique pointer: its referent follows at once."""
        return fn(self) if self.u32() else None

    def interface(self):
        maxc = self.count()
        n = self.u32()
        if n != maxc:
            raise NdrError("MInterfacePointer size %d does not match its conformance %d" % (n, maxc))
        return self.raw(n)

    def variant(self):
        """The referent of a VARIANT; returns (vt, python value)."""
        self.align(8)
        start = self.pos
        self.u32()  # clSize is advisory
        self.u32()
        vt = self.u16()
        self.raw(6)
        disc = self.u32()
        if disc != (vt & ~0xFFF if vt & VT_ARRAY else vt):
            raise NdrError("VARIANT switch 0x%x does not match vt 0x%x" % (disc, vt))
        if vt & VT_ARRAY:
            if not self.u32() or not self.u32():
                return vt, None
            return vt, self._safearray(vt & 0xFFF)
        if vt == VT_BSTR:
            return vt, self._bstr() if self.u32() else ""
        if vt in SCALARS:
            size, fmt = SCALARS[vt]
            self.align(size)
            v = struct.unpack(fmt, self.raw(size))[0]
            return vt, (v != 0) if vt == VT_BOOL else v
        if vt in (VT_EMPTY, VT_NULL):
            return vt, None
        raise NdrError("unsupported VARIANT type 0x%04x at byte %d" % (vt, start))

    def _bstr(self):
        maxc, _flags, n = self.u32(), self.u32(), self.u32()
        if n > maxc or n > 1 << 20:
            raise NdrError("malformed BSTR")
        return self.raw(n * 2).decode("utf-16le", errors="replace")

    def _safearray(self, et):
        dims = self.u32()
        if dims != 1 or self.u16() != 1:
            raise NdrError("only one-dimensional SAFEARRAYs are taken")
        self.u16()
        cb = self.u32()
        self.u32()
        sf = self.u32()
        n = self.count()
        has = self.u32()
        cells, _lbound = self.u32(), self.i32()
        if cells != n:
            raise NdrError("SAFEARRAY bound %d does not match its %d cells" % (cells, n))
        if not has:
            return []
        if self.count() != n:
            raise NdrError("SAFEARRAY data count does not match")
        if et == VT_BSTR and sf == SF_BSTR:
            refs = [self.u32() for _ in range(n)]
            return [self._bstr() if r else "" for r in refs]
        if et not in SCALARS or SCALARS[et][0] != cb or SF_BY_SIZE.get(cb) != sf:
            raise NdrError("unsupported SAFEARRAY of 0x%04x (element size %d, arm %d)" % (et, cb, sf))
        size, fmt = SCALARS[et]
        self.align(size)
        values = [struct.unpack(fmt, self.raw(size))[0] for _ in range(n)]
        return [v != 0 for v in values] if et == VT_BOOL else values
