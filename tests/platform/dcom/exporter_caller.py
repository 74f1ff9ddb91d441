#!/usr/bin/python3
"""Calls our object exporter with impacket's RPC client (an independent peer for its NTLM and RPC):
the resolver, then an exported object; with "hostile", then what a hostile caller sends, and the
object once more; with "gone", only a call to the object (which must be refused).
Usage: exporter_caller.py PORT OXID IPID IID [hostile|gone]
Prints one line per answer; exit 1 with the reason when something is not as it must be."""
import socket
import struct
import sys

from impacket.dcerpc.v5.rpcrt import DCERPCException

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dcomrt import IID_IObjectExporter, ResolveOxid2, ServerAlive2
from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_CONNECT
from impacket.uuid import string_to_bin, uuidtup_to_bin


def connect(port, iid):
    t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % port)
    t.set_credentials("opcserver", "whatever", "PLANT")
    dce = t.get_dce_rpc()
    dce.set_auth_level(RPC_C_AUTHN_LEVEL_CONNECT)
    dce.connect()
    dce.bind(iid)
    return dce


def refused(fn):
    """The fault's text, or raises when the call went through."""
    try:
        fn()
    except DCERPCException as e:
        return str(e)
    raise AssertionError("a call that must be refused went through")


def closed_after(port, data):
    """Whether the listener closes a connection that sends data (and answers nothing)."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(data)
        return s.recv(4096) == b""


def echo(port, ipid, iid):
    obj = connect(port, uuidtup_to_bin((iid, "0.0")))
    orpcthis = struct.pack("<HHII16sI", 5, 7, 0, 0, b"\x11" * 16, 0)
    obj.call(3, orpcthis + b"ping", uuid=string_to_bin(ipid))
    answer = obj.recv()
    obj.disconnect()
    return answer[8:12].decode("latin-1")  # after ORPCTHAT: the stub echoed


def main(port, oxid, ipid, iid, mode):
    if mode == "gone":
        print("gone: %s" % refused(lambda: echo(port, ipid, iid)))
        return
    dce = connect(port, IID_IObjectExporter)
    alive = dce.request(ServerAlive2())
    print("ServerAlive2 %d.%d" % (alive["pComVersion"]["MajorVersion"], alive["pComVersion"]["MinorVersion"]))
    req = ResolveOxid2()
    req["pOxid"] = oxid
    req["cRequestedProtseqs"] = 1
    req["arRequestedProtseqs"] = [7]
    resolved = dce.request(req)
    units = list(resolved["ppdsaOxidBindings"]["aStringArray"])  # tower id, then the text, NUL-ended
    text = "".join(chr(u) for u in units[1:units.index(0, 1)])
    print("ResolveOxid2 tower %d %s" % (units[0], text))
    if mode == "hostile":
        req["pOxid"] = oxid ^ 1
        answer = dce.request(req, checkError=False)
        print("unknown OXID: status %d" % answer["ErrorCode"])
    dce.disconnect()
    print("Echo %s" % echo(port, ipid, iid))
    if mode != "hostile":
        return
    print("unknown IPID: %s" % refused(lambda: echo(port, "00000000-1111-2222-3333-444444444444", iid)))
    print("malformed PDU closed: %s" % closed_after(port, b"\x17\x03\x01" + b"garbage that is no PDU" * 3))
    huge = struct.pack("<BBBB4sHHI", 5, 0, 0, 3, b"\x10\0\0\0", 0xFFFF, 0, 1) + b"x" * 64
    print("huge fragment closed: %s" % closed_after(port, huge))
    print("Echo again %s" % echo(port, ipid, iid))


if __name__ == "__main__":
    try:
        main(int(sys.argv[1]), int(sys.argv[2], 16), sys.argv[3].strip("{}"), sys.argv[4].strip("{}"),
             sys.argv[5] if len(sys.argv) > 5 else "")
    except Exception as e:  # the reason goes to the test's output
        print("failed: %s: %s" % (type(e).__name__, e))
        sys.exit(1)
