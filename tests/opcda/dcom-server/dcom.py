"""The DCOM runtime of the test server: activation, the OXID resolver, the object exporter with its
IPID table, reference counts and ping sets, and the fault injection around every call."""
import json
import os
import random
import struct
import threading
import time

import rpc
from ndr import NdrError, Reader, Writer, guid, guid_text

IID_IUnknown = guid("00000000-0000-0000-C000-000000000046")
IID_IRemUnknown = guid("00000131-0000-0000-C000-000000000046")
IID_IRemUnknown2 = guid("00000143-0000-0000-C000-000000000046")
IID_IRemoteSCMActivator = guid("000001A0-0000-0000-C000-000000000046")
IID_IObjectExporter = guid("99FCFEC4-5260-101B-BBCB-00AA0021347A")
IID_IActivationPropertiesIn = guid("000001A2-0000-0000-C000-000000000046")
IID_IActivationPropertiesOut = guid("000001A3-0000-0000-C000-000000000046")
CLSID_ActivationPropertiesIn = guid("00000338-0000-0000-C000-000000000046")
CLSID_ActivationPropertiesOut = guid("00000339-0000-0000-C000-000000000046")
CLSID_InstantiationInfo = guid("000001AB-0000-0000-C000-000000000046")
CLSID_ScmRequestInfo = guid("000001AA-0000-0000-C000-000000000046")
CLSID_PropsOutInfo = guid("00000339-0000-0000-C000-000000000046")
CLSID_ScmReplyInfo = guid("000001B6-0000-0000-C000-000000000046")

S_OK, S_FALSE = 0, 1
E_NOTIMPL, E_NOINTERFACE, E_FAIL = 0x80004001, 0x80004002, 0x80004005
E_ACCESSDENIED, E_INVALIDARG = 0x80070005, 0x80070057
CLASS_E_NOAGGREGATION, REGDB_E_CLASSNOTREG = 0x80040110, 0x80040154
RPC_E_DISCONNECTED = 0x80010108
OR_INVALID_OXID, OR_INVALID_SET = 1910, 1914
HRESULT_PROTSEQ_NOT_SUPPORTED = 0x800706A7
PROTSEQ_TCP = 7
OBJREF_SIGNATURE = 0x574F454D  # "MEOW"
REFS_PER_MARSHAL = 5  # what Windows hands out with each marshaled interface


# The runtime's own methods by wire opnum; the served interfaces add theirs (opc.IDL_ORDER).
OPNUM_NAMES = {
    "IObjectExporter": ["ResolveOxid", "SimplePing", "ComplexPing", "ServerAlive", "ResolveOxid2", "ServerAlive2"],
    "IRemoteSCMActivator": [None, None, None, "RemoteGetClassObject", "RemoteCreateInstance"],
    "IRemUnknown": [None, None, None, "RemQueryInterface", "RemAddRef", "RemRelease"],
    "IRemUnknown2": [None, None, None, "RemQueryInterface", "RemAddRef", "RemRelease", "RemQueryInterface2"],
}


def method_name(iface, opnum, idl_order):
    """The method at a wire opnum, or None."""
    names = OPNUM_NAMES.get(iface)
    if names is None:
        names = [None] * 3 + idl_order.get(iface, [])
    return names[opnum] if opnum < len(names) else None


class ComObject:
    """A served object. IFACES maps IID -> interface name; METHODS maps "Interface.Method" to the
    Python method, which reads the [in] parameters from r, writes the [out] ones to w and returns
    the HRESULT. IUnknown comes with every object."""
    kind = "object"
    IFACES = {}
    METHODS = {}

    def __init__(self, world):
        self.world = world
        self.oid = None
        self.ipids = {}  # iid -> ipid

    def supports(self, iid):
        return iid == IID_IUnknown or iid in self.IFACES

    def released(self):
        """The last reference is gone or the object was collected."""


def write_orpcthat(w):
    w.u32(0)  # flags
    w.u32(0)  # no extensions


def read_orpcthis(r):
    major, minor = r.u16(), r.u16()
    if major != 5:
        raise NdrError("ORPCTHIS version %d.%d (needs 5.x)" % (major, minor))
    r.u32(), r.u32(), r.guid()
    if r.u32():  # extensions: an ORPC_EXTENT_ARRAY, skipped
        r.u32(), r.u32()
        if r.u32():
            refs = [r.u32() for _ in range(r.count(64))]
            for ref in refs:
                if ref:
                    n = r.count(1 << 16)
                    r.guid(), r.u32(), r.raw(n)


