#!/usr/bin/python3
"""Unit tests of the test server's wire encodings and OPC objects, without sockets.
Run: python3 -m unittest test_server (in this folder, with Debian's python3)."""
import hashlib
import hmac
import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from Cryptodome.Cipher import ARC4  # noqa: E402
from impacket import ntlm  # noqa: E402

import dcom  # noqa: E402
import opc  # noqa: E402
import rpc  # noqa: E402
from ndr import (NdrError, Reader, Writer, VT_ARRAY, VT_BOOL, VT_BSTR, VT_EMPTY, VT_I1, VT_I2, VT_I4,  # noqa: E402
                 VT_R4, VT_R8, VT_UI1)


class VariantWire(unittest.TestCase):
    # (value, wire size from an 8-aligned start, clSize): the sizes oleaut32's own marshaller produces
    ROWS = [
        ((VT_I1, 0x12), 21, 3), ((VT_I2, 0x1234), 22, 3), ((VT_I4, 0x1234), 24, 3), ((VT_R4, 1.5), 24, 3),
        ((VT_R8, 3.1415), 32, 4), ((VT_BOOL, True), 22, 3), ((VT_EMPTY, None), 20, 3),
        ((VT_BSTR, "marshal test"), 60, 8), ((VT_ARRAY | VT_R8, [0.5] * 10), 152, 19),
    ]

    def test_layout_and_round_trip(self):
        for value, size, cl in self.ROWS:
            with self.subTest(value=value):
                w = Writer()
                w.variant(value)
                data = w.bytes()
                self.assertEqual(len(data), size)
                cl_size, _, vt, switch = struct.unpack_from("<IIH6xI", data)
                self.assertEqual((cl_size, vt), (cl, value[0]))
                self.assertEqual(switch, value[0] & ~0xFFF if value[0] & VT_ARRAY else value[0])
                self.assertEqual(Reader(data).variant(), value)

    def test_bool_is_minus_one_and_double_is_8_aligned(self):
        w = Writer()
        w.variant((VT_BOOL, True))
        self.assertEqual(w.bytes()[20:22], b"\xff\xff")
        w = Writer()
        w.variant((VT_R8, 2.0))
        self.assertEqual(w.bytes()[24:], struct.pack("<d", 2.0))

    def test_truncated_or_mismatched_variants_are_refused(self):
        w = Writer()
        w.variant((VT_BSTR, "abc"))
        data = w.bytes()
        for bad in (data[:-2], data[:16] + struct.pack("<I", VT_I4) + data[20:]):
            with self.assertRaises(NdrError):
                Reader(bad).variant()


class Opnums(unittest.TestCase):
    # Wire opnums as the shared DCOM facts list them, checked against the server's one table
    ROWS = [("IOPCServer", "AddGroup", 3), ("IOPCServer", "GetStatus", 6), ("IOPCServer", "RemoveGroup", 7),
            ("IOPCCommon", "SetClientName", 7), ("IOPCItemMgt", "AddItems", 3), ("IOPCItemMgt", "SetActiveState", 6),
            ("IOPCSyncIO", "Read", 3), ("IOPCSyncIO", "Write", 4), ("IOPCGroupStateMgt", "SetState", 4),
            ("IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs", 5), ("IOPCItemProperties", "LookupItemIDs", 5),
            ("IOPCServerList2", "CLSIDFromProgID", 5), ("IEnumString", "Next", 3), ("IOPCEnumGUID", "Clone", 6),
            ("IConnectionPointContainer", "FindConnectionPoint", 4), ("IObjectExporter", "ServerAlive2", 5),
            ("IObjectExporter", "ComplexPing", 2), ("IRemoteSCMActivator", "RemoteCreateInstance", 4),
            ("IRemUnknown2", "RemQueryInterface2", 6), ("IRemUnknown", "RemRelease", 5)]

    def test_table(self):
        for iface, method, opnum in self.ROWS:
            self.assertEqual(dcom.method_name(iface, opnum, opc.IDL_ORDER), method, iface)


