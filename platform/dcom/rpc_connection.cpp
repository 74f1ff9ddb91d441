#include "platform/dcom/rpc_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dcom/errors.h"
#include "platform/dcom/exporter_listener.h"
#include "platform/dcom/rpc_answer.h"

namespace vexa32::dcom {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kSignature = rpc::kSignatureSize;
constexpr std::size_t kRequestPrefix = 8, kObjectSize = 16;
constexpr std::uint32_t kProtoError = 0x1C01000B;
constexpr std::uint32_t kSecurityContext = 0;  // the one auth_context_id of a connection

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::string millis(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

// Connects without blocking longer than the deadline; -1 with errno set otherwise.
int connect_within(const std::string& host, std::uint16_t port, Clock::time_point deadline, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
    why = std::string("the name cannot be resolved: ") + ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      why = std::strerror(errno);
      ::close(fd);
      fd = -1;
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, remaining_ms(deadline)) != 1) {
      why = "no answer";
      ::close(fd);
      fd = -1;
    } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      why = std::strerror(error);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd >= 0) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

}  // namespace

void check_reachable(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout) {
  std::string why;
  const int fd = connect_within(host, port, Clock::now() + timeout, why);
  if (fd < 0) {
    const std::string where =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    throw DcomError(status::RPC_S_SERVER_UNAVAILABLE,
                    "the RPC server " + where + " is unavailable: " + why + " (within " + millis(timeout) + ")");
  }
  ::close(fd);
}

RpcConnection::RpcConnection(std::string host, std::uint16_t port, const InterfaceInfo& interface,
                             NtlmCredentials credentials, RpcOptions options)
    : host_(std::move(host)), port_(port), credentials_(std::move(credentials)), options_(options) {
  if (options_.level != rpc::AuthLevel::Privacy && options_.level != rpc::AuthLevel::Integrity)
    throw DcomError(status::E_ACCESSDENIED, "a DCOM connection is made at packet integrity or privacy only");
  std::string why;
  fd_ = connect_within(host_, port_, Clock::now() + options_.connect_timeout, why);
  if (fd_ < 0)
    throw DcomError(status::RPC_S_SERVER_UNAVAILABLE, "the RPC server " + where() + " is unavailable: " + why +
                                                          " (within " + millis(options_.connect_timeout) + ")");
  try {
    std::lock_guard lock(mutex_);
    bind(interface, false);
  } catch (...) {
    close();
    throw;
  }
}

RpcConnection::~RpcConnection() { close(); }

std::string RpcConnection::where() const {
  return (host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

bool RpcConnection::usable() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

void RpcConnection::close() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RpcConnection::fail(std::uint32_t hresult, const std::string& why) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  throw DcomError(hresult, why);
}

void RpcConnection::send_all(std::string_view bytes, Clock::time_point deadline, const char* step) {
  while (!bytes.empty()) {
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) != 1)
      fail(status::RPC_S_CALL_TIMEOUT,
           std::string(step) + ": " + where() + " takes nothing within " + millis(options_.call_timeout));
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (sent <= 0)
      fail(status::RPC_E_DISCONNECTED,
           std::string(step) + ": the connection to " + where() + " was lost: " + std::strerror(errno));
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

rpc::Pdu RpcConnection::receive(Clock::time_point deadline, const char* step) {
  std::string bytes;
  auto read = [&](std::size_t total) {
    while (bytes.size() < total) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, remaining_ms(deadline)) != 1)
        fail(status::RPC_S_CALL_TIMEOUT,
             std::string(step) + ": no answer from " + where() + " within " + millis(options_.call_timeout));
      char buffer[8192];
      const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, total - bytes.size()), 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0) fail(status::RPC_E_DISCONNECTED, std::string(step) + ": " + where() + " closed the connection");
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
  };
  try {
    read(rpc::kHeaderSize);
    const rpc::Header h = rpc::parse_header(bytes, max_receive_ ? max_receive_ : 0xFFFF);
    read(h.frag_length);
    return rpc::split_pdu(std::move(bytes), max_receive_ ? max_receive_ : 0xFFFF);
  } catch (const DcomError& e) {
    if (e.hresult() == status::RPC_S_PROTOCOL_ERROR)
      fail(e.hresult(), std::string(step) + ": " + where() + ": " + e.what());
    throw;
  }
}