def dualstringarray(strings, conformant):
    """DUALSTRINGARRAY with tower 7 string bindings and one NTLM security binding."""
    words = []
    for s in strings:
        words += [PROTSEQ_TCP] + [ord(c) for c in s] + [0]
    words.append(0)
    sec_offset = len(words)
    words += [rpc.AUTHN_WINNT, 0xFFFF, 0, 0]
    data = struct.pack("<HH", len(words), sec_offset) + struct.pack("<%dH" % len(words), *words)
    return struct.pack("<I", len(words)) + data if conformant else data


class World:
    """State shared by both ports: the object table, ping sets, counters, log and state file."""

    def __init__(self, state_dir, creds, faults, ping_period, ping_count):
        self.dir = state_dir
        self.creds = creds
        self.faults = faults
        self.ping_period, self.ping_count = ping_period, ping_count
        self.lock = threading.RLock()
        self.logfile = open(os.path.join(state_dir, "log"), "a", buffering=1)
        self.oxid = random.getrandbits(63) | 1
        self.remunk_ipid = os.urandom(16)
        self.objects = {}  # oid -> object
        self.ipids = {}    # ipid -> [object, iid, public refs]
        self.sets = {}     # setid -> {"oids": set, "last": time}
        self.last_ping = {}  # oid -> time of export or of the last ping that covered it
        self.calls = 0
        self.collected = 0
        self.released_objects = 0
        self.classes = {}  # clsid -> ComObject class
        self.idl_order = {}  # interface -> method names from opnum 3 on
        self.served_classes = []  # every class whose interfaces the exporter port binds
        self.iid_names = {IID_IUnknown: "IUnknown", IID_IRemUnknown: "IRemUnknown",
                          IID_IRemUnknown2: "IRemUnknown2"}
        self.act_port = self.exp_port = 0
        self._conn_ids = 0
        self._assoc = 0x12340
        self._state_text = None
        self.stopping = threading.Event()

    def iid_name(self, iid):
        return self.iid_names.get(iid) or "{%s}" % guid_text(iid)

    # -- logging and state -------------------------------------------------------------------
    def log(self, text):
        now = time.time()
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + ".%03dZ" % (now % 1 * 1000)
        with self.lock:
            self.logfile.write("%s %s\n" % (stamp, text))

    def write_state(self):
        with self.lock:
            state = {
                "refs": sum(e[2] for e in self.ipids.values()),
                "oids": len(self.objects),
                "ipids": len(self.ipids),
                "sets": len(self.sets),
                "collected": self.collected,
                "released": self.released_objects,
                "calls": self.calls,
                "objects": [{"oid": "%016x" % oid, "kind": o.kind,
                             "refs": sum(self.ipids[i][2] for i in o.ipids.values())}
                            for oid, o in sorted(self.objects.items())],
            }
            text = json.dumps(state, indent=1)
            if text == self._state_text:
                return
            self._state_text = text
            tmp = os.path.join(self.dir, "state.json.tmp")
            with open(tmp, "w") as f:
                f.write(text + "\n")
            os.replace(tmp, os.path.join(self.dir, "state.json"))

    # -- object table ------------------------------------------------------------------------
    def export(self, obj, iid, refs=REFS_PER_MARSHAL):
        """Registers obj (a new OID the first time) and returns its OBJREF_STANDARD for iid."""
        with self.lock:
            if obj.oid is None:
                obj.oid = random.getrandbits(63) | 1
                self.objects[obj.oid] = obj
                self.last_ping[obj.oid] = time.monotonic()
            ipid = obj.ipids.get(iid)
            if ipid is None:
                ipid = obj.ipids[iid] = os.urandom(16)
                self.ipids[ipid] = [obj, iid, 0]
            self.ipids[ipid][2] += refs
            self.write_state()
            return self.objref(obj, iid, ipid, refs)

    def stdobjref(self, w, obj, ipid, refs):
        w.align(8)  # STDOBJREF holds 64-bit fields: inside REMQIRESULT it starts 8-aligned
        w.u32(0)  # flags: pinged normally
        w.u32(refs)
        w.u64(self.oxid)
        w.u64(obj.oid)
        w.guid(ipid)

    def objref(self, obj, iid, ipid, refs):
        w = Writer()
        w.u32(OBJREF_SIGNATURE)
        w.u32(1)  # OBJREF_STANDARD
        w.guid(iid)
        self.stdobjref(w, obj, ipid, refs)
        w.raw(dualstringarray(["127.0.0.1[%d]" % self.act_port], conformant=False))
        return w.bytes()

    def drop(self, obj, why):
        """Removes obj's OID and IPIDs; 'why' is logged."""
        with self.lock:
            if obj.oid is None or self.objects.get(obj.oid) is not obj:
                return
            for ipid in obj.ipids.values():
                self.ipids.pop(ipid, None)
            del self.objects[obj.oid]
            self.last_ping.pop(obj.oid, None)
            self.log("object %s oid=%016x %s" % (obj.kind, obj.oid, why))
            obj.oid, obj.ipids = None, {}
            obj.released()
            self.write_state()

    def add_refs(self, ipid, n):
        with self.lock:
            entry = self.ipids.get(ipid)
            if entry is None:
                return E_INVALIDARG
            entry[2] += n
            self.write_state()
            return S_OK

    def release_refs(self, ipid, n):
        with self.lock:
            entry = self.ipids.get(ipid)
            if entry is None:
                return E_INVALIDARG
            obj = entry[0]
            if n > entry[2]:
                self.log("warning: RemRelease of %d refs on %s holding %d" % (n, guid_text(ipid), entry[2]))
            entry[2] = max(0, entry[2] - n)
            if not any(self.ipids[i][2] for i in obj.ipids.values()):
                self.released_objects += 1
                self.drop(obj, "released (no references left)")
            self.write_state()
            return S_OK

    # -- pinging -----------------------------------------------------------------------------
    def complex_ping(self, setid, add, delete):
        with self.lock:
            if setid == 0:
                setid = random.getrandbits(63) | 1
                self.sets[setid] = {"oids": set(), "last": 0}
            entry = self.sets.get(setid)
            if entry is None:
                return setid, OR_INVALID_SET
            unknown = [o for o in add if o not in self.objects]
            entry["oids"] |= set(add) - set(unknown)
            entry["oids"] -= set(delete)
            self.touch(setid)
            self.log("exporter ComplexPing set=%016x add=[%s] del=[%s]%s -> %d oids in set" % (
                setid, ",".join("%016x" % o for o in add), ",".join("%016x" % o for o in delete),
                " unknown=[%s]" % ",".join("%016x" % o for o in unknown) if unknown else "", len(entry["oids"])))
            if not entry["oids"]:
                del self.sets[setid]
            self.write_state()
            return setid, 0

    def simple_ping(self, setid):
        with self.lock:
            if setid not in self.sets:
                return OR_INVALID_SET
            self.touch(setid)
            return 0

    def touch(self, setid):
        now = time.monotonic()
        entry = self.sets[setid]
        entry["last"] = now
        for oid in entry["oids"]:
            if oid in self.last_ping:
                self.last_ping[oid] = now

    def collector(self):
        """Collects objects and ping sets that missed ping_count ping periods."""
        step = min(max(self.ping_period / 4, 0.05), 5)
        while not self.stopping.wait(step):
            limit = self.ping_period * self.ping_count
            now = time.monotonic()
            with self.lock:
                for setid in [s for s, e in self.sets.items() if now - e["last"] > limit]:
                    self.log("exporter ping set %016x expired" % setid)
                    del self.sets[setid]
                for oid in [o for o, t in self.last_ping.items() if now - t > limit]:
                    self.collected += 1
                    self.drop(self.objects[oid], "collected after %d missed pings of %g s" % (
                        self.ping_count, self.ping_period))
                self.write_state()

    def count_call(self):
        with self.lock:
            self.calls += 1
            return self.calls


