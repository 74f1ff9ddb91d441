"""Connection-oriented DCE/RPC server with NTLMv2 (sign and seal), one thread per connection.

impacket's own DCERPCServer has no authentication and answers in one fragment, so the PDU loop is
ours; NTLM message layouts, NTOWFv2, the key derivation and the MAC come from impacket.
"""
import hmac
import hashlib
import os
import socket
import socketserver
import struct
import threading
import time

from Cryptodome.Cipher import ARC4
from impacket import ntlm

from ndr import guid, guid_text

REQUEST, RESPONSE, FAULT, BIND, BIND_ACK, BIND_NAK = 0, 2, 3, 11, 12, 13
ALTER, ALTER_RESP, AUTH3, SHUTDOWN, CO_CANCEL, ORPHANED = 14, 15, 16, 17, 18, 19
PFC_FIRST, PFC_LAST, PFC_DID_NOT_EXECUTE, PFC_OBJECT = 0x01, 0x02, 0x20, 0x80
AUTHN_WINNT = 10
LEVEL_CONNECT, LEVEL_INTEGRITY, LEVEL_PRIVACY = 2, 5, 6
NDR20 = guid("8a885d04-1ceb-11c9-9fe8-08002b104860") + struct.pack("<I", 2)
BTFN_PREFIX = guid("6cb71c2c-9812-4540-0000-000000000000")[:8]

STATUS_ACCESS_DENIED = 0x00000005  # nca_s_fault_access_denied
STATUS_NDR = 0x000006F7            # nca_s_fault_ndr
STATUS_OP_RNG = 0x1C010002         # nca_s_op_rng_error
STATUS_UNK_IF = 0x1C010003         # nca_s_unk_if
STATUS_PROTO = 0x1C01000B          # nca_s_proto_error
OUR_MAX_FRAG = 5840                # what Windows offers
MAX_CALL = 4 << 20                 # no test call comes near this; more is an attack or a bug
IDLE_TIMEOUT = 600

NEGOTIABLE = (ntlm.NTLMSSP_NEGOTIATE_SIGN | ntlm.NTLMSSP_NEGOTIATE_SEAL | ntlm.NTLMSSP_NEGOTIATE_ALWAYS_SIGN
              | ntlm.NTLMSSP_NEGOTIATE_KEY_EXCH | ntlm.NTLMSSP_NEGOTIATE_128 | ntlm.NTLMSSP_NEGOTIATE_56)
AV_FLAGS_MIC = 0x2


class ProtocolError(Exception):
    """The peer broke the protocol: the connection ends."""


class AuthError(Exception):
    pass


class Fault(Exception):
    """Answer the call with a fault PDU carrying status."""

    def __init__(self, status, why=""):
        super().__init__(why)
        self.status = status


def filetime(t=None):
    return int(((time.time() if t is None else t) + 11644473600) * 10_000_000)