void RpcConnection::bind(const InterfaceInfo& interface, bool alter) {
  const char* step = alter ? "alter_context" : "bind";
  const auto deadline = Clock::now() + options_.call_timeout;
  const auto context_id = static_cast<std::uint16_t>(contexts_.size());
  rpc::BindRequest request;
  request.max_xmit = request.max_recv = options_.max_fragment;
  request.assoc_group = assoc_group_;
  request.context_id = context_id;
  request.interface = {interface.iid, interface.major, interface.minor};
  rpc::SecurityTrailer trailer;
  trailer.level = options_.level;
  trailer.context_id = kSecurityContext;
  rpc::Header header;
  header.type = alter ? rpc::PduType::AlterContext : rpc::PduType::Bind;
  header.call_id = next_call_++;
  // The login happens once, with the bind; a further interface reuses its security context, so
  // one RC4 stream runs each way on the connection (as Windows and the dissectors expect).
  if (!alter) {
    NtlmOptions ntlm;
    ntlm.privacy = options_.level == rpc::AuthLevel::Privacy;
    security_ = std::make_unique<NtlmContext>(credentials_, ntlm);
    send_all(rpc::build_pdu(header, rpc::bind_body(request), trailer, security_->negotiate()), deadline, step);
  } else {
    send_all(rpc::build_pdu(header, rpc::bind_body(request), std::nullopt, {}), deadline, step);
  }

  rpc::Pdu answer = receive(deadline, step);
  if (answer.header.call_id != header.call_id)
    fail(status::RPC_S_PROTOCOL_ERROR, std::string(step) + ": " + where() + " answered another call");
  if (answer.header.type == rpc::PduType::BindNak)
    fail(status::E_ACCESSDENIED, std::string(step) + ": " + where() + " refused the connection (reason " +
                                     std::to_string(rpc::parse_bind_nak(answer.body())) + ")");
  if (answer.header.type == rpc::PduType::Fault)
    fail(rpc::fault_hresult(rpc::fault_status(answer.body())), std::string(step) + ": " + where() +
                                                                   " answered with the fault " +
                                                                   rpc::fault_name(rpc::fault_status(answer.body())));
  const auto expected = alter ? rpc::PduType::AlterContextResp : rpc::PduType::BindAck;
  if (answer.header.type != expected)
    fail(status::RPC_S_PROTOCOL_ERROR, std::string(step) + ": " + where() + " answered with something else");
  rpc::BindResult result;
  try {
    result = rpc::parse_bind_ack(answer.body());
  } catch (const DcomError& e) {
    fail(e.hresult(), std::string(step) + ": " + where() + ": " + e.what());
  }
  if (result.result != 0)
    fail(status::E_NOINTERFACE, std::string(step) + ": " + where() + " does not offer " + std::string(interface.name) +
                                    " " + format_guid(interface.iid) + " (reason " + std::to_string(result.reason) +
                                    ")");
  if (!alter) {
    if (!answer.trailer || answer.trailer->type != rpc::kAuthNtlm || answer.header.auth_length == 0)
      fail(status::E_ACCESSDENIED, std::string(step) + ": " + where() + " answered without an NTLM challenge");
    max_send_ = std::min(options_.max_fragment, result.max_recv);
    max_receive_ = std::max(options_.max_fragment, result.max_xmit);
    assoc_group_ = result.assoc_group;
    std::string authenticate;
    try {
      authenticate = security_->authenticate(answer.auth_value());
    } catch (const DcomError& e) {
      fail(e.hresult(), std::string(step) + ": the login to " + where() + " cannot go on: " + e.what());
    }
    rpc::Header auth3;
    auth3.type = rpc::PduType::Auth3;
    auth3.call_id = header.call_id;
    send_all(rpc::build_pdu(auth3, std::string(4, '\0'), trailer, authenticate), deadline, step);
  }
  contexts_.emplace(interface.iid, Context{context_id});
}

