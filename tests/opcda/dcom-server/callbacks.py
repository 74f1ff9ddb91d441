"""Calls a client back, as an OPC server does: the client's sink (the OBJREF it gave to Advise) is
resolved at the resolver address in that OBJREF, bound with NTLM under the server's own account
at the level it is told, and sent OnDataChange. impacket's RPC client does the transport and NTLM;
the stubs are written by ndr.py."""
import os
import struct
import threading
import time

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dcomrt import IID_IObjectExporter, OID, ComplexPing, ResolveOxid2, SimplePing
from impacket.dcerpc.v5.dtypes import NULL
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

from ndr import NdrError, Writer, guid_text

SERVER_ACCOUNT = ("NODE", "opcserver", "server-password")  # ours: the client cannot check it
IID_IOPCDataCallback = "39C13A70-011E-11D0-9675-0020AFD8ADB3"
IID_IOPCShutdown = "F31DFDE1-07B6-11D2-B2D8-0060083BA1FB"


def parse_objref(data):
    """(oxid, oid, ipid, [string bindings]) of an OBJREF_STANDARD."""
    if len(data) < 68 or data[:4] != b"MEOW" or struct.unpack_from("<I", data, 4)[0] != 1:
        raise NdrError("the sink is no standard OBJREF")
    oxid, oid = struct.unpack_from("<QQ", data, 32)
    ipid = data[48:64]
    count, security = struct.unpack_from("<HH", data, 64)
    units = struct.unpack_from("<%dH" % count, data, 68)
    bindings, i = [], 0
    while i < security and units[i] != 0:
        end = units.index(0, i + 1)
        bindings.append((units[i], "".join(chr(u) for u in units[i + 1:end])))
        i = end + 1
    return oxid, oid, ipid, bindings


def orpcthis():
    return struct.pack("<HHII16sI", 5, 7, 0, 0, os.urandom(16), 0)


class Sink:
    """One client sink: connected on first use, then OnDataChange as often as asked."""

    def __init__(self, world, objref, level, address=None, iid=IID_IOPCDataCallback):
        self.world, self.level, self.address, self.iid = world, level, address, iid
        self.oxid, self.oid, self.ipid, self.bindings = parse_objref(objref)
        self.dce = None
        self.calls = 0
        self.pinger, self.stop_pinging = None, threading.Event()

    def target(self):
        """The IPID called: the sink's, or with --callback-unknown-ipid one the client never gave."""
        return os.urandom(16) if self.world.faults.callback_unknown_ipid else self.ipid

    def account(self):
        """Who calls back: the server's own account (which the client cannot check), or the
        client's login, as a server running under that same account would (--callback-as)."""
        who = self.world.faults.callback_as
        if who == "server":
            return SERVER_ACCOUNT
        domain, user, password = self.world.creds
        return (domain, user, password if who == "client" else password + "-wrong")

    def _dial(self, binding, iid):
        t = transport.DCERPCTransportFactory("ncacn_ip_tcp:" + binding)
        t.set_connect_timeout(5)
        domain, user, password = self.account()
        t.set_credentials(user, password, domain)
        dce = t.get_dce_rpc()
        dce.set_auth_level(self.level)
        dce.connect()
        dce.bind(iid)
        return dce

    def _connect(self):
        tcp = [text for tower, text in self.bindings if tower == 7]
        if not tcp:
            raise NdrError("the sink names no TCP resolver")
        resolver = tcp[0] if self.address is None else self.address + tcp[0][tcp[0].rindex("["):]
        self.world.log("callback resolving oxid=%016x at %s" % (self.oxid, resolver))
        dce = self._dial(resolver, IID_IObjectExporter)
        req = ResolveOxid2()
        req["pOxid"] = self.oxid
        req["cRequestedProtseqs"] = 1
        req["arRequestedProtseqs"] = [7]
        answer = dce.request(req)
        self._start_pinging(dce)
        units = list(answer["ppdsaOxidBindings"]["aStringArray"])
        binding = "".join(chr(u) for u in units[1:units.index(0, 1)])
        if self.address is not None:
            binding = self.address + binding[binding.rindex("["):]
        self.dce = self._dial(binding, uuidtup_to_bin((self.iid, "0.0")))
        self.world.log("callback bound to %s ipid=%s level=%d as %s" % (binding, guid_text(self.ipid), self.level,
                                                                        "\\".join(self.account()[:2])))

    def _start_pinging(self, resolver):
        """Keeps the sink alive as a Windows machine does: its OID in a ping set of ours, the set
        pinged every ping period on the resolver's connection."""
        req = ComplexPing()
        req["pSetId"] = 0
        req["SequenceNum"] = 1
        req["cAddToSet"] = 1
        req["cDelFromSet"] = 0
        oid = OID()
        oid["Data"] = self.oid
        req["AddToSet"].append(oid)
        req["DelFromSet"] = NULL
        set_id = resolver.request(req)["pSetId"]
        self.world.log("callback ping set %016x holds oid=%016x" % (set_id, self.oid))

        stop = self.stop_pinging = threading.Event()

        def run():
            while not stop.wait(self.world.ping_period):
                try:
                    ping = SimplePing()
                    ping["pSetId"] = set_id
                    resolver.request(ping)
                except (OSError, DCERPCException) as e:
                    self.world.log("callback ping failed: %s" % e)
                    break
            try:
                resolver.disconnect()
            except (OSError, DCERPCException):
                pass

        self.pinger = threading.Thread(target=run, daemon=True)
        self.pinger.start()

    def on_data_change(self, transid, hgroup, states):
        """states: (client handle, (vt, value), quality, FILETIME ticks) per item."""
        if self.dce is None:
            self._connect()
        n = len(states)
        w = Writer()
        w.raw(orpcthis())
        for v in (transid, hgroup, 0, 0, n):
            w.u32(v)
        w.u32(n)
        for s in states:
            w.u32(s[0])
        w.u32(n)
        for _ in states:
            w.refid()
        for s in states:
            w.variant(s[1])
        w.u32(n)
        for s in states:
            w.u16(s[2])
        w.u32(n)
        for s in states:
            w.u32(s[3] & 0xFFFFFFFF), w.u32(s[3] >> 32)
        w.u32(n)
        for _ in states:
            w.u32(0)
        self.dce.call(3, w.bytes(), uuid=self.target())
        answer = self.dce.recv()
        self.calls += 1
        self.world.log("callback OnDataChange transid=%d items=%d -> 0x%08x" % (
            transid, n, struct.unpack_from("<I", answer, len(answer) - 4)[0]))

    def shutdown_request(self, reason):
        if self.dce is None:
            self._connect()
        w = Writer()
        w.raw(orpcthis())
        w.wstr(reason)
        self.dce.call(3, w.bytes(), uuid=self.target())
        self.dce.recv()
        self.world.log("callback ShutdownRequest %r" % reason)

    def close(self):
        self.stop_pinging.set()
        if self.pinger is not None:
            self.pinger.join(5)
        if self.dce is not None:
            try:
                self.dce.disconnect()
            except (OSError, DCERPCException):
                pass
            self.dce = None