class NtlmContext:
    """The server side of one NTLMv2 security context (one auth_context_id on a connection)."""

    def __init__(self, creds, level):
        self.creds = creds  # (domain, user, password)
        self.level = level
        self.state = "new"
        self.user = ""
        self.recv_seq = 0
        self.send_seq = 0

    def challenge(self, data):
        if data[:8] != b"NTLMSSP\0" or struct.unpack_from("<I", data, 8)[0] != 1:
            raise AuthError("not an NTLM NEGOTIATE message")
        neg = ntlm.NTLMAuthNegotiate()
        neg.fromString(data)
        cflags = neg["flags"]
        if not cflags & ntlm.NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY:
            raise AuthError("client does not offer extended session security; NTLMv2 only")
        flags = (ntlm.NTLMSSP_NEGOTIATE_UNICODE | ntlm.NTLMSSP_NEGOTIATE_NTLM | ntlm.NTLMSSP_TARGET_TYPE_SERVER
                 | ntlm.NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY | ntlm.NTLMSSP_NEGOTIATE_TARGET_INFO
                 | ntlm.NTLMSSP_REQUEST_TARGET | (cflags & NEGOTIABLE))
        self.server_challenge = os.urandom(8)
        domain = (self.creds[0] or "VEXATEST").upper()
        av = ntlm.AV_PAIRS()
        av[ntlm.NTLMSSP_AV_DOMAINNAME] = domain.encode("utf-16le")
        av[ntlm.NTLMSSP_AV_HOSTNAME] = "VEXADCOM".encode("utf-16le")
        av[ntlm.NTLMSSP_AV_DNS_DOMAINNAME] = domain.lower().encode("utf-16le")
        av[ntlm.NTLMSSP_AV_DNS_HOSTNAME] = "vexadcom".encode("utf-16le")
        av[ntlm.NTLMSSP_AV_TIME] = struct.pack("<Q", filetime())
        msg = ntlm.NTLMAuthChallenge()
        msg["flags"] = flags
        msg["domain_name"] = domain.encode("utf-16le")
        msg["domain_offset"] = 48  # the fixed part without a Version field; impacket's default of 40 is wrong
        msg["challenge"] = self.server_challenge
        msg["reserved"] = b"\0" * 8
        msg["Version"] = b""
        msg["TargetInfoFields"] = av.getData()
        msg["TargetInfoFields_offset"] = 48 + len(msg["domain_name"])
        self.negotiate_msg, self.challenge_msg = bytes(data), msg.getData()
        self.flags = flags
        self.state = "challenged"
        return self.challenge_msg

    def authenticate(self, data):
        """Checks the AUTHENTICATE message; raises AuthError with the reason when it is refused."""
        if data[:8] != b"NTLMSSP\0" or len(data) < 64 or struct.unpack_from("<I", data, 8)[0] != 3:
            raise AuthError("not an NTLM AUTHENTICATE message")
        msg = ntlm.NTLMAuthChallengeResponse()
        try:
            msg.fromString(data)
            user = msg["user_name"].decode("utf-16le")
            domain = msg["domain_name"].decode("utf-16le")
        except Exception as e:
            raise AuthError("malformed AUTHENTICATE: %s" % e) from None
        self.user = "%s\\%s" % (domain, user)
        flags = msg["flags"]
        nt = msg["ntlm"]
        if len(nt) <= 24:
            raise AuthError("NTLMv1 or anonymous response refused (NTLMv2 only)")
        if not flags & ntlm.NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY or flags & ~self.flags & NEGOTIABLE:
            raise AuthError("flags 0x%08x differ from the negotiated 0x%08x" % (flags, self.flags))
        want_domain, want_user, password = self.creds
        if user.lower() != want_user.lower() or (want_domain and domain.lower() != want_domain.lower()):
            raise AuthError("unknown user %s" % self.user)
        ntowf = ntlm.NTOWFv2(user, password, domain)
        proof = hmac.new(ntowf, self.server_challenge + nt[16:], hashlib.md5).digest()
        if not hmac.compare_digest(proof, nt[:16]):
            raise AuthError("wrong password for %s" % self.user)
        base_key = hmac.new(ntowf, proof, hashlib.md5).digest()
        if flags & ntlm.NTLMSSP_NEGOTIATE_KEY_EXCH:
            # By its own offset: impacket takes the session key from where the fields would follow each
            # other after byte 64, wrong when VERSION and MIC are there without the VERSION flag (Windows does that).
            key_len, _, key_at = struct.unpack_from("<HHI", data, 52)
            session_key = data[key_at:key_at + key_len]
            if len(session_key) != 16:
                raise AuthError("key exchange without a 16-byte session key")
            exported = ARC4.new(base_key).decrypt(session_key)
        else:
            exported = base_key
        self._check_mic(data, nt, exported)
        self.flags = flags
        self.sign_in = ntlm.SIGNKEY(flags, exported, "Client")
        self.sign_out = ntlm.SIGNKEY(flags, exported, "Server")
        self.seal_in = ARC4.new(ntlm.SEALKEY(flags, exported, "Client")).encrypt
        self.seal_out = ARC4.new(ntlm.SEALKEY(flags, exported, "Server")).encrypt
        self.state = "ok"

    def _check_mic(self, data, nt, exported):
        try:
            av = ntlm.AV_PAIRS(nt[16 + 28:])
        except Exception:
            raise AuthError("malformed NTLMv2 client blob") from None
        if av[ntlm.NTLMSSP_AV_FLAGS] and struct.unpack("<I", av[ntlm.NTLMSSP_AV_FLAGS][1][:4])[0] & AV_FLAGS_MIC:
            zeroed = data[:72] + b"\0" * 16 + data[88:]
            mic = hmac.new(exported, self.negotiate_msg + self.challenge_msg + zeroed, hashlib.md5).digest()
            if not hmac.compare_digest(mic, data[72:88]):
                raise AuthError("MIC does not match")

    def unprotect(self, pdu, body_start, trailer_at):
        """Checks the verifier of a received PDU; returns its stub (still with the auth pad)."""
        body = pdu[body_start:trailer_at]
        if self.level == LEVEL_PRIVACY:
            body = self.seal_in(body)
        signed = pdu[:body_start] + body + pdu[trailer_at:trailer_at + 8]
        want = ntlm.MAC(self.flags, self.seal_in, self.sign_in, self.recv_seq, signed).getData()
        self.recv_seq += 1
        if not hmac.compare_digest(want, pdu[trailer_at + 8:]):
            raise ProtocolError("bad signature or sequence number (expected seq %d)" % (self.recv_seq - 1))
        return body

    def protect(self, head, body, trailer):
        """Seals (privacy) and signs an outgoing PDU whose auth value is still 16 zero bytes."""
        signed = head + body + trailer
        if self.level == LEVEL_PRIVACY:
            body = self.seal_out(body)
        sig = ntlm.MAC(self.flags, self.seal_out, self.sign_out, self.send_seq, signed).getData()
        self.send_seq += 1
        return head + body + trailer + sig