RpcConnection::Context& RpcConnection::context_for(const InterfaceInfo& interface) {
  auto it = contexts_.find(interface.iid);
  if (it != contexts_.end()) return it->second;
  bind(interface, true);
  return contexts_.at(interface.iid);
}

std::string RpcConnection::call(const InterfaceInfo& interface, std::uint16_t opnum, std::string_view stub,
                                const std::optional<Guid>& object) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) throw DcomError(status::RPC_E_DISCONNECTED, "the connection to " + where() + " is closed");
  Context& context = context_for(interface);
  const auto deadline = Clock::now() + options_.call_timeout;
  const std::uint32_t call_id = next_call_++;
  rpc::SecurityTrailer trailer;
  trailer.level = options_.level;
  trailer.context_id = kSecurityContext;
  const std::size_t prefix = kRequestPrefix + (object ? kObjectSize : 0);
  const std::size_t overhead = rpc::kHeaderSize + prefix + rpc::kTrailerSize + kSignature;
  if (max_send_ <= overhead + 16) fail(status::RPC_S_PROTOCOL_ERROR, "the fragments of " + where() + " are too small");
  const std::size_t room = (max_send_ - overhead) / 16 * 16;
  std::size_t offset = 0;
  do {
    const std::string_view part = stub.substr(offset, room);
    rpc::Header h;
    h.type = rpc::PduType::Request;
    h.call_id = call_id;
    h.flags = static_cast<std::uint8_t>((offset == 0 ? rpc::kFirstFrag : 0) |
                                        (offset + part.size() >= stub.size() ? rpc::kLastFrag : 0) |
                                        (object ? rpc::kObjectUuid : 0));
    std::string body = rpc::request_prefix(static_cast<std::uint32_t>(stub.size() - offset), context.id, opnum, object);
    body.append(part);
    std::string pdu = rpc::build_pdu(h, body, trailer, std::string(kSignature, '\0'), 16, prefix);
    rpc::protect(pdu, *security_, options_.level, rpc::kHeaderSize + prefix);
    send_all(pdu, deadline, "call");
    offset += part.size();
  } while (offset < stub.size());

  rpc::AnswerAssembler answer(*security_, options_.level, kSecurityContext, options_.max_answer);
  for (;;) {
    rpc::Pdu pdu = receive(deadline, "call");
    const rpc::Header& h = pdu.header;
    if (h.call_id != call_id) fail(status::RPC_S_PROTOCOL_ERROR, "call: " + where() + " answered another call");
    if (h.type == rpc::PduType::Fault) {
      const std::uint32_t fault = rpc::fault_status(pdu.body());
      std::string why = "call: " + where() + " answered with the fault " + rpc::fault_name(fault);
      // A refused login shows at the first call, since NTLM's last message gets no answer:
      // Windows says access denied, Samba a protocol error.
      if (rpc::fault_hresult(fault) == status::E_ACCESSDENIED || (fault == kProtoError && context.calls == 0))
        why = "access denied to " + credentials_.domain + "\\" + credentials_.user + " at " + where() + " (" +
              rpc::fault_name(fault) + ")";
      // A fault that carries a verifier moved the server's streams on in a way we do not follow;
      // after a refused login nothing more will pass either.
      const std::uint32_t hresult =
          fault == kProtoError && context.calls == 0 ? status::E_ACCESSDENIED : rpc::fault_hresult(fault);
      if (h.auth_length || hresult == status::E_ACCESSDENIED) fail(hresult, why);
      ++context.calls;
      throw DcomError(hresult, why);
    }
    if (h.type != rpc::PduType::Response)
      fail(status::RPC_S_PROTOCOL_ERROR, "call: " + where() + " answered with something else");
    std::optional<std::string> whole;
    try {
      whole = answer.add(pdu);
    } catch (const DcomError& e) {
      fail(e.hresult(), "call: " + where() + ": " + e.what());
    }
    if (whole) {
      ++context.calls;
      return std::move(*whole);
    }
  }
}

std::string RpcConnection::local_address() const { return fd_ < 0 ? std::string() : local_address_of(fd_); }
std::string RpcConnection::peer_address() const { return fd_ < 0 ? std::string() : peer_address_of(fd_); }

}  // namespace vexa32::dcom