class Application:
    """One listening port: the interfaces it binds and how its calls are answered."""

    def __init__(self, world, role):
        self.world, self.role = world, role
        self.creds = world.creds
        self.faults = world.faults
        self.port = 0
        self.max_frag = world.faults.max_frag
        if role == "activation":
            self.interfaces = {IID_IRemoteSCMActivator: "IRemoteSCMActivator", IID_IObjectExporter: "IObjectExporter"}
        else:
            self.interfaces = {IID_IRemUnknown: "IRemUnknown", IID_IRemUnknown2: "IRemUnknown2"}
            for cls in world.served_classes:
                self.interfaces.update({k: v for k, v in cls.IFACES.items()})
        self.garbage_after_bind = role in world.faults.garbage_roles

    def log(self, text):
        self.world.log(text)

    def next_conn_id(self):
        with self.world.lock:
            self.world._conn_ids += 1
            return self.world._conn_ids

    def next_assoc(self):
        with self.world.lock:
            self.world._assoc += 1
            return self.world._assoc

    def connection_closed(self, conn):
        self.log("%s c%d disconnected" % (self.role, conn.id))

    def dispatch(self, conn, call, call_id, ctx_id, auth_ctx):
        """Answers one call; returns False when the connection must end."""
        world, faults = self.world, self.faults
        n = world.count_call()
        name = self.interfaces.get(call.iid, guid_text(call.iid))
        what = "%s.%s(%d)" % (name, method_name(name, call.opnum, world.idl_order) or "?", call.opnum)
        if faults.stall_after is not None and n > faults.stall_after:
            conn.log("call %s #%d: stalled, no answer" % (what, n))
            return True
        try:
            rule = faults.fault_for(name, call.iid, call.opnum)
            if rule is not None:
                raise rpc.Fault(rule, "fault injected by --fault")
            stub, result, detail = self.answer(call)
        except rpc.Fault as f:
            conn.log("call %s #%d user=%s -> fault 0x%08x %s" % (what, n, call.user, f.status, f))
            conn.send_fault(call_id, ctx_id, f.status)
            return True
        except NdrError as e:
            conn.log("call %s #%d -> fault 0x%08x (bad stub: %s) stub=%s%s" % (
                what, n, rpc.STATUS_NDR, e, call.stub[:512].hex(), "..." if len(call.stub) > 512 else ""))
            conn.send_fault(call_id, ctx_id, rpc.STATUS_NDR)
            return True
        frags = conn.response_fragments(call_id, ctx_id, stub, auth_ctx)
        conn.log("call %s%s #%d user=%s level=%d -> 0x%08x, %d bytes in %d fragment%s" % (
            what, detail, n, call.user, call.level, result, len(stub), len(frags), "" if len(frags) == 1 else "s"))
        if faults.kill_after is not None and n == faults.kill_after + 1:
            conn.log("fault: connection closed in the middle of answering call #%d" % n)
            conn.sock.sendall(frags[0][:len(frags[0]) // 2])
            return False
        for frag in frags:
            conn.sock.sendall(frag)
        return True

    def answer(self, call):
        """Returns (stub, status or HRESULT for the log, detail text)."""
        r, w = Reader(call.stub), Writer()
        if call.iid == IID_IObjectExporter:
            return self.exporter(call, r, w)
        if call.iid == IID_IRemoteSCMActivator:
            if call.opnum != 4:
                raise rpc.Fault(rpc.STATUS_OP_RNG, "only RemoteCreateInstance (4) is served")
            read_orpcthis(r)
            write_orpcthat(w)
            hr, detail = self.create_instance(call, r, w)
            w.u32(hr)
            return w.bytes(), hr, detail
        return self.orpc(call, r, w)

    # -- IObjectExporter -----------------------------------------------------------------------
    def exporter(self, call, r, w):
        world, op = self.world, call.opnum
        if op in (3, 5):  # ServerAlive, ServerAlive2: answered at any level, as Windows does
            if op == 5:
                w.u16(5), w.u16(7)
                w.ptr(lambda w: w.raw(dualstringarray(["127.0.0.1"], conformant=True)))
                w.u32(0)  # pReserved is a ref pointer: just the DWORD
            w.u32(0)
            return w.bytes(), 0, ""
        if call.level < rpc.LEVEL_INTEGRITY:
            raise rpc.Fault(rpc.STATUS_ACCESS_DENIED, "level %d below packet integrity" % call.level)
        if op in (0, 4):  # ResolveOxid, ResolveOxid2
            oxid, n = r.u64(), r.u16()
            if r.count(64) != n:
                raise NdrError("protocol sequence array does not match its count")
            protseqs = [r.u16() for _ in range(n)]
            known = oxid == world.oxid and PROTSEQ_TCP in protseqs
            w.ptr((lambda w: w.raw(dualstringarray(["127.0.0.1[%d]" % world.exp_port], True))) if known else None)
            w.guid(world.remunk_ipid if known else b"\0" * 16)
            w.u32(rpc.LEVEL_INTEGRITY if known else 0)
            if op == 4:
                w.u16(5), w.u16(7)
            status = 0 if known else OR_INVALID_OXID
            w.u32(status)
            return w.bytes(), status, " oxid=%016x" % oxid
        if op == 1:
            setid = r.u64()
            status = world.simple_ping(setid)
            w.u32(status)
            return w.bytes(), status, " set=%016x" % setid
        if op == 2:
            setid, _seq, n_add, n_del = r.u64(), r.u16(), r.u16(), r.u16()
            add = self.oid_list(r, n_add)
            delete = self.oid_list(r, n_del)
            setid, status = world.complex_ping(setid, add, delete)
            w.u64(setid)
            w.u16(0)  # ping backoff factor
            w.u32(status)
            return w.bytes(), status, ""
        raise rpc.Fault(rpc.STATUS_OP_RNG, "IObjectExporter has no opnum %d" % op)

    @staticmethod
    def oid_list(r, n):
        if not r.u32():
            return []
        if r.count(1 << 16) != n:
            raise NdrError("OID array conformance does not match its count")
        return [r.u64() for _ in range(n)]

    # -- IRemoteSCMActivator::RemoteCreateInstance ---------------------------------------------
    def create_instance(self, call, r, w):
        world = self.world
        if r.unique(lambda r: r.interface()) is not None:
            w.ptr(None)
            return CLASS_E_NOAGGREGATION, " aggregation refused"
        blob = r.unique(lambda r: r.interface())
        if blob is None:
            raise NdrError("RemoteCreateInstance without activation properties")
        clsid, iids, protseqs = parse_activation(blob)
        detail = " clsid={%s} iids=[%s]" % (guid_text(clsid), ",".join(world.iid_name(i) for i in iids))
        if call.level < rpc.LEVEL_INTEGRITY:
            w.ptr(None)
            return E_ACCESSDENIED, detail + " refused: level %d below packet integrity" % call.level
        if PROTSEQ_TCP not in protseqs:
            w.ptr(None)
            return HRESULT_PROTSEQ_NOT_SUPPORTED, detail + " no ncacn_ip_tcp among %s" % protseqs
        cls = world.classes.get(clsid)
        if cls is None:
            w.ptr(None)
            return REGDB_E_CLASSNOTREG, detail
        obj = cls(world)
        results = []
        for iid in iids:
            if obj.supports(iid) and iid not in self.faults.refused_iids:
                results.append((iid, S_OK, world.export(obj, iid)))
            else:
                results.append((iid, E_NOINTERFACE, None))
        if all(hr for _, hr, _ in results):
            w.ptr(None)
            return E_NOINTERFACE, detail
        out = activation_reply(results, world, call.level, self.faults.swap_activation_properties)
        w.ptr(lambda w: w.interface(out))
        world.log("activation created %s oid=%016x" % (obj.kind, obj.oid))
        return S_OK, detail

    # -- ORPC on the exporter port -------------------------------------------------------------
    def orpc(self, call, r, w):
        world = self.world
        if call.level < rpc.LEVEL_INTEGRITY:
            raise rpc.Fault(rpc.STATUS_ACCESS_DENIED, "level %d below packet integrity" % call.level)
        if call.object is None:
            raise rpc.Fault(rpc.STATUS_PROTO, "ORPC request without an object IPID")
        read_orpcthis(r)
        with world.lock:
            if call.object == world.remunk_ipid and call.iid in (IID_IRemUnknown, IID_IRemUnknown2):
                write_orpcthat(w)
                hr, detail = self.remunknown(call, r, w)
                w.u32(hr)
                return w.bytes(), hr, detail
            entry = world.ipids.get(call.object)
        if entry is None:
            raise rpc.Fault(RPC_E_DISCONNECTED, "IPID %s is not (or no longer) exported" % guid_text(call.object))
        obj, iid, _refs = entry
        if iid != call.iid:
            raise rpc.Fault(rpc.STATUS_UNK_IF, "IPID is for %s, the call came on %s" % (
                world.iid_name(iid), world.iid_name(call.iid)))
        iface = obj.IFACES[iid]
        method = obj.METHODS.get("%s.%s" % (iface, method_name(iface, call.opnum, world.idl_order)))
        if method is None:
            raise rpc.Fault(rpc.STATUS_OP_RNG, "%s has no opnum %d here" % (obj.IFACES[iid], call.opnum))
        write_orpcthat(w)
        with world.lock:
            hr = getattr(obj, method)(call, r, w)
        w.u32(hr)
        return w.bytes(), hr, " oid=%016x" % (obj.oid or 0)

    def remunknown(self, call, r, w):
        world = self.world
        if call.opnum in (3, 6):  # RemQueryInterface, RemQueryInterface2
            ipid = r.guid()
            refs = r.u32() if call.opnum == 3 else REFS_PER_MARSHAL
            n = r.u16()
            if r.count(1024) != n:
                raise NdrError("IID array conformance does not match cIids")
            iids = [r.guid() for _ in range(n)]
            entry = world.ipids.get(ipid)
            obj = entry[0] if entry else None
            results = []
            for iid in iids:
                if obj is None or not obj.supports(iid) or iid in self.faults.refused_iids:
                    results.append((E_NOINTERFACE, None))
                else:
                    world.export(obj, iid, refs)
                    results.append((S_OK, obj.ipids[iid]))
            names = ",".join("%s:%s" % (world.iid_name(i), "ok" if hr == 0 else "E_NOINTERFACE")
                             for i, (hr, _) in zip(iids, results))
            if call.opnum == 3:
                def qi_results(w):
                    w.u32(len(results))
                    w.align(8)
                    for hr, new_ipid in results:
                        w.u32(hr)
                        if new_ipid is None:
                            w.align(8), w.u32(0), w.u32(0), w.u64(0), w.u64(0), w.guid(b"\0" * 16)
                        else:
                            world.stdobjref(w, obj, new_ipid, refs)
                w.ptr(qi_results)
            else:
                w.array([hr for hr, _ in results], lambda w, hr: w.u32(hr))
                w.array(list(zip(iids, results)), lambda w, res: w.ptr(
                    None if res[1][1] is None else (lambda w: w.interface(world.objref(obj, res[0], res[1][1], refs)))))
            hr = E_INVALIDARG if obj is None else (S_OK if any(h == 0 for h, _ in results) else E_NOINTERFACE)
            return hr, " ipid=%s [%s]" % (guid_text(ipid), names)
        if call.opnum in (4, 5):  # RemAddRef, RemRelease
            n = r.u16()
            if r.count(4096) != n:
                raise NdrError("REMINTERFACEREF array conformance does not match its count")
            refs = [(r.guid(), r.u32(), r.u32()) for _ in range(n)]
            op = world.add_refs if call.opnum == 4 else world.release_refs
            results = [op(ipid, pub + priv) for ipid, pub, priv in refs]
            if call.opnum == 4:
                w.array(results, lambda w, hr: w.u32(hr))
            name = "RemAddRef" if call.opnum == 4 else "RemRelease"
            text = ",".join("%s-%d" % (guid_text(i), p + q) for i, p, q in refs)
            world.log("exporter %s [%s] -> %d refs held" % (name, text, sum(e[2] for e in world.ipids.values())))
            return (S_OK if not any(results) else E_INVALIDARG), ""
        raise rpc.Fault(rpc.STATUS_OP_RNG, "IRemUnknown has no opnum %d" % call.opnum)


def type_serialized(fn):
    """A type-serialized (version 1) NDR encoding of what fn writes, padded to 8 bytes."""
    w = Writer()
    w.construct(fn)
    body = w.bytes() + b"\0" * (-len(w.buf) % 8)
    return struct.pack("<BBHIII", 1, 0x10, 8, 0xCCCCCCCC, len(body), 0) + body


def split_type_serialized(data, what):
    if len(data) < 16 or data[0] != 1 or data[1] != 0x10:
        raise NdrError("%s is not a version 1 little-endian type serialization" % what)
    n = struct.unpack_from("<I", data, 8)[0]
    if 16 + n > len(data):
        raise NdrError("%s is shorter than its private header says" % what)
    return Reader(data[16:16 + n])


def parse_activation(objref):
    """(clsid, requested IIDs, requested protocol sequences) from an ActivationPropertiesIn OBJREF."""
    r = Reader(objref)
    if r.u32() != OBJREF_SIGNATURE or r.u32() != 4:
        raise NdrError("activation properties are not an OBJREF_CUSTOM")
    if r.guid() != IID_IActivationPropertiesIn or r.guid() != CLSID_ActivationPropertiesIn:
        raise NdrError("activation properties of an unknown class")
    r.u32(), r.u32()
    blob = r.data[r.pos:]
    if len(blob) < 8:
        raise NdrError("activation blob too short")
    hdr = split_type_serialized(blob[8:], "CustomHeader")
    _total, header_size, _res, _dest, n_props = hdr.u32(), hdr.u32(), hdr.u32(), hdr.u32(), hdr.u32()
    hdr.guid()
    has_clsids, has_sizes, has_res = hdr.u32(), hdr.u32(), hdr.u32()
    if not (has_clsids and has_sizes) or n_props > 10:
        raise NdrError("CustomHeader without its property lists")
    if hdr.count(10) != n_props:
        raise NdrError("CustomHeader class list does not match cIfs")
    prop_ids = [hdr.guid() for _ in range(n_props)]
    if hdr.count(10) != n_props:
        raise NdrError("CustomHeader size list does not match cIfs")
    sizes = [hdr.u32() for _ in range(n_props)]
    props, off = {}, 8 + header_size
    for pid, size in zip(prop_ids, sizes):
        if off + size > len(blob):
            raise NdrError("activation property runs past the blob")
        props[pid] = blob[off:off + size]
        off += size
    if CLSID_InstantiationInfo not in props:
        raise NdrError("activation without InstantiationInfo")
    p = split_type_serialized(props[CLSID_InstantiationInfo], "InstantiationInfo")
    clsid = p.guid()
    p.u32(), p.u32(), p.i32()
    n_iids = p.u32()
    p.u32()
    if not p.u32() or not 0 < n_iids <= 64:
        raise NdrError("InstantiationInfo asks for %d interfaces" % n_iids)
    p.u32(), p.u16(), p.u16()
    if p.count(64) != n_iids:
        raise NdrError("InstantiationInfo IID list does not match cIID")
    iids = [p.guid() for _ in range(n_iids)]
    protseqs = []
    if CLSID_ScmRequestInfo in props:
        s = split_type_serialized(props[CLSID_ScmRequestInfo], "ScmRequestInfo")
        if s.u32():
            s.u32()
        if s.u32():
            s.u32()
            n = s.u16()
            if s.u32():
                if s.count(64) != n:
                    raise NdrError("ScmRequestInfo protseq list does not match its count")
                protseqs = [s.u16() for _ in range(n)]
    return clsid, iids, protseqs


def activation_reply(results, world, level, swap):
    """The ActivationPropertiesOut OBJREF: PropsOutInfo and ScmReplyInfo."""
    def props_out(w):
        w.u32(len(results))
        w.ptr(lambda w: w.array([i for i, _, _ in results], lambda w, iid: w.guid(iid)))
        w.ptr(lambda w: w.array([hr for _, hr, _ in results], lambda w, hr: w.u32(hr)))
        w.ptr(lambda w: w.array([o for _, _, o in results], lambda w, o: w.ptr(
            None if o is None else (lambda w: w.interface(o)))))

    def scm_reply(w):
        w.ptr(None)

        def reply(w):
            w.u64(world.oxid)
            w.ptr(lambda w: w.raw(dualstringarray(["127.0.0.1[%d]" % world.exp_port], conformant=True)))
            w.guid(world.remunk_ipid)
            w.u32(level)
            w.u16(5), w.u16(7)
        w.ptr(reply)

    props = [(CLSID_PropsOutInfo, type_serialized(props_out)), (CLSID_ScmReplyInfo, type_serialized(scm_reply))]
    if swap:
        props.reverse()
    total_props = sum(len(p) for _, p in props)

    def header(header_size):
        def fn(w):
            w.u32(header_size + total_props)
            w.u32(header_size)
            w.u32(0)
            w.u32(2)  # MSHCTX_DIFFERENTMACHINE
            w.u32(len(props))
            w.guid(CLSID_ActivationPropertiesOut)
            w.ptr(lambda w: w.array([c for c, _ in props], lambda w, c: w.guid(c)))
            w.ptr(lambda w: w.array([len(p) for _, p in props], lambda w, n: w.u32(n)))
            w.ptr(None)
        return type_serialized(fn)

    size = len(header(0))
    custom = header(size) + b"".join(p for _, p in props)
    blob = struct.pack("<II", len(custom), 0) + custom
    w = Writer()
    w.u32(OBJREF_SIGNATURE)
    w.u32(4)  # OBJREF_CUSTOM
    w.guid(IID_IActivationPropertiesOut)
    w.guid(CLSID_ActivationPropertiesOut)
    w.u32(0)
    w.u32(len(blob) + 8)
    w.raw(blob)
    return w.bytes()
