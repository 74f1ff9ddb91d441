#!/usr/bin/python3
"""OPC DA test server over DCOM for the VEXA32 DCOM client's tests (see README.md)."""
import argparse
import os
import re
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dcom  # noqa: E402
import rpc  # noqa: E402
from ndr import guid, guid_text  # noqa: E402
from opc import (CLSID_OpcEnum, CLSID_TestServer, IDL_ORDER, IID, PROGID, ConnectionPoint, EnumGuid,  # noqa: E402
                 EnumString, Group, OpcEnum, OpcServer, ShutdownPoint, address_space)

DEFAULT_USER, DEFAULT_PASSWORD = "VEXATEST\\tester", "Vexa-Test-1"
NAMED_IIDS = dict(IID, IUnknown=dcom.IID_IUnknown, IRemUnknown=dcom.IID_IRemUnknown,
                  IRemUnknown2=dcom.IID_IRemUnknown2, IRemoteSCMActivator=dcom.IID_IRemoteSCMActivator,
                  IObjectExporter=dcom.IID_IObjectExporter)


class Faults:
    def __init__(self, args):
        self.stall_after, self.kill_after = args.stall_after, args.kill_after
        self.garbage_roles = {"both": {"activation", "exporter"}, None: set()}.get(
            args.garbage_after_bind, {args.garbage_after_bind})
        self.rules = args.fault
        self.refused_iids = set(args.refuse_iid)
        self.big_vendor, self.max_frag = args.big_vendor, args.max_frag
        self.swap_activation_properties = args.swap_activation_properties
        self.callbacks_refused, self.callbacks_stop_after = args.refuse_callbacks, args.callbacks_stop_after
        self.callback_level = {"connect": 2, "integrity": 5, "privacy": 6}[args.callback_level]
        self.callback_address, self.callback_as = args.callback_address, args.callback_as
        self.callback_unknown_ipid = args.callback_unknown_ipid
        self.shutdown_after, self.shutdown_reason = args.shutdown_after, args.shutdown_reason

    def fault_for(self, name, iid, opnum):
        for target, op, status in self.rules:
            if target in (name, iid) and op == opnum:
                return status
        return None


def iid_arg(text):
    if text in NAMED_IIDS:
        return NAMED_IIDS[text]
    try:
        return guid(text.strip("{}"))
    except ValueError:
        raise argparse.ArgumentTypeError("%r is neither a known interface name nor a GUID" % text) from None


def fault_arg(text):
    m = re.fullmatch(r"([^:]+):(\w+):(0x[0-9a-fA-F]{1,8}|\d+)", text)
    if not m:
        raise argparse.ArgumentTypeError("expected INTERFACE:OPNUM:STATUS, e.g. IOPCServer:GetStatus:0x80004005")
    name, op = m.group(1), m.group(2)
    target = name if name in NAMED_IIDS else iid_arg(name)
    if not op.isdigit():
        ops = [i for i in range(32) if dcom.method_name(name, i, IDL_ORDER) == op]
        if not ops:
            raise argparse.ArgumentTypeError("%s has no method %s" % (name, op))
        op = ops[0]
    return target, int(op), int(m.group(3), 0)