class NtlmKnownAnswers(unittest.TestCase):
    """The server side of NTLMv2 against the published example (user "User", domain "Domain", password
    "Password", server challenge 0123456789abcdef, client challenge aa x 8, time 0, session key 55 x 16)."""
    AV = bytes.fromhex("02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000")

    def context(self, password="Password"):
        ctx = rpc.NtlmContext(("Domain", "User", password), rpc.LEVEL_PRIVACY)
        ctx.flags, ctx.state = 0xE28A8233, "challenged"
        ctx.server_challenge = bytes.fromhex("0123456789abcdef")
        ctx.negotiate_msg = ctx.challenge_msg = b""
        blob = b"\x01\x01" + b"\0" * 14 + b"\xaa" * 8 + b"\0" * 4 + self.AV + b"\0" * 4
        msg = ntlm.NTLMAuthChallengeResponse()
        msg["flags"] = 0xE28A8233
        msg["Version"], msg["MIC"] = b"\x06\x00\x70\x17\x00\x00\x00\x0f", b"\0" * 16
        msg["domain_name"], msg["user_name"] = "Domain".encode("utf-16le"), "User".encode("utf-16le")
        msg["host_name"], msg["lanman"] = "COMPUTER".encode("utf-16le"), b"\0" * 24
        msg["ntlm"] = bytes.fromhex("68cd0ab851e51c96aabc927bebef6a1c") + blob
        msg["session_key"] = bytes.fromhex("c5dad2544fc9799094ce1ce90bc9d03e")
        return ctx, msg.getData()

    def test_keys_unseal_and_signature(self):
        ctx, auth = self.context()
        ctx.authenticate(auth)
        self.assertEqual(ctx.sign_in.hex(), "4788dc861b4782f35d43fd98fe1a2d39")
        plain = ctx.seal_in(bytes.fromhex("54e50165bf1936dc996020c1811b0f06fb5f"))
        self.assertEqual(plain, "Plaintext".encode("utf-16le"))
        sig = ntlm.MAC(ctx.flags, ctx.seal_in, ctx.sign_in, 0, plain).getData()
        self.assertEqual(sig.hex(), "010000007fb38ec5c55d497600000000")

    def test_refusals(self):
        ctx, auth = self.context(password="Wrong")
        with self.assertRaisesRegex(rpc.AuthError, "wrong password"):
            ctx.authenticate(auth)
        ctx, auth = self.context()
        ctx.creds = ("Domain", "Other", "Password")
        with self.assertRaisesRegex(rpc.AuthError, "unknown user"):
            ctx.authenticate(auth)


