"""The OPC objects the test server serves: OpcEnum, the DA server, its groups and enumerators,
over an address space like the embedded simulation's."""
import math
import re
import struct
import threading
import time

import rpc
from dcom import (ComObject, E_FAIL, E_INVALIDARG, E_NOINTERFACE, E_NOTIMPL, S_FALSE, S_OK)
from ndr import (NdrError, VT_ARRAY, VT_BOOL, VT_BSTR, VT_DATE, VT_EMPTY, VT_I1, VT_I2, VT_I4, VT_I8, VT_R4,
                 VT_R8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, guid)

CLSID_OpcEnum = guid("13486D51-4821-11D2-A494-3CB306C10000")
CLSID_TestServer = guid("7B3C5E20-9A41-4D6B-8E2F-5A1C0D3B9E47")
PROGID, VERSION_INDEPENDENT_PROGID = "Vexa.DcomTest.1", "Vexa.DcomTest"
USER_TYPE = "VEXA32 DCOM test server"
IID = {name: guid(text) for name, text in {
    "IOPCServer": "39C13A4D-011E-11D0-9675-0020AFD8ADB3",
    "IOPCBrowseServerAddressSpace": "39C13A4F-011E-11D0-9675-0020AFD8ADB3",
    "IOPCGroupStateMgt": "39C13A50-011E-11D0-9675-0020AFD8ADB3",
    "IOPCGroupStateMgt2": "8E368666-D72E-4F78-87ED-647611C61C9F",
    "IOPCSyncIO": "39C13A52-011E-11D0-9675-0020AFD8ADB3",
    "IOPCItemMgt": "39C13A54-011E-11D0-9675-0020AFD8ADB3",
    "IOPCItemProperties": "39C13A72-011E-11D0-9675-0020AFD8ADB3",
    "IOPCBrowse": "39227004-A18F-4B57-8B0A-5235670F4468",
    "IOPCCommon": "F31DFDE2-07B6-11D2-B2D8-0060083BA1FB",
    "IOPCServerList": "13486D50-4821-11D2-A494-3CB306C10000",
    "IOPCServerList2": "9DD0B56C-AD9E-43EE-8305-487F3188BF7A",
    "IOPCEnumGUID": "55C382C8-21C7-4E88-96C1-BECFB1E3F483",
    "IEnumGUID": "0002E000-0000-0000-C000-000000000046",
    "IEnumString": "00000101-0000-0000-C000-000000000046",
    "IConnectionPointContainer": "B196B284-BAB4-101A-B69C-00AA00341D07",
    "IConnectionPoint": "B196B286-BAB4-101A-B69C-00AA00341D07",
    # known to the name table only, so logs and --refuse-iid can name them
    "IOPCAsyncIO2": "39C13A71-011E-11D0-9675-0020AFD8ADB3",
    "IOPCItemIO": "85C0B427-2893-4CBC-BD78-E5FC5146F08F",
    "IOPCShutdown": "F31DFDE1-07B6-11D2-B2D8-0060083BA1FB",
    "IOPCDataCallback": "39C13A70-011E-11D0-9675-0020AFD8ADB3",
}.items()}
# Methods after IUnknown's three, in the order of opcda.idl, opccomn.idl, ocidl.idl and objidl.idl:
# the wire opnum is 3 + the position. Every served method is looked up here, by name.
IDL_ORDER = {
    "IOPCServer": ["AddGroup", "GetErrorString", "GetGroupByName", "GetStatus", "RemoveGroup",
                   "CreateGroupEnumerator"],
    "IOPCCommon": ["SetLocaleID", "GetLocaleID", "QueryAvailableLocaleIDs", "GetErrorString", "SetClientName"],
    "IOPCBrowseServerAddressSpace": ["QueryOrganization", "ChangeBrowsePosition", "BrowseOPCItemIDs", "GetItemID",
                                     "BrowseAccessPaths"],
    "IOPCItemProperties": ["QueryAvailableProperties", "GetItemProperties", "LookupItemIDs"],
    "IConnectionPointContainer": ["EnumConnectionPoints", "FindConnectionPoint"],
    "IOPCItemMgt": ["AddItems", "ValidateItems", "RemoveItems", "SetActiveState", "SetClientHandles",
                    "SetDatatypes", "CreateEnumerator"],
    "IOPCSyncIO": ["Read", "Write"],
    "IOPCGroupStateMgt": ["GetState", "SetState", "SetName", "CloneGroup"],
    "IOPCGroupStateMgt2": ["GetState", "SetState", "SetName", "CloneGroup", "SetKeepAlive", "GetKeepAlive"],
    "IEnumString": ["Next", "Skip", "Reset", "Clone"],
    "IEnumGUID": ["Next", "Skip", "Reset", "Clone"],
    "IOPCEnumGUID": ["Next", "Skip", "Reset", "Clone"],
    "IOPCServerList": ["EnumClassesOfCategories", "GetClassDetails", "CLSIDFromProgID"],
    "IOPCServerList2": ["EnumClassesOfCategories", "GetClassDetails", "CLSIDFromProgID"],
    "IOPCBrowse": ["GetProperties", "Browse"],
    "IOPCAsyncIO2": ["Read", "Write", "Refresh2", "Cancel2", "SetEnable", "GetEnable"],
    "IConnectionPoint": ["GetConnectionInterface", "GetConnectionPointContainer", "Advise", "Unadvise",
                         "EnumConnections"],
}
CATID_DA10 = guid("63D5F430-CFE4-11D1-B2C8-0060083BA1FB")
CATID_DA20 = guid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB")