def positive(kind):
    def parse(text):
        v = kind(text)
        if v <= 0:
            raise argparse.ArgumentTypeError("must be positive")
        return v
    return parse


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--state", required=True, help="folder for ports, log and state.json")
    p.add_argument("--user", default=DEFAULT_USER, help="DOMAIN\\user the server accepts (default %(default)s)")
    p.add_argument("--password", default=DEFAULT_PASSWORD, help="its password (default %(default)s)")
    p.add_argument("--ping-period", type=positive(float), default=120.0, help="seconds (default %(default)s)")
    p.add_argument("--ping-count", type=positive(int), default=3, help="missed periods before collection")
    p.add_argument("--stall-after", type=int, metavar="N", help="answer no call after the first N")
    p.add_argument("--kill-after", type=int, metavar="N", help="close the connection in the middle of answering call N+1")
    p.add_argument("--garbage-after-bind", choices=("activation", "exporter", "both"),
                   help="send bytes that are no PDU right after each bind_ack on that port")
    p.add_argument("--fault", type=fault_arg, action="append", default=[], metavar="IFACE:OPNUM:STATUS",
                   help="answer every such call with a fault PDU of STATUS")
    p.add_argument("--refuse-iid", type=iid_arg, action="append", default=[], metavar="IID",
                   help="E_NOINTERFACE for this interface (name or GUID) everywhere")
    p.add_argument("--big-vendor", type=int, default=0, metavar="CHARS", help="GetStatus vendor text of this length")
    p.add_argument("--many-items", type=int, default=0, metavar="N", help="add SimulatePLC.Many.Item00001..N")
    p.add_argument("--max-frag", type=int, default=rpc.OUR_MAX_FRAG, help="largest fragment offered (1024..5840)")
    p.add_argument("--activation-port", type=int, default=0, metavar="PORT",
                   help="listen there rather than on a free port (a restart on the same ports)")
    p.add_argument("--exporter-port", type=int, default=0, metavar="PORT", help="the same for the object exporter")
    p.add_argument("--refuse-callbacks", action="store_true",
                   help="take Advise but never reach the client (a firewall between them)")
    p.add_argument("--callbacks-stop-after", type=int, metavar="N", help="call back N times, then no more")
    p.add_argument("--callback-level", choices=("connect", "integrity", "privacy"), default="connect",
                   help="NTLM level of the calls back (default %(default)s, as servers do)")
    p.add_argument("--callback-address", metavar="ADDR", help="call back there instead of where the client said")
    p.add_argument("--callback-unknown-ipid", action="store_true",
                   help="call back with an IPID the client never gave (a stale or forged reference)")
    p.add_argument("--callback-as", choices=("server", "client", "client-wrong-password"), default="server",
                   help="call back under the server's own account (default), the client's login, or the client's "
                        "user name with a wrong password")
    p.add_argument("--shutdown-after", type=float, metavar="SECONDS",
                   help="tell the first client advised for IOPCShutdown, that long after, that the server shuts down")
    p.add_argument("--shutdown-reason", default="maintenance", help="the reason it gives (default %(default)s)")
    p.add_argument("--swap-activation-properties", action="store_true",
                   help="put ScmReplyInfo before PropsOutInfo in activation answers")
    args = p.parse_args(argv)
    if "\\" not in args.user:
        p.error("--user must be DOMAIN\\user")
    if not 1024 <= args.max_frag <= rpc.OUR_MAX_FRAG:
        p.error("--max-frag must be within 1024..%d" % rpc.OUR_MAX_FRAG)
    if not 0 <= args.many_items <= 100000 or not 0 <= args.big_vendor <= 1 << 20:
        p.error("--many-items and --big-vendor are limited to 100000 and 1 MiB")
    return args


def write_atomic(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main(argv):
    args = parse_args(argv)
    os.makedirs(args.state, exist_ok=True)
    domain, user = args.user.split("\\", 1)
    world = dcom.World(args.state, (domain, user, args.password), Faults(args), args.ping_period, args.ping_count)
    world.space = address_space(args.many_items)
    world.started = time.time()
    world.classes = {CLSID_OpcEnum: OpcEnum, CLSID_TestServer: OpcServer}
    world.served_classes = [OpcEnum, OpcServer, Group, EnumString, EnumGuid, ConnectionPoint, ShutdownPoint]
    world.iid_names.update({v: k for k, v in NAMED_IIDS.items()})
    world.idl_order = IDL_ORDER
    listeners = [rpc.Listener(dcom.Application(world, role), port)
                 for role, port in (("activation", args.activation_port), ("exporter", args.exporter_port))]
    world.act_port, world.exp_port = (l.app.port for l in listeners)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    for l in listeners:
        l.thread.start()
    threading.Thread(target=world.collector, daemon=True).start()
    world.write_state()
    world.log("listening activation=%d exporter=%d user=%s clsid={%s} progid=%s ping=%gx%d" % (
        world.act_port, world.exp_port, args.user, guid_text(CLSID_TestServer), PROGID, args.ping_period,
        args.ping_count))
    write_atomic(os.path.join(args.state, "ports"), "activation=%d\nexporter=%d\n" % (world.act_port, world.exp_port))
    while not stop.wait(0.5):
        pass
    world.stopping.set()
    for l in listeners:
        l.shutdown()
        l.server_close()
    world.log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