class NtlmMic(unittest.TestCase):
    """MIC-bearing AUTHENTICATE messages laid out as Windows and our C++ client send them: VERSION and
    MIC at 64 and 72 whether or not the VERSION flag is set, then domain, user, host, LM, NT, session key."""
    NEG, CHAL, KEY = b"N" * 40, b"C" * 56, b"\x55" * 16
    ROWS = [  # (flags in the AUTHENTICATE, what changes after the MIC is made, the refusal or None)
        (0xE28A8233, None, None),
        (0xE08A8233, None, None),  # no VERSION flag: impacket alone finds the session key in the wrong place
        (0xE08A8233, "mic", "MIC does not match"),
        (0xE08A8233, "challenge", "MIC does not match"),
    ]

    def test_table(self):
        for flags, change, refusal in self.ROWS:
            with self.subTest(flags=hex(flags), change=change):
                ctx = rpc.NtlmContext(("Domain", "User", "Password"), rpc.LEVEL_PRIVACY)
                ctx.flags, ctx.state, ctx.server_challenge = 0xE28A8233, "challenged", b"\x01" * 8
                ctx.negotiate_msg, ctx.challenge_msg = self.NEG, self.CHAL
                av = ntlm.AV_PAIRS()
                av[ntlm.NTLMSSP_AV_FLAGS] = struct.pack("<I", rpc.AV_FLAGS_MIC)
                blob = b"\x01\x01" + b"\0" * 14 + b"\xaa" * 8 + b"\0" * 4 + av.getData() + b"\0" * 4
                ntowf = ntlm.NTOWFv2("User", "Password", "Domain")
                proof = hmac.new(ntowf, ctx.server_challenge + blob, hashlib.md5).digest()
                msg = ntlm.NTLMAuthChallengeResponse()
                msg["flags"] = 0xE28A8233  # so that impacket writes the VERSION and MIC fields
                msg["Version"], msg["MIC"] = b"\x06\x01\xb1\x1d\0\0\0\x0f", b"\0" * 16
                msg["domain_name"], msg["user_name"] = "Domain".encode("utf-16le"), "User".encode("utf-16le")
                msg["host_name"], msg["lanman"], msg["ntlm"] = "HOST".encode("utf-16le"), b"\0" * 24, proof + blob
                base_key = hmac.new(ntowf, proof, hashlib.md5).digest()
                msg["session_key"] = ARC4.new(base_key).encrypt(self.KEY)
                data = bytearray(msg.getData())
                data[60:64] = struct.pack("<I", flags)
                data[72:88] = hmac.new(self.KEY, self.NEG + self.CHAL + bytes(data), hashlib.md5).digest()
                if change == "mic":
                    data[80] ^= 1
                elif change == "challenge":
                    ctx.challenge_msg = b"D" + self.CHAL[1:]
                if refusal:
                    with self.assertRaisesRegex(rpc.AuthError, refusal):
                        ctx.authenticate(bytes(data))
                else:
                    ctx.authenticate(bytes(data))
                    self.assertEqual(ctx.sign_in, ntlm.SIGNKEY(flags, self.KEY, "Client"))


class Conversions(unittest.TestCase):
    ROWS = [  # (from, value, to, expected or HRESULT)
        (VT_R8, 75.5, VT_R8, 75.5), (VT_I4, 7, VT_I2, 7), (VT_R8, 2.5, VT_I4, 2), (VT_R8, 1e10, VT_I4, opc.OPC_E_RANGE),
        (VT_I4, 300, VT_UI1, opc.OPC_E_RANGE), (VT_BSTR, " 42 ", VT_I4, 42), (VT_BSTR, "x", VT_R8, opc.OPC_E_BADTYPE),
        (VT_BSTR, "TRUE", VT_BOOL, True), (VT_BOOL, True, VT_I2, -1), (VT_I4, 0, VT_BSTR, "0"),
        (VT_ARRAY | VT_I4, [1, 2], VT_ARRAY | VT_R8, [1.0, 2.0]), (VT_I4, 1, VT_ARRAY | VT_I4, opc.OPC_E_BADTYPE),
        (VT_EMPTY, None, VT_I4, opc.OPC_E_BADTYPE), (VT_R8, 1e39, VT_R4, opc.OPC_E_RANGE),
    ]

    def test_table(self):
        for vt_from, value, vt_to, want in self.ROWS:
            with self.subTest(row=(vt_from, value, vt_to)):
                try:
                    got = opc.convert(vt_from, value, vt_to)
                except opc.BadValue as e:
                    got = e.hr
                self.assertEqual(got, want)


def call(obj, method, build, iid=None):
    """Runs one method on stub bytes that build(writer) writes; returns (HRESULT, out Reader)."""
    w = Writer()
    build(w)
    out = Writer()
    hr = getattr(obj, method)(type("Call", (), {"iid": iid})(), Reader(w.bytes()), out)
    return hr, Reader(out.bytes())


