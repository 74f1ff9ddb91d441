#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "ua_fixture.h"

namespace vexa32::testing {

TcpProxy::TcpProxy(int target_port) : target_(target_port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0)
    throw std::runtime_error("the proxy cannot listen");
  socklen_t len = sizeof a;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void TcpProxy::run() {
  struct Pair {
    int client, server;
  };
  std::vector<Pair> pairs;
  int cuts_done = 0;
  auto close_all = [&] {
    for (auto& p : pairs) {
      ::close(p.client);
      ::close(p.server);
    }
    pairs.clear();
  };
  while (!stop_) {
    if (cut_requests_ != cuts_done) {
      cuts_done = cut_requests_;
      close_all();
    }
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    for (auto& p : pairs) {
      fds.push_back({p.client, POLLIN, 0});
      fds.push_back({p.server, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int c = ::accept(listener_, nullptr, nullptr);
      ++attempts_;
      if (refusing_) {
        if (c >= 0) ::close(c);
        continue;
      }
      int s = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<std::uint16_t>(target_));
      if (c >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        pairs.push_back({c, s});
        ++connections_;
      } else {
        if (c >= 0) ::close(c);
        ::close(s);
      }
      continue;  // the pair list changed under the poll set
    }
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      for (int side = 0; side < 2; ++side) {
        const pollfd& f = fds[1 + i * 2 + static_cast<std::size_t>(side)];
        if (!(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[65536];
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        int to = side == 0 ? pairs[i].server : pairs[i].client;
        if (side == 1 && n > 40 && flip_.exchange(false)) buf[n - 10] ^= 0x01;
        if (side == 1 && n > 1 && mid_message_.exchange(false)) {
          ::send(to, buf, static_cast<std::size_t>(n / 2), MSG_NOSIGNAL);
          close_all();
          goto next_round;
        }
        if (n <= 0 || ::send(to, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
          ::close(pairs[i].client);
          ::close(pairs[i].server);
          pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
          goto next_round;
        }
      }
    }
  next_round:;
  }
  close_all();
}

}  // namespace vexa32::testing