class Pusher:
    """A group's calls back: a thread that sends what changed at the group's rate, and every
    active item at once for a Refresh2."""

    def __init__(self, group, sink, faults):
        self.group, self.sink, self.faults = group, sink, faults
        self.refreshes = []
        self.wake = threading.Event()
        self.stop = threading.Event()
        self.sent = {}
        self.last_call = time.monotonic()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def refresh(self, transid):
        self.refreshes.append(transid)
        self.wake.set()

    def run(self):
        world = self.group.world
        while not self.stop.is_set():
            # at the group's rate, or sooner for a keep-alive that falls between
            period = self.group.rate / 1000.0
            if self.group.keep_alive:
                period = min(period, max(0.01, self.last_call + self.group.keep_alive / 1000.0 - time.monotonic()))
            self.wake.wait(period)
            self.wake.clear()
            if self.stop.is_set():
                break
            if self.faults.callbacks_refused:
                continue  # a firewall between us and the client: nothing gets through
            if self.faults.callbacks_stop_after is not None and self.sink.calls >= self.faults.callbacks_stop_after:
                continue
            try:
                while self.refreshes:
                    transid = self.refreshes.pop(0)
                    self.sink.on_data_change(transid, self.group.hclient, self.group.states(changed_only=None))
                states = self.group.states(changed_only=self.sent) if self.group.active else []
                keep_alive = self.group.keep_alive / 1000.0
                if states or (keep_alive and time.monotonic() - self.last_call >= keep_alive):
                    self.sink.on_data_change(0, self.group.hclient, states)
                    self.last_call = time.monotonic()
            except (OSError, DCERPCException, NdrError, ValueError) as e:
                world.log("callback failed: %s: %s" % (type(e).__name__, e))
                self.sink.close()
                self.stop.wait(1.0)

    def close(self):
        self.stop.set()
        self.wake.set()
        self.thread.join(5)
        self.sink.close()