class Objects(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        faults = type("Faults", (), {"refused_iids": set(), "big_vendor": 0})()
        self.world = dcom.World(self.dir.name, ("D", "u", "p"), faults, 120, 3)
        self.world.space, self.world.started = opc.address_space(), 0
        self.server = opc.OpcServer(self.world)
        self.world.export(self.server, opc.IID["IOPCServer"])

    def tearDown(self):
        self.world.logfile.close()
        self.dir.cleanup()

    def browse(self, kind, criteria=""):
        hr, r = call(self.server, "browse", lambda w: (w.u32(kind), w.wstr(criteria), w.u16(0), w.u32(0)))
        r.u32()
        enum = self.world.ipids[r.interface()[48:64]][0]  # the IPID in the OBJREF_STANDARD
        _, r = call(enum, "next", lambda w: w.u32(1000))
        r.u32(), r.u32()
        n = r.u32()
        [r.u32() for _ in range(n)]
        return hr, [r.wstr() for _ in range(n)]

    def test_browse_and_positions(self):
        rows = [  # (ChangeBrowsePosition direction and name, HRESULT, then what BRANCH / LEAF browsing sees)
            (None, 0, "SimulatePLC", "Heartbeat"),
            ((2, "Line 1.Area B"), 0, None, "Temperature"),
            ((3, ""), 0, "test1", "Version"),
            ((2, "Nope"), dcom.E_INVALIDARG, "K", None),
            ((3, "SimulatePLC.Arrays"), 0, None, "StringArray"),
            ((1, ""), 0, "Types", "Setpoint"),
            ((3, ""), 0, None, None),
            ((1, ""), dcom.E_FAIL, None, None),
        ]
        for move, want_hr, branch, leaf in rows:
            with self.subTest(move=move):
                if move:
                    hr, _ = call(self.server, "change_position", lambda w: (w.u32(move[0]), w.wstr(move[1])))
                    self.assertEqual(hr, want_hr)
                if branch:
                    self.assertIn(branch, self.browse(1)[1])
                if leaf:
                    self.assertIn(leaf, self.browse(2)[1])
        self.assertEqual(self.browse(3, "*Signal_000#?")[1], [
            "test1.cpu.SignalTags.Signal_0001B", "test1.cpu.SignalTags.Signal_0002W",
            "test1.cpu.SignalTags.Signal_0003R", "test1.cpu.SignalTags.Signal_0004S"])
        self.assertEqual(self.browse(2, "NoSuch*"), (dcom.S_FALSE, []))

    def test_group_items_write_and_read(self):
        hr, r = call(self.server, "add_group", lambda w: (
            w.wstr("g"), w.i32(1), w.u32(500), w.u32(9), w.ptr(None), w.ptr(None), w.u32(0x409),
            w.guid(opc.IID["IOPCItemMgt"])))
        self.assertEqual(hr, 0)
        group = self.server.groups[r.u32()]
        ids = ["SimulatePLC.Setpoint", "SimulatePLC.ReadOnly", "SimulatePLC.Arrays.LongArray", "", "A..B"]

        def defs(w):
            w.u32(len(ids))

            def items(w):
                w.u32(len(ids))
                for i, item_id in enumerate(ids):
                    w.ptr(None), w.ptr(lambda w, s=item_id: w.wstr(s)), w.i32(1), w.u32(i), w.u32(0), w.ptr(None)
                    w.u16(0), w.u16(0)
            w.construct(items)
        hr, r = call(group, "add_items", defs)
        self.assertEqual(hr, dcom.S_FALSE)
        r.u32(), r.u32()
        results = [(r.u32(), r.u16(), r.u16(), r.u32(), r.u32(), r.u32()) for _ in ids]
        r.u32(), r.u32()
        self.assertEqual([r.u32() for _ in ids], [0, 0, 0, opc.OPC_E_INVALIDITEMID, opc.OPC_E_INVALIDITEMID])
        handles = [res[0] for res in results[:3]]
        values = [(VT_BSTR, "12.25"), (VT_I2, 1), (VT_ARRAY | VT_I4, [7, 8])]

        def write(w):
            w.u32(3), w.array(handles, lambda w, h: w.u32(h))
            w.construct(lambda w: w.array(values, lambda w, v: w.ptr(lambda w: w.variant(v))))
        hr, r = call(group, "write", write)
        r.u32(), r.u32()
        self.assertEqual([r.u32() for _ in handles], [0, opc.OPC_E_BADRIGHTS, 0])
        call(group, "set_active", lambda w: (w.u32(1), w.array(handles[:1], lambda w, h: w.u32(h)), w.i32(0)))
        for source, quality in ((2, 0xC0), (1, opc.OUT_OF_SERVICE)):
            hr, r = call(group, "read", lambda w: (w.u32(source), w.u32(3), w.array(handles, lambda w, h: w.u32(h))))
            self.assertEqual(hr, 0)
            r.u32(), r.u32()
            states = [(r.u32(), r.u32(), r.u32(), r.u16(), r.u16(), r.u32()) for _ in handles]
            got = [r.variant() for _ in handles]
            self.assertEqual(states[0][3], quality)
            self.assertEqual(got, [(VT_R8, 12.25), (VT_I2, 42), (VT_ARRAY | VT_I4, [7, 8])])

    def remunknown(self, opnum, build):
        w = Writer()
        w.u16(5), w.u16(7), w.u32(0), w.u32(0), w.guid(b"\1" * 16), w.u32(0)  # ORPCTHIS
        build(w)
        faults = self.world.faults
        faults.garbage_roles, faults.max_frag = set(), 5840
        self.world.served_classes = [opc.OpcServer]
        app = dcom.Application(self.world, "exporter")
        call = type("Call", (), dict(iid=dcom.IID_IRemUnknown2, opnum=opnum, object=self.world.remunk_ipid,
                                     level=6, user="D\\u", stub=w.bytes()))()
        stub, hr, _ = app.answer(call)
        return hr, Reader(stub, 8)

    def test_remunknown_references(self):
        ipid = self.server.ipids[opc.IID["IOPCServer"]]
        qi_iids = [opc.IID["IOPCCommon"], opc.IID["IOPCSyncIO"]]
        hr, r = self.remunknown(3, lambda w: (w.guid(ipid), w.u32(2), w.u16(1), w.array(qi_iids[:1], lambda w, i: w.guid(i))))
        r.u32(), r.u32()
        r.align(8)  # REMQIRESULT: hResult, then the 8-aligned STDOBJREF
        self.assertEqual((r.u32(), r.u32(), r.u32(), r.u32()), (0, 0, 0, 2))
        self.assertEqual((r.u64(), r.u64(), r.guid()), (self.world.oxid, self.server.oid, self.server.ipids[qi_iids[0]]))
        hr, r = self.remunknown(6, lambda w: (w.guid(ipid), w.u16(2), w.array(qi_iids, lambda w, i: w.guid(i))))
        r.u32()
        self.assertEqual((hr, [r.u32() for _ in qi_iids]), (0, [0, dcom.E_NOINTERFACE]))
        r.u32()
        refids = [r.u32() for _ in qi_iids]
        self.assertEqual(r.interface()[48:64], self.server.ipids[opc.IID["IOPCCommon"]])
        self.assertEqual(refids[1], 0)
        common = self.server.ipids[opc.IID["IOPCCommon"]]
        rows = [  # (opnum, [(ipid, refs)], call HRESULT, references held afterwards)
            (4, [(common, 2)], 0, 14), (5, [(common, 9), (b"\2" * 16, 1)], dcom.E_INVALIDARG, 5),
            (5, [(ipid, 4)], 0, 1), (5, [(ipid, 1)], 0, 0),
        ]
        for opnum, refs, want_hr, held in rows:
            with self.subTest(opnum=opnum, refs=refs):
                hr, _ = self.remunknown(opnum, lambda w: (w.u16(len(refs)), w.array(
                    refs, lambda w, x: (w.guid(x[0]), w.u32(x[1]), w.u32(0)))))
                self.assertEqual(hr, want_hr)
                self.assertEqual(sum(e[2] for e in self.world.ipids.values()), held)
        self.assertEqual(self.world.objects, {})

    def test_bad_stubs_raise_ndr_errors(self):
        for method, build in (("add_group", lambda w: w.u32(5)), ("get_item_id", lambda w: (w.u32(1), w.u32(0),
                              w.u32(1), w.u16(65))), ("browse", lambda w: w.u16(1))):
            with self.subTest(method=method), self.assertRaises(NdrError):
                call(self.server, method, build)


if __name__ == "__main__":
    unittest.main()