OPC_E_INVALIDHANDLE, OPC_E_BADTYPE, OPC_E_BADRIGHTS = 0xC0040001, 0xC0040004, 0xC0040006
OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID, OPC_E_RANGE = 0xC0040007, 0xC0040008, 0xC004000B
OPC_E_DUPLICATENAME, OPC_S_UNSUPPORTEDRATE, OPC_S_INUSE = 0xC004000C, 0x0004000D, 0x0004000F
OPC_E_INVALID_PID, OPC_E_NOTFOUND = 0xC0040203, 0xC0040011
OPC_BROWSE_HASCHILDREN, OPC_BROWSE_ISITEM = 1, 2
CONNECT_E_NOCONNECTION, CONNECT_E_ADVISELIMIT = 0x80040200, 0x80040201
ERROR_TEXT = {  # our own wording
    S_OK: "Done.", S_FALSE: "Done, but some entries failed.",
    E_FAIL: "The call failed.", E_INVALIDARG: "An argument is out of bounds or malformed.",
    E_NOINTERFACE: "The object does not offer that interface.", E_NOTIMPL: "This test server does not do that.",
    0x80070005: "The caller may not do that.",
    OPC_E_INVALIDHANDLE: "No item or group has that handle.",
    OPC_E_BADTYPE: "The value cannot be converted to or from the item's type.",
    OPC_E_BADRIGHTS: "The item cannot be read or written that way.",
    OPC_E_UNKNOWNITEMID: "The address space has no such item.",
    OPC_E_INVALIDITEMID: "That is not a valid item ID.",
    OPC_E_RANGE: "The value does not fit the item's type.", OPC_E_DUPLICATENAME: "A group already has that name.",
    OPC_S_UNSUPPORTEDRATE: "The update rate was revised to one the server can keep.",
    OPC_S_INUSE: "The group is still referenced and goes when the last reference does.",
    OPC_E_INVALID_PID: "The item has no property with that ID.",
}
LOCALES = (0x0409, 0x0000, 0x0400, 0x0800)
FASTEST_RATE = 10  # ms, as the embedded simulation
GOOD, UNCERTAIN, BAD_COMM, OUT_OF_SERVICE = 0xC0, 0x40, 0x18, 0x1C
READ, WRITE = 1, 2
INT_RANGE = {VT_I1: (-128, 127), VT_UI1: (0, 255), VT_I2: (-32768, 32767), VT_UI2: (0, 65535),
             VT_I4: (-2 ** 31, 2 ** 31 - 1), VT_UI4: (0, 2 ** 32 - 1), VT_I8: (-2 ** 63, 2 ** 63 - 1),
             VT_UI8: (0, 2 ** 64 - 1)}


class BadValue(Exception):
    def __init__(self, hr):
        super().__init__(hex(hr))
        self.hr = hr


