#include "platform/dcom/exporter_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

std::string address_text(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  } else if (a.ss_family == AF_INET6) {
    const auto& six = reinterpret_cast<const sockaddr_in6&>(a);
    // An IPv4 caller on a dual-stack socket is its IPv4 address.
    if (IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) {
      ::inet_ntop(AF_INET, six.sin6_addr.s6_addr + 12, text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
    }
  }
  return text;
}

void send_all(int fd, std::string_view bytes) {
  // A caller that does not read its answers is closed; the listener thread never blocks on one.
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 5000) == 1) continue;
    }
    throw DcomError(status::RPC_S_CALL_FAILED, "a caller does not take its answer");
  }
}

}  // namespace

std::pair<std::uint16_t, std::uint16_t> parse_port_range(const std::string& text) {
  auto number = [&](const std::string& part) {
    if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos)
      throw DcomError(status::E_INVALIDARG, "\"" + text + "\" is no port or port range (e.g. 49500-49510)");
    const long v = std::stol(part);
    if (v < 1 || v > 65535) throw DcomError(status::E_INVALIDARG, "port " + part + " is outside 1 to 65535");
    return static_cast<std::uint16_t>(v);
  };
  const auto dash = text.find('-');
  const std::uint16_t first = number(text.substr(0, dash));
  const std::uint16_t last = dash == std::string::npos ? first : number(text.substr(dash + 1));
  if (last < first) throw DcomError(status::E_INVALIDARG, "the port range \"" + text + "\" runs backwards");
  return {first, last};
}

std::string local_address_of(int fd) {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return {};
  return address_text(a);
}

std::string peer_address_of(int fd) {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return {};
  return address_text(a);
}

ExporterListener::ExporterListener(ObjectExporter& exporter, ListenerOptions options)
    : exporter_(exporter), options_(std::move(options)) {
  std::uint16_t first = 0, last = 0;
  if (!options_.ports.empty()) std::tie(first, last) = parse_port_range(options_.ports);
  listen_fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool six = listen_fd_ >= 0;
  if (six) {
    const int no = 0;
    ::setsockopt(listen_fd_, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);  // IPv4 callers too
  } else {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  }
  if (listen_fd_ < 0) throw DcomError(status::E_FAIL, std::string("no socket for callbacks: ") + std::strerror(errno));
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool bound = false;
  for (std::uint32_t port = first; port <= last && !bound; ++port) {
    sockaddr_storage a{};
    socklen_t length = 0;
    if (six) {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = in6addr_any;
      in6.sin6_port = htons(static_cast<std::uint16_t>(port));
      length = sizeof in6;
    } else {
      auto& in4 = reinterpret_cast<sockaddr_in&>(a);
      in4.sin_family = AF_INET;
      in4.sin_addr.s_addr = htonl(INADDR_ANY);
      in4.sin_port = htons(static_cast<std::uint16_t>(port));
      length = sizeof in4;
    }
    bound = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), length) == 0;
  }
  if (!bound || ::listen(listen_fd_, 16) != 0) {
    const std::string why = std::strerror(errno);
    ::close(listen_fd_);
    throw DcomError(
        status::E_FAIL,
        "no port for callbacks" + (options_.ports.empty() ? std::string() : " in " + options_.ports) + ": " + why);
  }
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &length);
  port_ = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(a).sin6_port
                                        : reinterpret_cast<sockaddr_in&>(a).sin_port);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(listen_fd_);
    throw DcomError(status::E_FAIL, std::string("no pipe for the callback listener: ") + std::strerror(errno));
  }
  thread_ = std::thread([this] { run(); });
}

ExporterListener::~ExporterListener() {
  const char stop = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &stop, 1);
  if (thread_.joinable()) thread_.join();
  ::close(listen_fd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

std::string ExporterListener::binding(const std::string& address) const {
  const bool six = address.find(':') != std::string::npos;
  return (six ? "[" + address + "]" : address) + "[" + std::to_string(port_) + "]";
}

std::string ExporterListener::where(const std::string& address) const {
  const bool six = address.find(':') != std::string::npos;
  return (six ? "[" + address + "]" : address) + ":" + std::to_string(port_);
}

void ExporterListener::run() {
  struct Caller {
    std::unique_ptr<ExporterSession> session;
  };
  std::map<int, Caller> callers;
  std::vector<pollfd> fds;
  // A server's call back with thousands of items is tens of kilobytes: taken in few reads.
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    for (const auto& [fd, caller] : callers) fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0 && callers.size() >= options_.max_callers) {
        ::close(fd);
      } else if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Our binding as this caller reached it, for the resolver's answers.
        const std::string binding = this->binding(local_address_of(fd));
        callers[fd].session =
            std::make_unique<ExporterSession>(exporter_, address_text(peer), binding, options_.limits);
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const int fd = fds[i].fd;
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      bool done = n <= 0;
      if (!done) {
        ExporterSession& session = *callers[fd].session;
        try {
          const std::string out = session.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
          if (!out.empty()) send_all(fd, out);
        } catch (const DcomError&) {
          done = true;
        }
        done = done || session.closed();
      }
      if (done) {
        ::close(fd);
        callers.erase(fd);
      }
    }
  }
  for (const auto& [fd, caller] : callers) ::close(fd);
}

}  // namespace vexa32::dcom
