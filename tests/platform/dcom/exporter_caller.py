#!/usr/bin/python3
"""Calls our object exporter with impacket's RPC client (an independent peer for its NTLM and RPC):
the resolver, then an exported object. Usage: exporter_caller.py PORT OXID IPID IID
Prints one line per answer; exit 1 with the reason when a call fails."""
import struct
import sys

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


def main(port, oxid, ipid, iid):
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
    dce.disconnect()
    obj = connect(port, uuidtup_to_bin((iid, "0.0")))
    orpcthis = struct.pack("<HHII16sI", 5, 7, 0, 0, b"\x11" * 16, 0)
    obj.call(3, orpcthis + b"ping", uuid=string_to_bin(ipid))
    answer = obj.recv()
    print("Echo %s" % answer[8:12].decode("latin-1"))  # after ORPCTHAT: the stub echoed
    obj.disconnect()


if __name__ == "__main__":
    try:
        main(int(sys.argv[1]), int(sys.argv[2], 16), sys.argv[3].strip("{}"), sys.argv[4].strip("{}"))
    except Exception as e:  # the reason goes to the test's output
        print("failed: %s: %s" % (type(e).__name__, e))
        sys.exit(1)
