#pragma once
// Where servers call our object exporter: a TCP port on every interface, served by one thread
// that polls the port and every caller's connection and runs a session for each. The port is a
// free one, or one of `ports` ("49500" or "49500-49510", for a firewall that lets only those in).
// The address servers are told is not this machine's name (127.0.1.1 on many Debian machines)
// but the local address of the connection that reached the server, or the one given for NAT.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/dcom/exporter.h"

namespace vexa32::dcom {

struct ListenerOptions {
  std::string ports;             // empty: a free port
  std::size_t max_callers = 64;  // connections at once; more are closed at once
  ExporterLimits limits;
};

class ExporterListener {
 public:
  // DcomError (E_FAIL, naming the ports) when no port can be had; E_INVALIDARG for ports that
  // do not parse.
  ExporterListener(ObjectExporter& exporter, ListenerOptions options = {});
  ~ExporterListener();
  ExporterListener(const ExporterListener&) = delete;
  ExporterListener& operator=(const ExporterListener&) = delete;

  std::uint16_t port() const { return port_; }
  // The string binding a server is given: "address[port]".
  std::string binding(const std::string& address) const;
  // The same as people write it: "address:port" ("[v6]:port").
  std::string where(const std::string& address) const;

 private:
  void run();

  ObjectExporter& exporter_;
  ListenerOptions options_;
  int listen_fd_ = -1, wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// "49500" or "49500-49510" as the first and last port; DcomError E_INVALIDARG otherwise.
std::pair<std::uint16_t, std::uint16_t> parse_port_range(const std::string& text);

// The local address of a connected socket, as text for a string binding (IPv6 in brackets are
// the binding's business: this gives the bare address).
std::string local_address_of(int fd);
std::string peer_address_of(int fd);

}  // namespace vexa32::dcom