def convert(vt_from, value, vt_to):
    """The value as vt_to, as VariantChangeType would; BadValue(OPC_E_BADTYPE or OPC_E_RANGE)."""
    if vt_to in (vt_from, VT_EMPTY):
        return value
    if (vt_from | vt_to) & VT_ARRAY:
        if not (vt_from & vt_to & VT_ARRAY) or value is None:
            raise BadValue(OPC_E_BADTYPE)
        return [convert(vt_from & 0xFFF, v, vt_to & 0xFFF) for v in value]
    if vt_from in (VT_EMPTY, 1):
        raise BadValue(OPC_E_BADTYPE)
    if vt_to == VT_BSTR:
        if vt_from == VT_BOOL:
            return "True" if value else "False"
        return repr(value) if isinstance(value, float) else str(value)
    if vt_from == VT_BSTR:
        text = value.strip()
        if vt_to == VT_BOOL and text.lower() in ("true", "false"):
            return text.lower() == "true"
        try:
            value = float(text) if re.fullmatch(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?", text) else None
        except ValueError:
            value = None
        if value is None:
            raise BadValue(OPC_E_BADTYPE)
    if vt_to == VT_BOOL:
        return bool(value)
    if vt_to in INT_RANGE:
        x = int(round(float(value))) if not isinstance(value, bool) else (-1 if value else 0)
        lo, hi = INT_RANGE[vt_to]
        if not lo <= x <= hi or (isinstance(value, float) and not math.isfinite(value)):
            raise BadValue(OPC_E_RANGE)
        return x
    if vt_to in (VT_R4, VT_R8, VT_DATE):
        x = float(-1 if value is True else value)
        if vt_to == VT_R4 and math.isfinite(x) and abs(x) > 3.4028234663852886e38:
            raise BadValue(OPC_E_RANGE)
        return struct.unpack("<f", struct.pack("<f", x))[0] if vt_to == VT_R4 else x
    raise BadValue(OPC_E_BADTYPE)


class Item:
    def __init__(self, path, name, vt, access, signal, period=1.0, initial=None, quality=GOOD, index=0):
        self.path, self.name = path, name
        self.id = ".".join(path + [name])
        self.vt, self.access, self.signal, self.period = vt, access, signal, period
        self.value = initial if initial is not None else convert(VT_I4, 0, vt) if not vt & VT_ARRAY else []
        if vt == VT_BSTR and initial is None:
            self.value = ""
        self.quality, self.index = quality, index
        self.written = time.time()

    def read(self, t):
        """(value, quality, timestamp) at t seconds after the server started."""
        p = self.period
        step = math.floor(t / p)
        now = time.time()
        s = self.signal
        if s == "stored":
            return self.value, self.quality, self.written
        if s == "sine":
            v = convert(VT_R8, 100.0 * math.sin(2 * math.pi * t / p), self.vt)
        elif s == "ramp":
            v = convert(VT_R8, 100.0 * (t / p - step), self.vt)
        elif s == "random":
            v = convert(VT_R8, ((step * 1315423911 + self.index * 2654435761) % 100000) / 100.0, self.vt)
        elif s == "counter":
            v = wrap(step, self.vt)
        elif s == "square":
            v = convert(VT_BOOL, math.floor(2 * t / p) % 2 == 1, self.vt)
        elif s == "clock":
            v = round(now) / 86400.0 + 25569.0
        else:  # array: five elements counting up every period
            v = [wrap(step + i, self.vt & 0xFFF) for i in range(5)]
        return v, self.quality, now


def wrap(n, vt):
    if vt in INT_RANGE:
        lo, hi = INT_RANGE[vt]
        return lo + (n - lo) % (hi - lo + 1)
    return convert(VT_I8, n, vt) if vt != VT_BOOL else n % 2 == 1


def address_space(many=0):
    """A small address space like the embedded simulation's; 'many' adds SimulatePLC.Many.ItemNNNNN."""
    R, W, RW = READ, WRITE, READ | WRITE
    rows = [
        ([], "Heartbeat", VT_BOOL, R, "square", 2.0),
        ([], "Version", VT_BSTR, R, "stored", 1.0, "VEXA32 DCOM test server 1.0"),
        (["SimulatePLC"], "Sine", VT_R8, R, "sine", 6.0),
        (["SimulatePLC"], "Ramp", VT_R8, R, "ramp", 10.0),
        (["SimulatePLC"], "Random", VT_I4, R, "random", 0.5),
        (["SimulatePLC"], "Counter", VT_I4, R, "counter", 1.0),
        (["SimulatePLC"], "Square", VT_BOOL, R, "square", 4.0),
        (["SimulatePLC"], "Setpoint", VT_R8, RW, "stored", 1.0, 50.0),
        (["SimulatePLC"], "Text", VT_BSTR, RW, "stored", 1.0, "hello"),
        (["SimulatePLC"], "ReadOnly", VT_I2, R, "stored", 1.0, 42),
        (["SimulatePLC"], "WriteOnly", VT_I4, W, "stored"),
        (["SimulatePLC"], "Date", VT_DATE, R, "clock"),
        (["SimulatePLC"], "Uncertain", VT_R8, R, "stored", 1.0, 12.5, UNCERTAIN),
        (["SimulatePLC"], "Bad", VT_R8, R, "stored", 1.0, -1.0, BAD_COMM),
        (["SimulatePLC", "Arrays"], "ByteArray", VT_ARRAY | VT_UI1, R, "array", 1.0),
        (["SimulatePLC", "Arrays"], "ShortArray", VT_ARRAY | VT_I2, R, "array", 2.0),
        (["SimulatePLC", "Arrays"], "LongArray", VT_ARRAY | VT_I4, RW, "stored", 1.0, [1, 2, 3]),
        (["SimulatePLC", "Arrays"], "FloatArray", VT_ARRAY | VT_R4, R, "array", 3.0),
        (["SimulatePLC", "Arrays"], "DoubleArray", VT_ARRAY | VT_R8, RW, "stored", 1.0, [0.5, 1.5]),
        (["SimulatePLC", "Arrays"], "StringArray", VT_ARRAY | VT_BSTR, RW, "stored", 1.0, ["a", "b"]),
    ] + [(["SimulatePLC", "Types"], n, vt, RW, "stored") for n, vt in (
        ("Boolean", VT_BOOL), ("Char", VT_I1), ("Byte", VT_UI1), ("Short", VT_I2), ("Word", VT_UI2),
        ("Long", VT_I4), ("DWord", VT_UI4), ("Float", VT_R4), ("Double", VT_R8), ("String", VT_BSTR),
        ("Date", VT_DATE))] + [
        (["test1", "cpu", "SignalTags"], "Signal_0001B", VT_BOOL, R, "square", 2.0),
        (["test1", "cpu", "SignalTags"], "Signal_0002W", VT_UI2, R, "counter", 0.5),
        (["test1", "cpu", "SignalTags"], "Signal_0003R", VT_R4, R, "sine", 8.0),
        (["test1", "cpu", "SignalTags"], "Signal_0004S", VT_BSTR, RW, "stored", 1.0, "idle"),
        (["Line 1.Area B"], "Temperature", VT_R8, R, "ramp", 20.0),
        (["Line 1.Area B"], "Running", VT_BOOL, RW, "stored", 1.0, True),
        (["K"], "Level", VT_R4, R, "sine", 12.0),
        (["K"], "Pump", VT_BOOL, RW, "stored"),
    ] + [(["SimulatePLC", "Many"], "Item%05d" % i, VT_I4, R, "counter", 1.0) for i in range(1, many + 1)]
    return [Item(*row[:5], *row[5:], index=i) for i, row in enumerate(rows)]


def like(pattern, text):
    """OPC browse filters use Visual Basic's Like: * ? # and [charlist]."""
    out, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if c == "[" and "]" in pattern[i:]:
            j = pattern.index("]", i)
            body = pattern[i + 1:j]
            out.append("[" + ("^" + re.escape(body[1:]) if body.startswith("!") else re.escape(body)) + "]")
            i = j + 1
            continue
        out.append({"*": ".*", "?": ".", "#": "[0-9]"}.get(c, re.escape(c)))
        i += 1
    return re.fullmatch("".join(out), text, re.S) is not None


def read_handles(r, n, what="handle"):
    if r.count() != n:
        raise NdrError("%s array conformance does not match dwCount" % what)
    return [r.u32() for _ in range(n)]


def write_errors(w, errors):
    w.ptr(lambda w: w.array(errors, lambda w, e: w.u32(e)))


def summary(errors):
    return S_OK if not any(errors) else S_FALSE


def write_interface(w, world, obj, iid):
    w.ptr((lambda w: w.interface(world.export(obj, iid))) if obj is not None else None)


def filetime_parts(w, t):
    ft = rpc.filetime(t) if t else 0
    w.u32(ft & 0xFFFFFFFF)
    w.u32(ft >> 32)


class Enumerator(ComObject):
    """IEnumString or IEnumGUID over a fixed list."""

    def __init__(self, world, items):
        super().__init__(world)
        self.items, self.pos = list(items), 0

    def next(self, call, r, w):
        celt = r.u32()
        got = self.items[self.pos:self.pos + min(celt, 1 << 16)]
        self.pos += len(got)
        w.u32(celt)
        w.u32(0)
        w.u32(len(got))
        self.write_elements(w, got)
        w.u32(len(got))
        return S_OK if len(got) == celt else S_FALSE

    def skip(self, call, r, w):
        n = r.u32()
        moved = min(n, len(self.items) - self.pos)
        self.pos += moved
        return S_OK if moved == n else S_FALSE

    def reset(self, call, r, w):
        self.pos = 0
        return S_OK

    def clone(self, call, r, w):
        twin = type(self)(self.world, self.items)
        twin.pos = self.pos
        write_interface(w, self.world, twin, call.iid)
        return S_OK


class EnumString(Enumerator):
    kind = "IEnumString"
    IFACES = {IID["IEnumString"]: "IEnumString"}
    METHODS = {"IEnumString." + m: m.lower() for m in ("Next", "Skip", "Reset", "Clone")}

    @staticmethod
    def write_elements(w, got):
        w.construct(lambda w: [w.ptr(lambda w, s=s: w.wstr(s)) for s in got])


class EnumGuid(Enumerator):
    kind = "IEnumGUID"
    IFACES = {IID["IEnumGUID"]: "IEnumGUID", IID["IOPCEnumGUID"]: "IOPCEnumGUID"}
    METHODS = {n + "." + m: m.lower() for n in ("IEnumGUID", "IOPCEnumGUID") for m in ("Next", "Skip", "Reset", "Clone")}

    @staticmethod
    def write_elements(w, got):
        for g in got:
            w.guid(g)


class OpcEnum(ComObject):
    kind = "OpcEnum"
    IFACES = {IID["IOPCServerList"]: "IOPCServerList", IID["IOPCServerList2"]: "IOPCServerList2"}
    METHODS = {n + "." + m: p for n in ("IOPCServerList", "IOPCServerList2") for m, p in (
        ("EnumClassesOfCategories", "enum_classes"), ("GetClassDetails", "class_details"),
        ("CLSIDFromProgID", "clsid_from_progid"))}

    def enum_classes(self, call, r, w):
        n_impl = r.u32()
        impl = [r.guid() for _ in range(n_impl)] if r.count(64) == n_impl else None
        n_req = r.u32()
        req = [r.guid() for _ in range(n_req)] if r.count(64) == n_req else None
        if impl is None or req is None:
            raise NdrError("category array conformance does not match its count")
        ours = {CATID_DA10, CATID_DA20}
        match = (not impl or ours & set(impl)) and set(req) <= ours
        enum = EnumGuid(self.world, [CLSID_TestServer] if match else [])
        iid = IID["IOPCEnumGUID"] if call.iid == IID["IOPCServerList2"] else IID["IEnumGUID"]
        write_interface(w, self.world, enum, iid)
        return S_OK

    def class_details(self, call, r, w):
        clsid = r.guid()
        known = clsid == CLSID_TestServer
        texts = [PROGID, USER_TYPE] + ([VERSION_INDEPENDENT_PROGID] if call.iid == IID["IOPCServerList2"] else [])
        for text in texts:
            w.ptr((lambda w, t=text: w.wstr(t)) if known else None)
        return S_OK if known else 0x80040154

    def clsid_from_progid(self, call, r, w):
        progid = r.wstr()
        known = progid.lower() in (PROGID.lower(), VERSION_INDEPENDENT_PROGID.lower())
        w.guid(CLSID_TestServer if known else b"\0" * 16)
        return S_OK if known else 0x800401F3  # CO_E_CLASSSTRING


class OpcServer(ComObject):
    kind = "OPCServer"
    IFACES = {IID[n]: n for n in ("IOPCServer", "IOPCCommon", "IOPCBrowseServerAddressSpace", "IOPCBrowse",
                                  "IOPCItemProperties", "IConnectionPointContainer")}
    METHODS = {
        "IOPCServer.AddGroup": "add_group", "IOPCServer.GetErrorString": "error_string",
        "IOPCServer.GetGroupByName": "group_by_name", "IOPCServer.GetStatus": "get_status",
        "IOPCServer.RemoveGroup": "remove_group", "IOPCServer.CreateGroupEnumerator": "not_implemented_ptr",
        "IOPCCommon.SetLocaleID": "set_locale", "IOPCCommon.GetLocaleID": "get_locale",
        "IOPCCommon.QueryAvailableLocaleIDs": "locales", "IOPCCommon.GetErrorString": "common_error_string",
        "IOPCCommon.SetClientName": "set_client_name",
        "IOPCBrowseServerAddressSpace.QueryOrganization": "query_organization",
        "IOPCBrowseServerAddressSpace.ChangeBrowsePosition": "change_position",
        "IOPCBrowseServerAddressSpace.BrowseOPCItemIDs": "browse",
        "IOPCBrowseServerAddressSpace.GetItemID": "get_item_id",
        "IOPCBrowseServerAddressSpace.BrowseAccessPaths": "browse_access_paths",
        "IOPCItemProperties.QueryAvailableProperties": "query_properties",
        "IOPCItemProperties.GetItemProperties": "get_properties", "IOPCItemProperties.LookupItemIDs": "lookup_item_ids",
        "IOPCBrowse.GetProperties": "not_implemented_ptr", "IOPCBrowse.Browse": "browse_elements",
        "IConnectionPointContainer.EnumConnectionPoints": "not_implemented_ptr",
        "IConnectionPointContainer.FindConnectionPoint": "find_connection_point",
    }

    def __init__(self, world):
        super().__init__(world)
        self.started = time.time()
        self.groups = {}  # server handle -> Group
        self.next_group = 1
        self.locale = 0x0409
        self.client_name = ""
        self.position = []  # browse position: branch names from the root
        self.shutdown_point = None

    def released(self):
        for g in list(self.groups.values()):
            self.world.drop(g, "released with its server")
        if self.shutdown_point is not None:
            self.shutdown_point.unadvise_all()

    @property
    def space(self):
        return self.world.space

    # IOPCServer
    def add_group(self, call, r, w):
        name = r.wstr()
        active, rate, hclient = r.i32(), r.u32(), r.u32()
        bias = r.unique(lambda r: r.i32())
        deadband = r.unique(lambda r: r.f32())
        lcid, iid = r.u32(), r.guid()
        hr, group = self.check_group_args(name, deadband, iid)
        if group is None:
            w.u32(0), w.u32(0), w.ptr(None)
            return hr
        group.active, group.hclient = bool(active), hclient
        group.bias = bias if bias is not None else 0
        group.deadband = deadband or 0.0
        group.lcid = lcid
        revised = group.set_rate(rate)
        self.groups[group.hserver] = group
        w.u32(group.hserver)
        w.u32(group.rate)
        write_interface(w, self.world, group, iid)
        return OPC_S_UNSUPPORTEDRATE if revised else S_OK

    def check_group_args(self, name, deadband, iid):
        if deadband is not None and not 0.0 <= deadband <= 100.0:
            return E_INVALIDARG, None
        if name and any(g.name == name for g in self.groups.values()):
            return OPC_E_DUPLICATENAME, None
        if not Group.supports(Group, iid) or iid in self.world.faults.refused_iids:
            return E_NOINTERFACE, None
        group = Group(self.world, self, self.next_group)
        self.next_group += 1
        group.name = name or "Group%d" % group.hserver
        return S_OK, group

    def error_string(self, call, r, w):
        hr, _lcid = r.u32(), r.u32()
        text = ERROR_TEXT.get(hr)
        w.ptr((lambda w: w.wstr(text)) if text else None)
        return S_OK if text else E_INVALIDARG

    def common_error_string(self, call, r, w):
        hr = r.u32()
        text = ERROR_TEXT.get(hr)
        w.ptr((lambda w: w.wstr(text)) if text else None)
        return S_OK if text else E_INVALIDARG

    def group_by_name(self, call, r, w):
        name, iid = r.wstr(), r.guid()
        group = next((g for g in self.groups.values() if g.name == name), None)
        if group is None or not group.supports(iid):
            w.ptr(None)
            return E_INVALIDARG if group is None else E_NOINTERFACE
        write_interface(w, self.world, group, iid)
        return S_OK

    def get_status(self, call, r, w):
        vendor = "VEXA32 DCOM test server on impacket"
        if self.world.faults.big_vendor:
            vendor = (vendor + " " + "x" * self.world.faults.big_vendor)[:max(self.world.faults.big_vendor, 1)]

        def status(w):
            for t in (self.started, time.time(), self.last_update()):
                filetime_parts(w, t)
            w.u32(1)  # OPC_STATUS_RUNNING (a 16-bit enum; the pad after it is zero)
            w.u32(len(self.groups))
            w.u32(0xFFFFFFFF)
            w.u16(1), w.u16(0), w.u16(7), w.u16(0)
            w.ptr(lambda w: w.wstr(vendor))
        w.ptr(status)
        return S_OK

    def last_update(self):
        return max([g.last_read for g in self.groups.values()] + [self.started])

    def remove_group(self, call, r, w):
        hserver, force = r.u32(), r.i32()
        group = self.groups.pop(hserver, None)
        if group is None:
            return E_INVALIDARG
        in_use = group.oid is not None and any(self.world.ipids[i][2] for i in group.ipids.values())
        if force or not in_use:
            self.world.drop(group, "removed by RemoveGroup")
            return S_OK
        return OPC_S_INUSE

    def not_implemented_ptr(self, call, r, w):
        if call.iid == IID["IOPCServer"]:
            r.enum16(), r.guid()
        w.ptr(None)
        return E_NOTIMPL

    # IOPCCommon
    def set_locale(self, call, r, w):
        lcid = r.u32()
        if lcid not in LOCALES:
            return E_INVALIDARG
        self.locale = lcid
        return S_OK

    def get_locale(self, call, r, w):
        w.u32(self.locale)
        return S_OK

    def locales(self, call, r, w):
        w.u32(len(LOCALES))
        w.ptr(lambda w: w.array(LOCALES, lambda w, v: w.u32(v)))
        return S_OK

    def set_client_name(self, call, r, w):
        self.client_name = r.wstr()
        return S_OK

    # IOPCBrowseServerAddressSpace
    def query_organization(self, call, r, w):
        w.u32(1)  # OPC_NS_HIERARCHIAL
        return S_OK

    def branches(self, position):
        n = len(position)
        return sorted({i.path[n] for i in self.space if len(i.path) > n and i.path[:n] == position})

    def change_position(self, call, r, w):
        direction, target = r.enum16(), r.wstr()
        if direction == 1:  # up
            if not self.position:
                return E_FAIL
            self.position = self.position[:-1]
        elif direction == 2:  # down
            if target not in self.branches(self.position):
                return E_INVALIDARG
            self.position = self.position + [target]
        elif direction == 3:  # to
            if target == "":
                self.position = []
            else:
                path = next((i.path[:k] for i in self.space for k in range(1, len(i.path) + 1)
                             if ".".join(i.path[:k]) == target), None)
                if path is None:
                    return E_INVALIDARG
                self.position = list(path)
        else:
            return E_INVALIDARG
        return S_OK

    def browse(self, call, r, w):
        kind, criteria, vt, rights = r.enum16(), r.wstr(), r.u16(), r.u32()
        pos, n = self.position, len(self.position)
        if kind == 1:
            names = self.branches(pos)
        elif kind in (2, 3):
            leaves = [i for i in self.space if (i.path == pos if kind == 2 else i.path[:n] == pos)
                      and (vt == VT_EMPTY or i.vt == vt) and (i.access & rights) == rights]
            names = [i.name if kind == 2 else i.id for i in leaves]
        else:
            w.ptr(None)
            return E_INVALIDARG
        names = [x for x in names if not criteria or like(criteria, x)]
        write_interface(w, self.world, EnumString(self.world, names), IID["IEnumString"])
        return S_OK if names else S_FALSE

    def known_id(self, item_id):
        return any(i.id == item_id or any(".".join(i.path[:k]) == item_id for k in range(1, len(i.path) + 1))
                   for i in self.space)

    def get_item_id(self, call, r, w):
        name = r.wstr()
        full = ".".join(self.position + ([name] if name else []))
        if not self.known_id(full) and self.known_id(name):
            full = name
        known = full == "" or self.known_id(full)
        w.ptr((lambda w: w.wstr(full)) if known else None)
        return S_OK if known else E_INVALIDARG

    # IOPCBrowse (DA 3): no position on the server, each call names its branch by item ID and pages
    # through continuation points (the offset of the next element, as text).
    def branch_path(self, item_id):
        if item_id == "":
            return []
        return next((list(i.path[:k]) for i in self.space for k in range(1, len(i.path) + 1)
                     if ".".join(i.path[:k]) == item_id), None)

    def browse_elements(self, call, r, w):
        item_id, cont = r.wstr(), r.unique(lambda r: r.wstr()) or ""
        limit, kind, name_filter = r.u32(), r.enum16(), r.wstr()
        r.wstr()  # vendor filter: this server has no vendor attributes
        all_props, with_values, n = r.i32(), r.i32(), r.u32()
        pids = read_handles(r, n, "property ID")
        path = self.branch_path(item_id)
        start = 0 if cont == "" else int(cont) if cont.isdigit() else -1
        if path is None or kind not in (1, 2, 3) or start < 0:
            w.ptr(None), w.i32(0), w.u32(0), w.ptr(None)
            return OPC_E_UNKNOWNITEMID if path is None else E_INVALIDARG
        branches = [(b, ".".join(path + [b]), OPC_BROWSE_HASCHILDREN, None) for b in self.branches(path)]
        items = [(i.name, i.id, OPC_BROWSE_ISITEM, i) for i in self.space if i.path == path]
        found = [e for e in {1: branches + items, 2: branches, 3: items}[kind]
                 if not name_filter or like(name_filter, e[0])]
        page = found[start:start + limit] if limit else found[start:]
        more = start + len(page) < len(found)
        asked = [p for p, _, _ in self.PROPS] if all_props else pids

        def prop(item, pid):
            row = next((p for p in self.PROPS if p[0] == pid), None)
            if row is None:
                return pid, "", VT_EMPTY, None, OPC_E_INVALID_PID
            value = self.property_value(item, pid) if with_values else None
            return pid, row[1], value[0] if value else item.vt if pid == 2 else row[2], value, S_OK

        def write_prop(w, p):
            pid, text, vt, value, hr = p
            w.u16(vt), w.u16(0), w.u32(pid)
            w.ptr(None)  # no property here is an item of its own
            w.ptr(lambda w: w.wstr(text))
            w.u32(hr)
            w.ptr(lambda w: w.variant(value or (VT_EMPTY, None)))
            w.u32(0)

        def write_element(w, e):
            name, eid, flags, item = e
            props = [prop(item, p) for p in asked] if item else []
            w.ptr(lambda w: w.wstr(name))
            w.ptr(lambda w: w.wstr(eid))
            w.u32(flags), w.u32(0)
            w.u32(summary([p[4] for p in props])), w.u32(len(props))
            w.ptr((lambda w: w.array(props, write_prop)) if props else None)
            w.u32(0)

        w.ptr((lambda w: w.wstr(str(start + len(page)))) if more else None)
        w.i32(1 if more else 0), w.u32(len(page))
        w.ptr((lambda w: w.array(page, write_element)) if page else None)
        return S_OK

    def browse_access_paths(self, call, r, w):
        r.wstr()
        w.ptr(None)
        return E_NOTIMPL

    # IOPCItemProperties
    PROPS = ((1, "Item Canonical DataType", VT_I2), (2, "Item Value", VT_EMPTY), (3, "Item Quality", VT_I2),
             (4, "Item Timestamp", VT_DATE), (5, "Item Access Rights", VT_I4), (6, "Server Scan Rate", VT_R4))

    def find_item(self, item_id):
        item = next((i for i in self.space if i.id == item_id), None)
        if item is None:
            return None, OPC_E_INVALIDITEMID if not item_id.strip() or ".." in item_id else OPC_E_UNKNOWNITEMID
        return item, S_OK

    def query_properties(self, call, r, w):
        item, hr = self.find_item(r.wstr())
        props = [(p, d, item.vt if p == 2 else vt) for p, d, vt in self.PROPS] if item else []
        w.u32(len(props))
        for fn in (lambda w, p: w.u32(p[0]), lambda w, p: w.ptr(lambda w: w.wstr(p[1])),
                   lambda w, p: w.u16(p[2])):
            w.ptr((lambda w, fn=fn: w.array(props, fn)) if item else None)
        return hr

    def property_value(self, item, pid):
        value, quality, stamp = item.read(time.time() - self.world.started)
        return {1: (VT_I2, item.vt), 2: (item.vt, value), 3: (VT_I2, quality),
                4: (VT_DATE, stamp / 86400.0 + 25569.0), 5: (VT_I4, item.access),
                6: (VT_R4, float(FASTEST_RATE))}.get(pid)

    def get_properties(self, call, r, w):
        item, hr = self.find_item(r.wstr())
        n = r.u32()
        pids = read_handles(r, n, "property ID")
        if item is None or not n:
            w.ptr(None), w.ptr(None)
            return hr or E_INVALIDARG
        values = [self.property_value(item, p) for p in pids]
        if item.access & READ == 0 and 2 in pids:
            values[pids.index(2)] = None
        w.ptr(lambda w: w.array(values, lambda w, v: w.ptr(lambda w: w.variant(v or (VT_EMPTY, None)))))
        errors = [S_OK if v else OPC_E_INVALID_PID if p not in range(1, 7) else OPC_E_BADRIGHTS
                  for p, v in zip(pids, values)]
        write_errors(w, errors)
        return summary(errors)

    def lookup_item_ids(self, call, r, w):
        item, hr = self.find_item(r.wstr())
        n = r.u32()
        pids = read_handles(r, n, "property ID")
        if item is None or not n:
            w.ptr(None), w.ptr(None)
            return hr or E_INVALIDARG
        w.ptr(lambda w: w.array(pids, lambda w, p: w.ptr(None)))
        write_errors(w, [OPC_E_INVALID_PID] * n)
        return S_FALSE

    # IConnectionPointContainer: the server's shutdown notice
    def find_connection_point(self, call, r, w):
        if r.guid() != IID["IOPCShutdown"] or IID["IOPCShutdown"] in self.world.faults.refused_iids:
            w.ptr(None)
            return CONNECT_E_NOCONNECTION
        if self.shutdown_point is None:
            self.shutdown_point = ShutdownPoint(self.world, self)
        write_interface(w, self.world, self.shutdown_point, IID["IConnectionPoint"])
        return S_OK


class Group(ComObject):
    kind = "OPCGroup"
    IFACES = {IID[n]: n for n in ("IOPCItemMgt", "IOPCSyncIO", "IOPCGroupStateMgt", "IConnectionPointContainer",
                                  "IOPCAsyncIO2", "IOPCGroupStateMgt2")}
    METHODS = {
        "IOPCItemMgt.AddItems": "add_items", "IOPCItemMgt.ValidateItems": "validate_items",
        "IOPCItemMgt.RemoveItems": "remove_items", "IOPCItemMgt.SetActiveState": "set_active",
        "IOPCItemMgt.SetClientHandles": "set_client_handles", "IOPCItemMgt.SetDatatypes": "set_datatypes",
        "IOPCItemMgt.CreateEnumerator": "no_enumerator", "IOPCSyncIO.Read": "read", "IOPCSyncIO.Write": "write",
        "IOPCGroupStateMgt.GetState": "get_state", "IOPCGroupStateMgt.SetState": "set_state",
        "IOPCGroupStateMgt.SetName": "set_name", "IOPCGroupStateMgt.CloneGroup": "no_clone",
        "IOPCGroupStateMgt2.GetState": "get_state", "IOPCGroupStateMgt2.SetState": "set_state",
        "IOPCGroupStateMgt2.SetName": "set_name", "IOPCGroupStateMgt2.CloneGroup": "no_clone",
        "IOPCGroupStateMgt2.SetKeepAlive": "set_keep_alive", "IOPCGroupStateMgt2.GetKeepAlive": "get_keep_alive",
        "IConnectionPointContainer.EnumConnectionPoints": "no_enumerator",
        "IConnectionPointContainer.FindConnectionPoint": "find_connection_point",
        "IOPCAsyncIO2.Refresh2": "refresh2", "IOPCAsyncIO2.Read": "not_implemented",
        "IOPCAsyncIO2.Write": "not_implemented", "IOPCAsyncIO2.Cancel2": "not_implemented",
        "IOPCAsyncIO2.SetEnable": "not_implemented", "IOPCAsyncIO2.GetEnable": "not_implemented",
    }

    def __init__(self, world, server, hserver):
        super().__init__(world)
        self.server, self.hserver = server, hserver
        self.items = {}  # server handle -> [Item, client handle, active, requested VARTYPE]
        self.next_item = 1
        self.rate, self.active, self.hclient, self.bias, self.deadband, self.lcid = 1000, True, 0, 0, 0.0, 0x0409
        self.last_read = time.time()
        self.point = None  # the IOPCDataCallback connection point, once asked for
        self.keep_alive = 0  # ms; 0: none

    def set_rate(self, rate):
        """Revises the rate as the embedded simulation does; True when it was revised."""
        self.rate = max(rate, FASTEST_RATE)
        return self.rate != rate

    def read_defs(self, r, n):
        if r.count() != n:
            raise NdrError("OPCITEMDEF array conformance does not match dwCount")
        fixed = [(r.u32(), r.u32(), r.i32(), r.u32(), r.u32(), r.u32(), r.u16(), r.u16()) for _ in range(n)]
        defs = []
        for ap, idp, active, hclient, blob_size, blob, vt, _ in fixed:
            if ap:
                r.wstr()
            item_id = r.wstr() if idp else None
            if blob:
                if r.count() != blob_size:
                    raise NdrError("OPCITEMDEF blob conformance does not match dwBlobSize")
                r.raw(blob_size)
            defs.append((item_id, bool(active), hclient, vt))
        return defs

    def check_def(self, item_id, vt):
        if item_id is None:
            return None, OPC_E_INVALIDITEMID
        item, hr = self.server.find_item(item_id)
        if item is None:
            return None, hr
        if vt != VT_EMPTY and not convertible(item.vt, vt):
            return None, OPC_E_BADTYPE
        return item, S_OK

    def add_or_validate(self, call, r, w, add):
        n = r.u32()
        defs = self.read_defs(r, n)
        if not add:
            r.i32()  # bBlobUpdate
        if not n:
            w.ptr(None), w.ptr(None)
            return E_INVALIDARG
        results, errors = [], []
        for item_id, active, hclient, vt in defs:
            item, hr = self.check_def(item_id, vt)
            handle = 0
            if item is not None and add:
                handle = self.next_item
                self.next_item += 1
                self.items[handle] = [item, hclient, active, vt]
            results.append((handle, item.vt if item else VT_EMPTY, item.access if item else 0))
            errors.append(hr)

        def result(w, res):
            w.u32(res[0]), w.u16(res[1]), w.u16(0), w.u32(res[2]), w.u32(0), w.ptr(None)
        w.ptr(lambda w: w.array(results, result))
        write_errors(w, errors)
        return summary(errors)

    def add_items(self, call, r, w):
        return self.add_or_validate(call, r, w, True)

    def validate_items(self, call, r, w):
        return self.add_or_validate(call, r, w, False)

    def per_handle(self, r, w, fn, extra=None):
        """Reads dwCount and the handles (and extra per-handle data), applies fn, writes ppErrors."""
        n = r.u32()
        handles = read_handles(r, n)
        more = extra(r, n) if extra else [None] * n
        if not n:
            w.ptr(None)
            return E_INVALIDARG
        errors = [fn(h, x) if h in self.items else OPC_E_INVALIDHANDLE for h, x in zip(handles, more)]
        write_errors(w, errors)
        return summary(errors)

    def remove_items(self, call, r, w):
        def remove(h, _):
            del self.items[h]
            return S_OK
        return self.per_handle(r, w, remove)

    def set_active(self, call, r, w):
        n = r.u32()
        handles = read_handles(r, n)
        active = bool(r.i32())
        if not n:
            w.ptr(None)
            return E_INVALIDARG
        errors = []
        for h in handles:
            if h in self.items:
                self.items[h][2] = active
            errors.append(S_OK if h in self.items else OPC_E_INVALIDHANDLE)
        write_errors(w, errors)
        return summary(errors)

    def set_client_handles(self, call, r, w):
        def apply(h, client):
            self.items[h][1] = client
            return S_OK
        return self.per_handle(r, w, apply, lambda r, n: read_handles(r, n, "client handle"))

    def set_datatypes(self, call, r, w):
        def types(r, n):
            if r.count() != n:
                raise NdrError("VARTYPE array conformance does not match dwCount")
            return [r.u16() for _ in range(n)]

        def apply(h, vt):
            if vt != VT_EMPTY and not convertible(self.items[h][0].vt, vt):
                return OPC_E_BADTYPE
            self.items[h][3] = vt
            return S_OK
        return self.per_handle(r, w, apply, types)

    def no_enumerator(self, call, r, w):
        if call.iid == IID["IOPCItemMgt"]:
            r.guid()
        w.ptr(None)
        return E_NOTIMPL

    def no_connection_point(self, call, r, w):
        r.guid()
        w.ptr(None)
        return CONNECT_E_NOCONNECTION

    def find_connection_point(self, call, r, w):
        if r.guid() != IID["IOPCDataCallback"] or IID["IOPCDataCallback"] in self.world.faults.refused_iids:
            w.ptr(None)
            return CONNECT_E_NOCONNECTION
        if self.point is None:
            self.point = ConnectionPoint(self.world, self)
        write_interface(w, self.world, self.point, IID["IConnectionPoint"])
        return S_OK

    def not_implemented(self, call, r, w):
        return E_NOTIMPL

    def refresh2(self, call, r, w):
        source, transid = r.enum16(), r.u32()
        pusher = self.point.pusher if self.point else None
        if pusher is None:
            w.u32(0)
            return CONNECT_E_NOCONNECTION
        if source not in (1, 2) or not self.active or not any(e[2] for e in self.items.values()):
            w.u32(0)
            return E_FAIL
        pusher.refresh(transid)
        w.u32(transid ^ 0x5A5A)
        return S_OK

    def states(self, changed_only):
        """The active items as OnDataChange sends them; with a dict, only what changed since the
        last time that dict saw (it is updated)."""
        t = time.time() - self.world.started
        out = []
        for h, (item, hclient, active, vt) in list(self.items.items()):
            if not active or not item.access & READ:
                continue
            value, quality, stamp = item.read(t)
            want = vt or item.vt
            try:
                shown = (want, convert(item.vt, value, want))
            except BadValue:
                shown, quality = (VT_EMPTY, None), 0
            if changed_only is not None:
                key = (repr(shown), quality)
                if changed_only.get(h) == key:
                    continue
                changed_only[h] = key
            out.append((hclient, shown, quality, rpc.filetime(stamp)))
        return out

    def released(self):
        if self.point is not None:
            self.point.unadvise_all()

    def read(self, call, r, w):
        source = r.enum16()
        n = r.u32()
        handles = read_handles(r, n)
        if not n or source not in (1, 2):
            w.ptr(None), w.ptr(None)
            return E_INVALIDARG
        t = time.time() - self.world.started
        self.last_read = time.time()
        states, errors = [], []
        for h in handles:
            entry = self.items.get(h)
            if entry is None:
                states.append((0, 0, 0, (VT_EMPTY, None)))
                errors.append(OPC_E_INVALIDHANDLE)
                continue
            item, hclient, active, vt = entry
            if not item.access & READ:
                states.append((hclient, 0, 0, (VT_EMPTY, None)))
                errors.append(OPC_E_BADRIGHTS)
                continue
            value, quality, stamp = item.read(t)
            if source == 1 and not (active and self.active):
                quality = OUT_OF_SERVICE
            want = vt or item.vt
            try:
                shown = (want, convert(item.vt, value, want))
                errors.append(S_OK)
            except BadValue as e:
                shown, quality = (VT_EMPTY, None), 0
                errors.append(e.hr)
            states.append((hclient, stamp, quality, shown))

        def state(w, s):
            w.u32(s[0])
            filetime_parts(w, s[1])
            w.u16(s[2]), w.u16(0)
            w.ptr(lambda w: w.variant(s[3]))
        w.ptr(lambda w: w.array(states, state))
        write_errors(w, errors)
        return summary(errors)

    def write(self, call, r, w):
        n = r.u32()
        handles = read_handles(r, n)
        if r.count() != n:
            raise NdrError("VARIANT array conformance does not match dwCount")
        refs = [r.u32() for _ in range(n)]
        values = [r.variant() if ref else (VT_EMPTY, None) for ref in refs]
        if not n:
            w.ptr(None)
            return E_INVALIDARG
        errors = []
        for h, (vt, v) in zip(handles, values):
            entry = self.items.get(h)
            if entry is None:
                errors.append(OPC_E_INVALIDHANDLE)
                continue
            item = entry[0]
            if not item.access & WRITE:
                errors.append(OPC_E_BADRIGHTS)
                continue
            try:
                item.value, item.written = convert(vt, v, item.vt), time.time()
                errors.append(S_OK)
            except BadValue as e:
                errors.append(e.hr)
        write_errors(w, errors)
        return summary(errors)

    def get_state(self, call, r, w):
        w.u32(self.rate)
        w.i32(1 if self.active else 0)
        w.ptr(lambda w: w.wstr(self.name))
        w.i32(self.bias)
        w.f32(self.deadband)
        w.u32(self.lcid)
        w.u32(self.hclient)
        w.u32(self.hserver)
        return S_OK

    def set_state(self, call, r, w):
        rate = r.unique(lambda r: r.u32())
        active = r.unique(lambda r: r.i32())
        bias = r.unique(lambda r: r.i32())
        deadband = r.unique(lambda r: r.f32())
        lcid = r.unique(lambda r: r.u32())
        hclient = r.unique(lambda r: r.u32())
        if deadband is not None and not 0.0 <= deadband <= 100.0:
            w.u32(self.rate)
            return E_INVALIDARG
        revised = rate is not None and self.set_rate(rate)
        for attr, v in (("bias", bias), ("deadband", deadband), ("lcid", lcid), ("hclient", hclient)):
            if v is not None:
                setattr(self, attr, v)
        if active is not None:
            self.active = bool(active)
        w.u32(self.rate)
        return OPC_S_UNSUPPORTEDRATE if revised else S_OK

    def set_name(self, call, r, w):
        name = r.wstr()
        if not name:
            return E_INVALIDARG
        if any(g.name == name and g is not self for g in self.server.groups.values()):
            return OPC_E_DUPLICATENAME
        self.name = name
        return S_OK

    def set_keep_alive(self, call, r, w):
        """DA 3: a call back at least this often, an empty one when nothing changed. Revised up to
        the group's rate, as servers do."""
        wanted = r.u32()
        self.keep_alive = 0 if wanted == 0 else max(wanted, self.rate)
        w.u32(self.keep_alive)
        self.world.log("keep-alive %d ms (asked %d)" % (self.keep_alive, wanted))
        return OPC_S_UNSUPPORTEDRATE if self.keep_alive != wanted else S_OK

    def get_keep_alive(self, call, r, w):
        w.u32(self.keep_alive)
        return S_OK

    def no_clone(self, call, r, w):
        r.wstr(), r.guid()
        w.ptr(None)
        return E_NOTIMPL


class ConnectionPoint(ComObject):
    """A group's IOPCDataCallback connection point: one sink at a time, called back by a Pusher."""
    kind = "ConnectionPoint"
    IFACES = {IID["IConnectionPoint"]: "IConnectionPoint"}
    METHODS = {"IConnectionPoint.Advise": "advise", "IConnectionPoint.Unadvise": "unadvise",
               "IConnectionPoint.GetConnectionInterface": "not_implemented",
               "IConnectionPoint.GetConnectionPointContainer": "not_implemented",
               "IConnectionPoint.EnumConnections": "not_implemented"}

    def __init__(self, world, group):
        super().__init__(world)
        self.group, self.pusher, self.cookie = group, None, 0

    def not_implemented(self, call, r, w):
        return E_NOTIMPL

    def advise(self, call, r, w):
        import callbacks  # impacket's RPC client is needed only by servers that call back
        objref = r.unique(lambda r: r.interface())
        if objref is None:
            w.u32(0)
            return E_INVALIDARG
        if self.pusher is not None:
            w.u32(0)
            return CONNECT_E_ADVISELIMIT
        f = self.world.faults
        sink = callbacks.Sink(self.world, objref, f.callback_level, f.callback_address)
        self.pusher = callbacks.Pusher(self.group, sink, f)
        self.cookie += 1
        self.world.log("advised oxid=%016x cookie=%d" % (sink.oxid, self.cookie))
        w.u32(self.cookie)
        return S_OK

    def unadvise(self, call, r, w):
        cookie = r.u32()
        if self.pusher is None or cookie != self.cookie:
            return CONNECT_E_NOCONNECTION
        self.unadvise_all()
        self.world.log("unadvised cookie=%d" % cookie)
        return S_OK

    def unadvise_all(self):
        if self.pusher is not None:
            self.pusher.close()
            self.pusher = None


class ShutdownPoint(ConnectionPoint):
    """The server's IOPCShutdown connection point. With --shutdown-after, the first sink advised
    in this process is told, that many seconds later, that the server shuts down."""
    kind = "ShutdownPoint"
    announced = False

    def advise(self, call, r, w):
        import callbacks
        objref = r.unique(lambda r: r.interface())
        if objref is None:
            w.u32(0)
            return E_INVALIDARG
        f = self.world.faults
        self.sink = callbacks.Sink(self.world, objref, f.callback_level, f.callback_address, callbacks.IID_IOPCShutdown)
        self.cookie += 1
        self.pusher = self.sink  # what unadvise_all closes
        self.world.log("advised shutdown oxid=%016x cookie=%d" % (self.sink.oxid, self.cookie))
        if f.shutdown_after is not None and not ShutdownPoint.announced:
            ShutdownPoint.announced = True
            threading.Timer(f.shutdown_after, self.announce, (self.sink, f.shutdown_reason)).start()
        w.u32(self.cookie)
        return S_OK

    def announce(self, sink, reason):
        try:
            sink.shutdown_request(reason)
        except Exception as e:  # the client may be gone: said in the log
            self.world.log("callback ShutdownRequest failed: %s: %s" % (type(e).__name__, e))


def convertible(vt_from, vt_to):
    if (vt_from ^ vt_to) & VT_ARRAY:
        return False
    return vt_to in (VT_EMPTY, vt_from) or (vt_to & 0xFFF) in INT_RANGE or (vt_to & 0xFFF) in (
        VT_BOOL, VT_R4, VT_R8, VT_DATE, VT_BSTR)