class Call:
    """One reassembled request, as the interface handlers see it."""

    def __init__(self, conn, iid, opnum, obj, stub, level, user):
        self.conn, self.iid, self.opnum, self.object = conn, iid, opnum, obj
        self.stub, self.level, self.user = stub, level, user


class Connection(socketserver.BaseRequestHandler):
    """The PDU loop of one TCP connection. self.server.app is the port's Application."""

    def setup(self):
        self.app = self.server.app
        self.sock = self.request
        self.sock.settimeout(IDLE_TIMEOUT)
        self.id = self.app.next_conn_id()
        self.contexts = {}   # presentation context id -> interface uuid bytes
        self.auth = {}       # auth_context_id -> NtlmContext
        self.max_xmit = self.max_recv = OUR_MAX_FRAG
        self.bound = False
        self.pending = {}    # call_id -> [first header fields, stub parts]

    def log(self, text):
        self.app.log("%s c%d %s" % (self.app.role, self.id, text))

    def recv_exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                if buf:
                    raise ProtocolError("connection closed inside a PDU")
                return None
            buf += chunk
        return bytes(buf)

    def handle(self):
        try:
            while True:
                head = self.recv_exact(16)
                if head is None:
                    break
                ver, minor, ptype, flags, drep, frag_len, auth_len, call_id = struct.unpack("<BBBB4sHHI", head)
                if ver != 5 or minor > 1 or drep[:2] != b"\x10\x00":
                    raise ProtocolError("not a DCE/RPC 5.0 little-endian PDU (%s)" % head.hex())
                limit = self.max_recv if self.bound else 65535
                if frag_len < 16 + (auth_len + 8 if auth_len else 0) or frag_len > limit:
                    raise ProtocolError("fragment length %d (auth %d) out of bounds" % (frag_len, auth_len))
                pdu = head + self.recv_exact(frag_len - 16)
                if ptype in (BIND, ALTER):
                    self.on_bind(pdu, ptype, auth_len, call_id)
                elif ptype == AUTH3:
                    self.on_auth3(pdu, auth_len)
                elif ptype == REQUEST:
                    if not self.on_request(pdu, flags, auth_len, call_id):
                        break
                elif ptype in (CO_CANCEL, ORPHANED):
                    self.log("%s ignored" % ("co_cancel" if ptype == CO_CANCEL else "orphaned"))
                    self.pending.pop(call_id, None)
                else:
                    raise ProtocolError("unexpected PDU type %d" % ptype)
        except ProtocolError as e:
            self.log("closed: %s" % e)
        except socket.timeout:
            self.log("closed: idle for %d s" % IDLE_TIMEOUT)
        except OSError as e:
            self.log("closed: %s" % e)
        except Exception as e:  # a bug of ours must not take the server down
            self.log("closed: internal error %r" % e)
        finally:
            self.app.connection_closed(self)

    def trailer(self, pdu, auth_len):
        """(auth_type, level, pad, ctx_id, offset of the trailer) of a PDU with a verifier."""
        at = len(pdu) - auth_len - 8
        atype, level, pad, _res, ctx_id = struct.unpack_from("<BBBBI", pdu, at)
        if at % 4:
            raise ProtocolError("security trailer is not 4-byte aligned")
        return atype, level, pad, ctx_id, at

    def on_bind(self, pdu, ptype, auth_len, call_id):
        name = "bind" if ptype == BIND else "alter_context"
        if len(pdu) < 28:
            raise ProtocolError("%s too short" % name)
        max_xmit, max_recv, assoc, n_ctx = struct.unpack_from("<HHIB", pdu, 16)
        if ptype == ALTER and not self.bound:
            raise ProtocolError("alter_context before any bind")
        if ptype == BIND:
            if self.bound:
                raise ProtocolError("second bind on one connection")
            if max_xmit < 1024 or max_recv < 1024:
                return self.send_nak(call_id, 0, "fragment sizes %d/%d below 1024" % (max_xmit, max_recv))
            cap = self.app.max_frag
            self.max_xmit, self.max_recv = min(max_recv, cap), min(max_xmit, cap)
            self.assoc = assoc or self.app.next_assoc()
        results, off, names = [], 28, []
        for _ in range(n_ctx):
            if off + 24 > len(pdu):
                raise ProtocolError("%s context list runs past the PDU" % name)
            ctx_id, n_ts = struct.unpack_from("<HB", pdu, off)
            abstract = pdu[off + 4:off + 24]
            syntaxes = [pdu[off + 24 + 20 * i:off + 44 + 20 * i] for i in range(n_ts)]
            off += 24 + 20 * n_ts
            iface = self.app.interfaces.get(abstract[:16])
            if any(s[:8] == BTFN_PREFIX for s in syntaxes):
                results.append(struct.pack("<HH", 3, 0) + b"\0" * 20)
            elif iface is None or abstract[16:] != b"\0\0\0\0":
                results.append(struct.pack("<HH", 2, 1) + b"\0" * 20)
                names.append("%s(refused)" % guid_text(abstract[:16]))
            elif NDR20 not in syntaxes:
                results.append(struct.pack("<HH", 2, 2) + b"\0" * 20)
                names.append("%s(no NDR 2.0)" % iface)
            else:
                results.append(struct.pack("<HH", 0, 0) + NDR20)
                self.contexts[ctx_id] = abstract[:16]
                names.append(iface)
        auth_out, level_text = b"", ""
        if auth_len:
            atype, level, _pad, ctx_id, at = self.trailer(pdu, auth_len)
            if atype != AUTHN_WINNT:
                return self.send_nak(call_id, 8, "authentication type %d (only NTLMSSP, 10)" % atype)
            if not LEVEL_CONNECT <= level <= LEVEL_PRIVACY:
                return self.send_nak(call_id, 8, "authentication level %d" % level)
            ctx = NtlmContext(self.app.creds, level)
            try:
                token = ctx.challenge(pdu[at + 8:])
            except AuthError as e:
                return self.send_nak(call_id, 0, str(e))
            self.auth[ctx_id] = ctx
            auth_out = struct.pack("<BBBBI", AUTHN_WINNT, level, 0, 0, ctx_id) + token
            level_text = " level=%d" % level
        self.bound = True
        self.log("%s %s%s max_frag=%d/%d" % (name, ",".join(names) or "-", level_text, self.max_xmit, self.max_recv))
        if ptype == BIND:
            port = (str(self.app.port) + "\0").encode()
            body = struct.pack("<HHIH", self.max_xmit, self.max_recv, self.assoc, len(port)) + port
        else:
            body = struct.pack("<HHIH", self.max_xmit, self.max_recv, self.assoc, 0)
        body += b"\0" * (-(16 + len(body)) % 4)
        body += struct.pack("<BBH", len(results), 0, 0) + b"".join(results)
        self.send_pdu(BIND_ACK if ptype == BIND else ALTER_RESP, PFC_FIRST | PFC_LAST, call_id, body, auth_out)
        if self.app.garbage_after_bind:
            self.log("fault: garbage after %s" % name)
            self.sock.sendall(b"\x17\x03\x01garbage that is no PDU" + os.urandom(40))

    def send_nak(self, call_id, reason, why):
        self.log("bind_nak reason=%d: %s" % (reason, why))
        self.send_pdu(BIND_NAK, PFC_FIRST | PFC_LAST, call_id, struct.pack("<HB", reason, 1) + b"\x05\x00")

    def on_auth3(self, pdu, auth_len):
        if not auth_len:
            raise ProtocolError("auth3 without a verifier")
        _t, _level, _pad, ctx_id, at = self.trailer(pdu, auth_len)
        ctx = self.auth.get(ctx_id)
        if ctx is None or ctx.state != "challenged":
            raise ProtocolError("auth3 for auth context %d, which has no challenge out" % ctx_id)
        try:
            ctx.authenticate(pdu[at + 8:])
            self.log("auth3 ok user=%s level=%d" % (ctx.user, ctx.level))
        except AuthError as e:
            ctx.state = "failed"
            self.log("auth3 refused: %s" % e)

    def on_request(self, pdu, flags, auth_len, call_id):
        """Returns False when the connection must end."""
        alloc_hint, ctx_id, opnum = struct.unpack_from("<IHH", pdu, 16)
        body_start = 24 + (16 if flags & PFC_OBJECT else 0)
        obj = pdu[24:40] if flags & PFC_OBJECT else None
        level, user = 1, ""
        if auth_len:
            atype, level, pad, actx_id, at = self.trailer(pdu, auth_len)
            ctx = self.auth.get(actx_id)
            if ctx is not None and ctx.state == "failed":
                return self.refuse(call_id, ctx_id, "request on a refused login (%s)" % ctx.user)
            if ctx is None or ctx.state != "ok" or atype != AUTHN_WINNT or level != ctx.level:
                raise ProtocolError("request with auth context %d level %d that was not established" % (actx_id, level))
            if at < body_start or pad > at - body_start:
                raise ProtocolError("auth pad %d larger than the stub" % pad)
            if level >= LEVEL_INTEGRITY:
                if auth_len != 16:
                    raise ProtocolError("NTLM verifier of %d bytes" % auth_len)
                stub = ctx.unprotect(pdu, body_start, at)
            else:
                stub = pdu[body_start:at]
            stub = stub[:len(stub) - pad]
            user = ctx.user
        else:
            if any(c.state == "failed" for c in self.auth.values()):
                return self.refuse(call_id, ctx_id, "request on a refused login")
            if any(c.level >= LEVEL_INTEGRITY and c.state == "ok" for c in self.auth.values()):
                raise ProtocolError("unsigned request on a connection that negotiated integrity")
            connect = [c for c in self.auth.values() if c.state == "ok"]
            level, user = (LEVEL_CONNECT, connect[0].user) if connect else (1, "")
            stub = pdu[body_start:]
        if flags & PFC_FIRST:
            if call_id in self.pending:
                raise ProtocolError("call %d started twice" % call_id)
            self.pending[call_id] = [(ctx_id, opnum, obj), []]
        elif call_id not in self.pending:
            raise ProtocolError("fragment of call %d without its first fragment" % call_id)
        entry = self.pending[call_id]
        entry[1].append(stub)
        if sum(len(s) for s in entry[1]) > MAX_CALL:
            raise ProtocolError("call %d is larger than %d bytes" % (call_id, MAX_CALL))
        if not flags & PFC_LAST:
            return True
        del self.pending[call_id]
        (ctx_id, opnum, obj), parts = entry
        iid = self.contexts.get(ctx_id)
        if iid is None:
            self.send_fault(call_id, ctx_id, STATUS_UNK_IF, did_not_execute=True)
            self.log("fault: presentation context %d was never accepted" % ctx_id)
            return True
        call = Call(self, iid, opnum, obj, b"".join(parts), level, user)
        return self.app.dispatch(self, call, call_id, ctx_id, auth_ctx=self.auth_for(auth_len, pdu))

    def auth_for(self, auth_len, pdu):
        """The context that signs the answer: the one that signed the request."""
        if not auth_len:
            return None
        ctx_id = self.trailer(pdu, auth_len)[3]
        ctx = self.auth[ctx_id]
        return (ctx_id, ctx) if ctx.level >= LEVEL_INTEGRITY else None

    def refuse(self, call_id, ctx_id, why):
        self.log("fault 0x%08x: %s" % (STATUS_ACCESS_DENIED, why))
        self.send_fault(call_id, ctx_id, STATUS_ACCESS_DENIED, did_not_execute=True)
        return False

    def send_pdu(self, ptype, flags, call_id, body, auth=b""):
        frag_len = 16 + len(body) + len(auth)
        auth_len = len(auth) - 8 if auth else 0
        self.sock.sendall(struct.pack("<BBBB4sHHI", 5, 0, ptype, flags, b"\x10\0\0\0", frag_len, auth_len, call_id)
                          + body + auth)

    def send_fault(self, call_id, ctx_id, status, did_not_execute=False):
        # Faults go out without a verifier, so they do not move the sequence numbers.
        flags = PFC_FIRST | PFC_LAST | (PFC_DID_NOT_EXECUTE if did_not_execute else 0)
        self.send_pdu(FAULT, flags, call_id, struct.pack("<IHBBII", 0, ctx_id, 0, 0, status, 0))

    def response_fragments(self, call_id, ctx_id, stub, auth_ctx):
        """The response PDUs of one answer, each within the peer's max receive fragment."""
        overhead = 24 + (8 + 16 if auth_ctx else 0)
        room = (self.max_xmit - overhead) & ~15
        chunks = [stub[i:i + room] for i in range(0, len(stub), room)] or [b""]
        out = []
        for i, chunk in enumerate(chunks):
            flags = (PFC_FIRST if i == 0 else 0) | (PFC_LAST if i == len(chunks) - 1 else 0)
            hint = len(stub) - i * room
            pad = -len(chunk) % 16 if auth_ctx else 0
            body = chunk + b"\0" * pad
            frag_len = 24 + len(body) + (24 if auth_ctx else 0)
            head = struct.pack("<BBBB4sHHIIHBB", 5, 0, RESPONSE, flags, b"\x10\0\0\0", frag_len,
                               16 if auth_ctx else 0, call_id, hint, ctx_id, 0, 0)
            if auth_ctx:
                actx_id, ctx = auth_ctx
                trailer = struct.pack("<BBBBI", AUTHN_WINNT, ctx.level, pad, 0, actx_id)
                out.append(ctx.protect(head, body, trailer))
            else:
                out.append(head + body)
        return out


class Listener(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, app, port=0):
        super().__init__(("127.0.0.1", port), Connection)
        self.app = app
        app.port = self.server_address[1]
        self.thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
