#include "platform/opcua/client.h"

#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <deque>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "platform/opcua/endpoint_choice.h"
#include "platform/opcua/secure_channel.h"

namespace vexa32::opcua {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

// The process's one I/O thread. It lives as long as the process: a connection's last handler
// may run on it, so it is never joined from one of its own handlers.
class IoThread {
 public:
  static asio::io_context& context() {
    static IoThread* instance = new IoThread();
    return instance->io_;
  }

 private:
  IoThread() : guard_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {
    crypto::initialize();
    thread_.detach();
  }
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

std::atomic<std::uint64_t> g_answers{0}, g_notifications{0}, g_gaps{0};

std::mutex g_record_mutex;
std::string g_record_dir;
std::atomic<unsigned> g_record_count{0};

void record(const std::string& stem, std::string_view bytes) {
  std::string dir;
  {
    std::lock_guard lock(g_record_mutex);
    dir = g_record_dir;
  }
  if (dir.empty()) return;
  std::ofstream out(dir + "/" + stem + "-" + std::to_string(g_record_count++), std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void record_chunk(std::string_view chunk) { record("chunk", chunk); }

struct Outcome {
  StatusCode status = status::Good;
  std::string message;
  std::string body;
};

const char* mode_name(std::int32_t mode) {
  switch (mode) {
    case 1: return "None";
    case 2: return "Sign";
    case 3: return "SignAndEncrypt";
    default: return "unknown mode";
  }
}

}  // namespace

const UserTokenPolicy* choose_anonymous_none(const std::vector<EndpointDescription>& endpoints,
                                             const std::string& url) {
  std::string offered;
  for (const auto& e : endpoints) {
    std::string name = policy_name(e.security_policy_uri) + "/" + mode_name(e.security_mode);
    if (offered.find(name) == std::string::npos) offered += (offered.empty() ? "" : ", ") + name;
  }
  for (const auto& e : endpoints) {
    if (e.security_policy_uri != kSecurityPolicyNoneUri || e.security_mode != 1) continue;
    for (const auto& t : e.user_identity_tokens) {
      if (t.token_type == 0) return &t;
    }
  }
  throw UaError(status::BadSecurityPolicyRejected,
                url + " offers no endpoint with SecurityPolicy None and anonymous login; it offers " +
                    (offered.empty() ? std::string("no endpoint at all") : offered));
}

bool UaError::connection_lost() const noexcept {
  switch (code_) {
    case status::BadConnectionClosed:
    case status::BadTimeout:
    case status::BadRequestTimeout:
    case status::BadSecureChannelClosed:
    case status::BadCommunicationError:
    case status::BadTcpInternalError:
    case status::BadTcpMessageTooLarge:
    case status::BadSequenceNumberInvalid:
    case status::BadTcpSecureChannelUnknown:
    case status::BadSecureChannelIdInvalid:
    case status::BadSessionIdInvalid:
    case status::BadSessionClosed:
    case status::BadDecodingError:
    case status::BadNoCommunication: return true;
    default: return false;
  }
}

std::optional<EndpointAddress> parse_endpoint_url(const std::string& url) {
  constexpr std::string_view scheme = "opc.tcp://";
  if (url.size() <= scheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return std::nullopt;
  }
  std::string rest = url.substr(scheme.size());
  rest = rest.substr(0, rest.find('/'));
  EndpointAddress a;
  if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
    auto close = rest.find(']');
    if (close == std::string::npos) return std::nullopt;
    a.host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return std::nullopt;
    a.port = rest.empty() ? "4840" : rest.substr(1);
  } else {
    auto colon = rest.rfind(':');
    a.host = rest.substr(0, colon);
    a.port = colon == std::string::npos ? "4840" : rest.substr(colon + 1);
  }
  if (a.host.empty() || a.port.empty() || a.port.size() > 5) return std::nullopt;
  for (char c : a.port) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  if (std::stoi(a.port) > 65535 || std::stoi(a.port) == 0) return std::nullopt;
  return a;
}

struct Client::Impl : std::enable_shared_from_this<Impl> {
  using Done = std::function<void(Outcome)>;

  Impl(std::string u, const ClientOptions& o)
      : io(IoThread::context()),
        socket(io),
        resolver(io),
        connect_timer(io),
        renew_timer(io),
        keep_alive_timer(io),
        url(std::move(u)),
        options(o),
        channel(o.security),
        assembler(o.buffers, o.decode) {
    assembler.set_policy_uri(std::string(channel.secure() ? o.security.policy->uri : kSecurityPolicyNoneUri));
  }

  asio::io_context& io;
  tcp::socket socket;
  tcp::resolver resolver;
  asio::steady_timer connect_timer, renew_timer, keep_alive_timer;
  std::string url;
  ClientOptions options;
  Negotiated negotiated;
  SecureChannel channel;
  MessageAssembler assembler;
  std::uint32_t channel_id = 0, token_id = 0, sequence = 0, next_request = 0;
  struct Pending {
    Done done;
    std::unique_ptr<asio::steady_timer> timer;
    bool open_response = false;
  };
  std::map<std::uint32_t, Pending> pending;
  std::deque<std::string> write_queue;
  bool writing = false;
  bool closing = false;
  bool channel_open = false;
  std::string header_buf = std::string(kHeaderSize, '\0');
  std::string chunk;
  Done on_connected;

  mutable std::mutex mutex;  // guards what the callers' threads read
  std::string failure;
  NodeId authentication_token;
  std::atomic<std::uint32_t> handles{0};
  std::atomic<int> renewals{0};

  Client::PublishHandler publish_handler;                   // I/O thread only
  std::function<void(const std::string&)> failure_handler;  // I/O thread only
  std::vector<Acknowledgement> acknowledgements;
  std::map<std::uint32_t, std::uint32_t> last_sequence;  // by subscription
  int publish_target = 0, publish_outstanding = 0;
  std::chrono::milliseconds publish_timeout{60000};
  std::atomic<std::uint64_t> publish_answers{0}, sequence_gaps{0};

  // A server that stops answering Publish (not even with keep-alives) is gone: noticed within its
  // keep-alive time and a second.
  asio::steady_timer publish_watchdog{io};
  std::chrono::steady_clock::time_point last_publish_answer = std::chrono::steady_clock::now();
  std::chrono::milliseconds publish_keep_alive{0};
  bool watching = false;

  void watch_publishing() {
    if (watching) return;
    last_publish_answer = std::chrono::steady_clock::now();
    arm_publish_watchdog();
  }
  void arm_publish_watchdog() {
    watching = true;
    publish_watchdog.expires_after(std::chrono::milliseconds(250));
    publish_watchdog.async_wait([self = shared_from_this()](std::error_code ec) {
      self->watching = false;
      if (ec || !self->channel_open || self->closing || self->publish_target == 0) return;
      auto silent = std::chrono::steady_clock::now() - self->last_publish_answer;
      if (silent > self->publish_keep_alive + std::chrono::seconds(1))
        return self->fail(status::BadTimeout, "no Publish answer or keep-alive from " + self->url + " within " +
                                                  std::to_string(self->publish_keep_alive.count() + 1000) + " ms");
      self->arm_publish_watchdog();
    });
  }

  void publish_more() {
    while (publish_outstanding < publish_target && channel_open && !closing) send_publish();
  }

  void send_publish() {
    PublishRequest request;
    request.header = header(publish_timeout);
    request.acknowledgements = std::move(acknowledgements);
    acknowledgements.clear();
    Writer w;
    encode(w, NodeId(0, encoding_id::PublishRequest));
    encode(w, request);
    ++publish_outstanding;
    send("MSG", w.take(), publish_timeout, [self = shared_from_this()](Outcome o) {
      --self->publish_outstanding;
      self->on_publish(std::move(o));
    });
  }

  void on_publish(Outcome o) {
    if (o.status == status::BadTimeout) return fail(o.status, "the server stopped publishing: " + o.message);
    if (o.status != status::Good) return;  // the connection is going; fail() has said why
    try {
      // The data changes point into the answer's bytes, which travel with them.
      auto bytes = std::make_shared<const std::string>(std::move(o.body));
      Reader r(*bytes, options.decode);
      auto type = read_service_type(r).type;
      if (type == encoding_id::ServiceFault) {
        auto h = decode_as<ResponseHeader>(r);
        StatusCode code = h.service_result & 0xFFFF0000u;
        if (code == 0x80780000u) {  // too many Publish requests: keep one fewer
          publish_target = std::max(1, publish_target - 1);
        } else if (code == 0x80790000u) {  // no subscription left
          publish_target = 0;
        }
        return publish_more();
      }
      if (type != encoding_id::PublishResponse) throw DecodeError("the answer is not a Publish response");
      PublishResponse response;
      decode(r, response);
      response.bytes = std::move(bytes);
      ++publish_answers;
      ++g_answers;
      g_notifications += response.data_changes.size();
      last_publish_answer = std::chrono::steady_clock::now();
      if (!response.keep_alive) {
        acknowledgements.push_back({response.subscription_id, response.sequence_number});
        auto [it, first] = last_sequence.emplace(response.subscription_id, response.sequence_number);
        if (!first) {
          if (response.sequence_number != next_sequence(it->second)) {
            ++sequence_gaps;
            ++g_gaps;
          }
          it->second = response.sequence_number;
        }
      }
      publish_more();
      if (publish_handler && (!response.keep_alive || response.status_change)) publish_handler(std::move(response));
    } catch (const DecodeError& e) {
      fail(status::BadDecodingError, std::string("a Publish answer cannot be read: ") + e.what());
    }
  }

  RequestHeader header(std::chrono::milliseconds timeout) {
    RequestHeader h;
    {
      std::lock_guard lock(mutex);
      h.authentication_token = authentication_token;
    }
    h.timestamp = now_ticks();
    h.request_handle = ++handles;
    h.timeout_hint = static_cast<std::uint32_t>(timeout.count());
    return h;
  }

  std::string failure_text() const {
    std::lock_guard lock(mutex);
    return failure;
  }

  // Everything below runs on the I/O thread.

  void start(Done done) {
    on_connected = std::move(done);
    auto address = parse_endpoint_url(url);
    if (!address) return fail(0x80830000, "\"" + url + "\" is not an opc.tcp:// endpoint URL");
    auto self = shared_from_this();
    connect_timer.expires_after(options.connect_timeout);
    connect_timer.async_wait([self](std::error_code ec) {
      if (!ec && !self->channel_open)
        self->fail(status::BadTimeout, "no answer from " + self->url + " within " +
                                           std::to_string(self->options.connect_timeout.count()) + " ms");
    });
    resolver.async_resolve(
        address->host, address->port, [self](std::error_code ec, tcp::resolver::results_type results) {
          if (ec) return self->fail(status::BadCommunicationError, "cannot find " + self->url + ": " + ec.message());
          asio::async_connect(self->socket, results, [self](std::error_code e, const tcp::endpoint&) {
            if (e)
              return self->fail(status::BadCommunicationError, "cannot connect to " + self->url + ": " + e.message());
            self->socket.set_option(tcp::no_delay(true));
            self->send_raw(encode_hello(self->options.buffers, self->url));
            self->read_header();
          });
        });
  }

  void send_raw(std::string bytes) {
    write_queue.push_back(std::move(bytes));
    if (!writing) write_next();
  }

  void write_next() {
    if (write_queue.empty() || !socket.is_open()) {
      writing = false;
      if (closing) shut();
      return;
    }
    writing = true;
    auto self = shared_from_this();
    asio::async_write(socket, asio::buffer(write_queue.front()), [self](std::error_code ec, std::size_t) {
      self->write_queue.pop_front();
      if (ec) {
        self->writing = false;
        return self->fail(status::BadConnectionClosed, "the connection to " + self->url + " was lost: " + ec.message());
      }
      self->write_next();
    });
  }

  void read_header() {
    auto self = shared_from_this();
    asio::async_read(socket, asio::buffer(header_buf), [self](std::error_code ec, std::size_t) {
      if (ec) return self->lost(ec);
      try {
        ChunkHeader h = parse_header(self->header_buf, self->options.buffers.receive_buffer);
        self->chunk.assign(self->header_buf);
        self->chunk.resize(h.size);
        self->read_body(h);
      } catch (const TransportFault& f) {
        self->fail(f.code(), std::string("the answer of ") + self->url + " breaks the protocol: " + f.what());
      }
    });
  }

  void read_body(const ChunkHeader& h) {
    auto self = shared_from_this();
    asio::async_read(socket, asio::buffer(chunk.data() + kHeaderSize, chunk.size() - kHeaderSize),
                     [self, type = h.type](std::error_code ec, std::size_t) {
                       if (ec) return self->lost(ec);
                       record_chunk(self->chunk);
                       if (!self->on_chunk(type)) return;
                       self->read_header();
                     });
  }

  // False when the connection ended.
  bool on_chunk(const std::string& type) {
    try {
      std::string_view body(chunk);
      body.remove_prefix(kHeaderSize);
      if (type == "ERR") throw decode_error_message(body);
      if (type == "ACK") {
        if (channel_open || next_request != 0)
          throw TransportFault(status::BadTcpInternalError, "an unexpected Acknowledge");
        negotiated = negotiate(options.buffers, body);
        open_channel();
        return true;
      }
      auto message = assembler.feed(channel.open(std::move(chunk)));
      if (message) dispatch(std::move(*message));
      return socket.is_open();
    } catch (const TransportFault& f) {
      fail(f.code(), std::string("the connection to ") + url + " failed: " + f.what());
    } catch (const DecodeError& e) {
      fail(status::BadDecodingError, std::string("the answer of ") + url + " cannot be read: " + e.what());
    } catch (const crypto::CryptoError& e) {
      fail(status::BadSecurityChecksFailed, std::string("the answer of ") + url + " fails the security checks: " + e.what());
    }
    return false;
  }

  void dispatch(Message m) {
    auto it = pending.find(m.request_id);
    if (it == pending.end()) return;  // an answer that came after its call gave up
    Pending p = std::move(it->second);
    pending.erase(it);
    if (p.timer) p.timer->cancel();
    if (m.aborted) {
      p.done({m.abort_status ? m.abort_status : status::BadUnexpectedError,
              "the server gave up on the answer: " + status::describe(m.abort_status) + " " + m.abort_reason,
              {}});
      return;
    }
    if ((m.type == "OPN") != p.open_response)
      throw TransportFault(status::BadTcpInternalError, "an answer of the wrong kind");
    p.done({status::Good, {}, std::move(m.body)});
  }

  void open_channel() {
    OpenSecureChannelRequest request;
    request.header = header(options.connect_timeout);
    request.security_mode = static_cast<std::int32_t>(channel.secure() ? options.security.mode : crypto::SecurityMode::None);
    request.client_nonce = channel.new_client_nonce();
    // A recording keeps the nonce too: with it and our key a secure exchange can be opened again.
    if (!request.client_nonce.empty()) record("client-nonce", request.client_nonce);
    request.requested_lifetime = options.channel_lifetime_ms;
    send_open(request, [self = shared_from_this()](Outcome o) { self->channel_opened(std::move(o), true); });
  }

  void renew_channel() {
    OpenSecureChannelRequest request;
    request.header = header(options.timeout);
    request.request_type = 1;
    // Fresh nonces, so the renewed token comes with fresh keys.
    request.security_mode = static_cast<std::int32_t>(channel.secure() ? options.security.mode : crypto::SecurityMode::None);
    request.client_nonce = channel.new_client_nonce();
    request.requested_lifetime = options.channel_lifetime_ms;
    send_open(request, [self = shared_from_this()](Outcome o) { self->channel_opened(std::move(o), false); });
  }

  void send_open(const OpenSecureChannelRequest& request, Done done) {
    Writer w;
    encode(w, NodeId(0, encoding_id::OpenSecureChannelRequest));
    encode(w, request);
    send("OPN", w.take(), options.timeout, std::move(done), true);
  }

  void channel_opened(Outcome o, bool first) {
    // Silence is no refusal: a request that timed out says that nothing answered.
    if (o.status == status::BadTimeout)
      return fail(o.status, "the server did not answer the request for a secure channel: " + o.message);
    if (o.status != status::Good) return fail(o.status, "the server refused the secure channel: " + o.message);
    try {
      Reader r(o.body, options.decode);
      auto type = read_service_type(r).type;
      if (type == encoding_id::ServiceFault) {
        auto h = decode_as<ResponseHeader>(r);
        return fail(h.service_result, "the server refused the secure channel: " + status::describe(h.service_result));
      }
      if (type != encoding_id::OpenSecureChannelResponse)
        throw DecodeError("the answer is not an OpenSecureChannel response");
      auto response = decode_as<OpenSecureChannelResponse>(r);
      if (first) {
        channel_id = response.token.channel_id;
        assembler.set_channel(channel_id);
      } else if (response.token.channel_id != channel_id) {
        throw DecodeError("the renewed token names another channel");
      }
      token_id = response.token.token_id;
      channel.install_token(token_id, response.server_nonce);
      // Renew well before the token runs out: at three quarters of its lifetime.
      if (!first) ++renewals;
      auto lifetime = std::chrono::milliseconds(std::max<std::uint32_t>(response.token.revised_lifetime, 1000));
      renew_timer.expires_after(lifetime * 3 / 4);
      renew_timer.async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec && self->channel_open) self->renew_channel();
      });
      if (first) {
        channel_open = true;
        connect_timer.cancel();
        if (auto done = std::exchange(on_connected, nullptr)) done({});
      }
    } catch (const DecodeError& e) {
      fail(status::BadDecodingError, std::string("the secure channel's answer cannot be read: ") + e.what());
    } catch (const TransportFault& f) {
      fail(f.code(), std::string("the secure channel cannot be used: ") + f.what());
    }
  }

  void send(const char* type, std::string body, std::chrono::milliseconds timeout, Done done, bool open = false) {
    if (!socket.is_open() || closing || (!channel_open && !open)) {
      std::string why = failure_text();
      return done({status::BadConnectionClosed, why.empty() ? "the connection to " + url + " is closed" : why, {}});
    }
    std::uint32_t request_id = ++next_request;
    std::vector<std::string> chunks;
    try {
      chunks = channel.split(type, channel_id, request_id, sequence, body, negotiated.send);
    } catch (const TransportFault& f) {
      return done({f.code(), f.what(), {}});
    } catch (const crypto::CryptoError& e) {
      return done({status::BadSecurityChecksFailed, e.what(), {}});
    }
    Pending p{std::move(done), std::make_unique<asio::steady_timer>(io), open};
    p.timer->expires_after(timeout);
    p.timer->async_wait([self = shared_from_this(), request_id, timeout](std::error_code ec) {
      if (ec) return;
      auto it = self->pending.find(request_id);
      if (it == self->pending.end()) return;
      Done d = std::move(it->second.done);
      self->pending.erase(it);
      d({status::BadTimeout, "no answer from " + self->url + " within " + std::to_string(timeout.count()) + " ms", {}});
    });
    pending.emplace(request_id, std::move(p));
    assembler.expect(request_id);
    for (auto& c : chunks) send_raw(std::move(c));
  }

  void start_keep_alive() {
    keep_alive_timer.expires_after(options.keep_alive);
    keep_alive_timer.async_wait([self = shared_from_this()](std::error_code ec) {
      if (ec || !self->channel_open || self->closing) return;
      ReadRequest request;
      request.header = self->header(self->options.timeout);
      request.nodes.push_back({NodeId(0, 2259), attribute::Value});  // ServerStatus.State
      request.nodes.push_back({NodeId(0, 2993), attribute::Value});  // ServerStatus.ShutdownReason
      Writer w;
      encode(w, NodeId(0, encoding_id::ReadRequest));
      encode(w, request);
      self->send("MSG", w.take(), self->options.timeout, [self](Outcome o) {
        if (o.status == status::BadTimeout) return self->fail(o.status, "the server stopped answering: " + o.message);
        if (o.status != status::Good) return;
        self->check_shutdown(o.body);
        self->start_keep_alive();
      });
    });
  }

  // A server that says it is shutting down (state 4) is announced once, with its reason.
  void check_shutdown(const std::string& body) {
    try {
      Reader r(body, options.decode);
      if (read_service_type(r).type != encoding_id::ReadResponse) return;
      auto response = decode_as<ReadResponse>(r);
      if (response.results.size() != 2 || response.results[0].value.type != BuiltinType::Int32 ||
          response.results[0].value.is_array)
        return;
      bool shutting_down = std::get<std::int64_t>(response.results[0].value.values.front()) == 4;
      if (!shutting_down || announced_shutdown || !shutdown_handler) return;
      announced_shutdown = true;
      std::string reason;
      const auto& why = response.results[1].value;
      if (why.type == BuiltinType::LocalizedText && !why.is_array)
        reason = std::get<LocalizedText>(why.values.front()).text.value_or(std::string());
      shutdown_handler(reason.empty() ? "the server is shutting down" : reason);
    } catch (const DecodeError&) {
      // A keep-alive is only a sign of life; its contents are a courtesy.
    }
  }
  std::function<void(const std::string&)> shutdown_handler;  // I/O thread only
  bool announced_shutdown = false;

  void lost(std::error_code ec) {
    if (closing) return shut();
    fail(status::BadConnectionClosed,
         "the connection to " + url +
             " was lost: " + (ec == asio::error::eof ? std::string("the server closed it") : ec.message()));
  }

  // The connection is over: every waiting call fails with the reason, nothing more is sent.
  void fail(StatusCode code, const std::string& why) {
    {
      std::lock_guard lock(mutex);
      if (failure.empty()) failure = why;
    }
    channel_open = false;
    shut();
    auto waiting = std::move(pending);
    pending.clear();
    for (auto& [id, p] : waiting) {
      if (p.timer) p.timer->cancel();
      p.done({code, why, {}});
    }
    if (auto done = std::exchange(on_connected, nullptr)) done({code, why, {}});
    if (auto handler = std::exchange(failure_handler, nullptr); handler && !closing) handler(failure_text());
  }

  void shut() {
    std::error_code ignored;
    connect_timer.cancel();
    renew_timer.cancel();
    keep_alive_timer.cancel();
    publish_watchdog.cancel();
    resolver.cancel();
    if (socket.is_open()) {
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(ignored);
    }
  }

  void close_channel() {
    if (closing) return;
    {
      std::lock_guard lock(mutex);
      if (failure.empty()) failure = "the connection to " + url + " is closed";
    }
    if (!channel_open || !socket.is_open()) return fail(status::BadSecureChannelClosed, failure_text());
    Writer w;
    encode(w, NodeId(0, encoding_id::CloseSecureChannelRequest));
    encode_close_secure_channel(w, header(options.timeout));
    std::uint32_t request_id = ++next_request;
    try {
      for (auto& c : channel.split("CLO", channel_id, request_id, sequence, w.data(), negotiated.send))
        send_raw(std::move(c));
    } catch (const TransportFault&) {
      // Closing goes on: the socket closes whether the server hears of it or not.
    } catch (const crypto::CryptoError&) {
    }
    channel_open = false;
    closing = true;
    auto waiting = std::move(pending);
    pending.clear();
    for (auto& [id, p] : waiting) {
      if (p.timer) p.timer->cancel();
      p.done({status::BadSecureChannelClosed, failure_text(), {}});
    }
    if (!writing) shut();
  }
};

Client::Client(std::string url, ClientOptions options)
    : url_(std::move(url)), options_(options), impl_(std::make_shared<Impl>(url_, options_)) {}

Client::~Client() { close(); }

std::shared_ptr<Client> Client::open(const std::string& url, ClientOptions options) {
  std::shared_ptr<Client> client;
  try {
    client.reset(new Client(url, options));
  } catch (const TransportFault& f) {
    throw UaError(f.code(), url + ": " + f.what());
  } catch (const crypto::CryptoError& e) {
    throw UaError(status::BadCertificateInvalid, url + ": " + e.what());
  }
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto impl = client->impl_;
  asio::post(impl->io, [impl, promise] { impl->start([promise](Outcome o) { promise->set_value(std::move(o)); }); });
  // The I/O thread's own timer answers first; this bound only guards against a stalled thread.
  if (future.wait_for(options.connect_timeout + 5s) != std::future_status::ready)
    throw UaError(status::BadTimeout, "no answer from " + url);
  Outcome o = future.get();
  if (o.status != status::Good) throw UaError(o.status, o.message);
  return client;
}

std::string Client::transact(std::string body, const char* service) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto impl = impl_;
  auto timeout = options_.timeout;
  asio::post(impl->io, [impl, promise, timeout, body = std::move(body)]() mutable {
    impl->send("MSG", std::move(body), timeout, [promise](Outcome o) { promise->set_value(std::move(o)); });
  });
  if (future.wait_for(timeout + 5s) != std::future_status::ready)
    throw UaError(status::BadTimeout, std::string(service) + ": no answer from " + url_);
  Outcome o = future.get();
  if (o.status != status::Good) throw UaError(o.status, std::string(service) + ": " + o.message);
  return std::move(o.body);
}

RequestHeader Client::header() { return impl_->header(options_.timeout); }

template <typename Response, typename Request>
Response Client::call(Request request, std::uint32_t response_type, const char* service) {
  request.header = header();
  Writer w;
  encode(w, NodeId(0, request_id_of<Request>()));
  encode(w, request);
  std::string body = transact(w.take(), service);
  try {
    Reader r(body, options_.decode);
    auto type = read_service_type(r).type;
    if (type == encoding_id::ServiceFault) {
      auto h = decode_as<ResponseHeader>(r);
      throw UaError(h.service_result, std::string(service) + " failed: " + status::describe(h.service_result));
    }
    if (type != response_type) throw DecodeError("the answer is of another service");
    Response response;
    decode(r, response);
    if (status::is_bad(response.header.service_result))
      throw UaError(response.header.service_result,
                    std::string(service) + " failed: " + status::describe(response.header.service_result));
    return response;
  } catch (const DecodeError& e) {
    throw UaError(status::BadDecodingError,
                  std::string(service) + ": the answer of " + url_ + " cannot be read: " + e.what());
  }
}

namespace {

const char* token_kind_name(std::int32_t kind) {
  switch (kind) {
    case 0: return "anonymous";
    case 1: return "user name and password";
    case 2: return "user certificate";
    case 3: return "issued token";
    default: return "unknown login";
  }
}

// The server's own certificate: the first of the chain its endpoint names.
crypto::Certificate leaf_of(const std::string& chain) {
  auto all = crypto::Certificate::chain_from_der(chain);
  if (all.empty()) throw crypto::CryptoError("no certificate");
  return all.front();
}

std::string legacy_secret(const std::string& password, const std::string& nonce) {
  Writer w;
  w.u32(static_cast<std::uint32_t>(password.size() + nonce.size()));
  w.raw(password);
  w.raw(nonce);
  return w.take();
}

}  // namespace

const UserTokenPolicy& choose_user_token(const EndpointDescription& endpoint, const UserIdentity& user,
                                         const std::string& url) {
  const std::int32_t wanted = user.kind();
  std::string offered;
  // Of several user name logins, one that encrypts the password.
  if (wanted == 1) {
    for (const auto& t : endpoint.user_identity_tokens) {
      const auto* p = crypto::find_policy(t.security_policy_uri.empty() ? endpoint.security_policy_uri
                                                                        : t.security_policy_uri);
      if (t.token_type == 1 && p && !p->none) return t;
    }
  }
  for (const auto& t : endpoint.user_identity_tokens) {
    if (t.token_type == wanted) return t;
    const std::string name = token_kind_name(t.token_type);
    if (offered.find(name) == std::string::npos) offered += (offered.empty() ? "" : ", ") + name;
  }
  std::string how = wanted == 0 ? " (name a user in the URL, opc.tcp://user@host:port, with a password in the "
                                  "password file)"
                                : std::string();
  throw UaError(status::BadIdentityTokenRejected,
                url + " takes no " + token_kind_name(wanted) + " login on this endpoint; it takes " +
                    (offered.empty() ? std::string("none") : offered) + how);
}

void Client::prepare_session(const ClientOptions& session) {
  options_.endpoint = session.endpoint;
  options_.discovered = session.discovered;
  options_.user = session.user;
  options_.server_check = session.server_check;
}

void Client::create_session() {
  EndpointDescription endpoint;
  std::vector<EndpointDescription> discovered = options_.discovered;
  if (options_.endpoint) {
    endpoint = *options_.endpoint;
  } else {
    discovered = get_endpoints();
    choose_anonymous_none(discovered, url_);
    for (const auto& e : discovered) {
      if (e.security_policy_uri == kSecurityPolicyNoneUri && e.security_mode == 1) {
        endpoint = e;
        break;
      }
    }
  }
  const bool secure = options_.security.secure();
  CreateSessionRequest create;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string own_uri = secure ? options_.security.own_certificate.application_uri() : std::string();
  create.client.application_uri = own_uri.empty() ? std::string("urn:") + host + ":VEXA32" : own_uri;
  create.client.product_uri = "urn:vexa32";
  create.client.application_name = LocalizedText{std::nullopt, std::string("VEXA32")};
  create.client.application_type = 1;
  create.endpoint_url = url_;
  create.session_name = "VEXA32";
  create.client_nonce = crypto::random_bytes(32);
  if (secure) create.client_certificate = options_.security.own_certificate.der();
  create.requested_session_timeout = options_.session_timeout_ms;
  create.max_response_message_size = options_.buffers.max_message;
  auto session = call<CreateSessionResponse>(create, encoding_id::CreateSessionResponse, "CreateSession");
  {
    std::lock_guard lock(impl_->mutex);
    impl_->authentication_token = session.authentication_token;
  }
  try {
    check_session(endpoint, discovered, create, session);
    activate(endpoint, session.server_certificate, session.server_nonce);
  } catch (const UaError& e) {
    // A session the server made but we refused, or that refused our login, goes at once: a
    // server that limits sessions must not fill up with wrong passwords.
    if (!e.connection_lost()) abandon_session();
    throw;
  }
  // Keep the session alive well within its revised timeout.
  auto revised =
      std::chrono::milliseconds(static_cast<std::int64_t>(std::max(session.revised_session_timeout, 3000.0)));
  options_.keep_alive = std::min(options_.keep_alive, revised / 3);
  impl_->options.keep_alive = options_.keep_alive;
  auto impl = impl_;
  asio::post(impl->io, [impl] { impl->start_keep_alive(); });
}

void Client::abandon_session() {
  try {
    CloseSessionRequest request;
    call<CloseSessionResponse>(request, encoding_id::CloseSessionResponse, "CloseSession");
  } catch (const UaError&) {
    // The server drops it at its timeout anyway.
  }
  std::lock_guard lock(impl_->mutex);
  impl_->authentication_token = NodeId();
}

void Client::check_session(const EndpointDescription& endpoint, const std::vector<EndpointDescription>& discovered,
                           const CreateSessionRequest& create, CreateSessionResponse& session) {
  const bool secure = options_.security.secure();
  const bool token_for_server = options_.user.kind() != 0;
  // What discovery saw came unsigned; the session's answer is signed on a secure channel. A
  // difference is someone between us steering the choice. An anonymous session without security
  // has nothing to protect and connects as it always did (some servers leave the list out).
  if (!discovered.empty() && (secure || token_for_server)) {
    const std::string changed = endpoints_changed(discovered, session.server_endpoints);
    if (!changed.empty())
      throw UaError(status::BadSecurityChecksFailed, "CreateSession: the endpoints of " + url_ +
                                                         " changed between discovery and session (" + changed +
                                                         "); the session is closed");
  }
  if (secure && session.server_nonce.size() < 32)
    throw UaError(status::BadNonceInvalid, "CreateSession: the nonce of " + url_ + " is " +
                                               std::to_string(session.server_nonce.size()) +
                                               " bytes; a secure session needs at least 32");
  if (session.server_certificate.empty()) session.server_certificate = endpoint.server_certificate;
  if (secure || token_for_server) {
    // The certificate that was validated is the one the server answers with: a password or a
    // token signature goes to no other.
    try {
      if (!(leaf_of(session.server_certificate) == leaf_of(endpoint.server_certificate)))
        throw UaError(status::BadCertificateInvalid,
                      "CreateSession: " + url_ + " answered with another certificate than its endpoint's");
    } catch (const crypto::CryptoError& e) {
      throw UaError(status::BadCertificateInvalid, "CreateSession: " + url_ + ": " + e.what());
    }
    if (options_.server_check) {
      std::string application_uri;
      for (const auto& e : session.server_endpoints) {
        if (e.security_mode == endpoint.security_mode && e.security_policy_uri == endpoint.security_policy_uri &&
            binary_transport(e)) {
          application_uri = e.server.application_uri;
          break;
        }
      }
      options_.server_check(session.server_certificate, application_uri);
    }
  }
  if (secure) {
    // The server proves that it holds the endpoint's key: it signs our certificate and nonce.
    const crypto::SecurityPolicy& policy = *options_.security.policy;
    try {
      const crypto::Certificate server = leaf_of(session.server_certificate);
      if (!(server == leaf_of(endpoint.server_certificate)))
        throw UaError(status::BadCertificateInvalid,
                      "CreateSession: " + url_ + " answered with another certificate than its endpoint's");
      if (session.server_signature.algorithm != policy.signature_uri ||
          !server.public_key().verify(policy.asymmetric_signature, create.client_certificate + create.client_nonce,
                                      session.server_signature.signature))
        throw UaError(status::BadApplicationSignatureInvalid,
                      "CreateSession: the signature of " + url_ + " does not prove its certificate");
    } catch (const crypto::CryptoError& e) {
      throw UaError(status::BadCertificateInvalid, "CreateSession: " + url_ + ": " + e.what());
    }
  }
}

void Client::activate(const EndpointDescription& endpoint, const std::string& server_certificate,
                      const std::string& server_nonce) {
  const UserTokenPolicy& token = choose_user_token(endpoint, options_.user, url_);
  ActivateSessionRequest request;
  request.identity.kind = token.token_type;
  request.identity.policy_id = token.policy_id;
  try {
    if (options_.security.secure()) {
      const crypto::SecurityPolicy& policy = *options_.security.policy;
      request.client_signature.algorithm = policy.signature_uri;
      request.client_signature.signature =
          options_.security.own_key.sign(policy.asymmetric_signature, server_certificate + server_nonce);
    }
    // A token policy names its own security policy; without one the endpoint's protects the token.
    const std::string& token_uri = token.security_policy_uri.empty() ? endpoint.security_policy_uri
                                                                     : token.security_policy_uri;
    if (token.token_type == 1) {
      const crypto::SecurityPolicy* policy = crypto::find_policy(token_uri);
      if (!policy)
        throw UaError(status::BadSecurityPolicyRejected, url_ + " asks for the password to be encrypted by " +
                                                             token_uri + ", which this client does not support");
      if (policy->none)
        throw UaError(status::BadSecurityModeRejected,
                      url_ + " would take the password of \"" + options_.user.user_name +
                          "\" unencrypted on this endpoint; a password is never sent in clear: choose a secure "
                          "endpoint (?security=SignAndEncrypt)");
      request.identity.user_name = options_.user.user_name;
      request.identity.secret = leaf_of(server_certificate)
                                    .public_key()
                                    .encrypt(policy->asymmetric_encryption,
                                             legacy_secret(options_.user.password, server_nonce));
      request.identity.encryption_algorithm = policy->encryption_uri;
    } else if (token.token_type == 2) {
      const crypto::SecurityPolicy* policy = crypto::find_policy(token_uri);
      if (!policy || policy->none)
        throw UaError(status::BadSecurityPolicyRejected,
                      url_ + " takes a user certificate only under a security policy this client supports");
      request.identity.secret = options_.user.certificate.der();
      request.user_token_signature.algorithm = policy->signature_uri;
      request.user_token_signature.signature =
          options_.user.key.sign(policy->asymmetric_signature, server_certificate + server_nonce);
    }
  } catch (const crypto::CryptoError& e) {
    throw UaError(status::BadCertificateInvalid, "ActivateSession: " + url_ + ": " + e.what());
  }
  auto response = call<ActivateSessionResponse>(request, encoding_id::ActivateSessionResponse, "ActivateSession");
  // The next activation (a reconnection) signs this nonce: on a secure channel it must be fresh.
  if (options_.security.secure() && response.server_nonce.size() < 32)
    throw UaError(status::BadNonceInvalid, "ActivateSession: the nonce of " + url_ + " is " +
                                               std::to_string(response.server_nonce.size()) +
                                               " bytes; a secure session needs at least 32");
  std::lock_guard lock(session_mutex_);
  session_ = true;
  state_.endpoint = endpoint;
  state_.token = session_token();
  state_.server_certificate = server_certificate;
  state_.server_nonce = response.server_nonce.empty() ? server_nonce : response.server_nonce;
}

bool Client::resume_session(const SessionState& state) {
  // The store is asked again: a certificate taken out of it or revoked meanwhile ends here.
  if (options_.server_check) options_.server_check(state.server_certificate, state.endpoint.server.application_uri);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->authentication_token = state.token;
  }
  try {
    activate(state.endpoint, state.server_certificate, state.server_nonce);
  } catch (const UaError& e) {
    if (e.connection_lost() && !failure().empty()) throw;
    std::lock_guard lock(impl_->mutex);
    impl_->authentication_token = NodeId();
    return false;
  }
  auto impl = impl_;
  asio::post(impl->io, [impl] { impl->start_keep_alive(); });
  return true;
}

NodeId Client::session_token() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->authentication_token;
}

SessionState Client::session_state() const {
  std::lock_guard lock(session_mutex_);
  return state_;
}

std::vector<EndpointDescription> Client::get_endpoints() {
  GetEndpointsRequest request;
  request.endpoint_url = url_;
  return call<GetEndpointsResponse>(request, encoding_id::GetEndpointsResponse, "GetEndpoints").endpoints;
}

std::vector<ApplicationDescription> Client::find_servers() {
  FindServersRequest request;
  request.endpoint_url = url_;
  return call<FindServersResponse>(request, encoding_id::FindServersResponse, "FindServers").servers;
}

ReadResponse Client::read(ReadRequest request) {
  return call<ReadResponse>(std::move(request), encoding_id::ReadResponse, "Read");
}

WriteResponse Client::write(WriteRequest request) {
  return call<WriteResponse>(std::move(request), encoding_id::WriteResponse, "Write");
}

BrowseResponse Client::browse(BrowseRequest request) {
  return call<BrowseResponse>(std::move(request), encoding_id::BrowseResponse, "Browse");
}

BrowseResponse Client::browse_next(BrowseNextRequest request) {
  return call<BrowseResponse>(std::move(request), encoding_id::BrowseNextResponse, "BrowseNext");
}

void Client::write_async(WriteRequest request, WriteHandler handler) {
  request.header = header();
  Writer w;
  encode(w, NodeId(0, encoding_id::WriteRequest));
  encode(w, request);
  auto impl = impl_;
  auto timeout = options_.timeout;
  asio::post(impl->io, [impl, timeout, body = w.take(), handler = std::move(handler)]() mutable {
    impl->send("MSG", std::move(body), timeout, [impl, handler = std::move(handler)](Outcome o) {
      if (o.status != status::Good) {
        UaError e(o.status, "Write: " + o.message);
        return handler(nullptr, &e);
      }
      try {
        Reader r(o.body, impl->options.decode);
        auto type = read_service_type(r).type;
        if (type == encoding_id::ServiceFault) {
          auto h = decode_as<ResponseHeader>(r);
          UaError e(h.service_result, "Write failed: " + status::describe(h.service_result));
          return handler(nullptr, &e);
        }
        if (type != encoding_id::WriteResponse) throw DecodeError("the answer is of another service");
        auto response = decode_as<WriteResponse>(r);
        handler(&response, nullptr);
      } catch (const DecodeError& d) {
        UaError e(status::BadDecodingError, std::string("Write: the answer cannot be read: ") + d.what());
        handler(nullptr, &e);
      }
    });
  });
}

void Client::close() {
  bool had_session;
  {
    std::lock_guard lock(session_mutex_);
    had_session = std::exchange(session_, false);
  }
  if (had_session && impl_->failure_text().empty()) {
    try {
      CloseSessionRequest request;
      call<CloseSessionResponse>(request, encoding_id::CloseSessionResponse, "CloseSession");
    } catch (const UaError&) {
      // The session goes with the channel anyway; the server drops it at its timeout.
    }
  }
  auto impl = impl_;
  asio::post(impl->io, [impl] { impl->close_channel(); });
}

std::string Client::failure() const { return impl_->failure_text(); }

int Client::renewals() const { return impl_->renewals; }

CreateSubscriptionResponse Client::create_subscription(CreateSubscriptionRequest request) {
  return call<CreateSubscriptionResponse>(std::move(request), encoding_id::CreateSubscriptionResponse,
                                          "CreateSubscription");
}
ModifySubscriptionResponse Client::modify_subscription(ModifySubscriptionRequest request) {
  return call<ModifySubscriptionResponse>(std::move(request), encoding_id::ModifySubscriptionResponse,
                                          "ModifySubscription");
}
StatusListResponse Client::set_publishing_mode(SetPublishingModeRequest request) {
  return call<StatusListResponse>(std::move(request), encoding_id::SetPublishingModeResponse, "SetPublishingMode");
}
CreateMonitoredItemsResponse Client::create_monitored_items(CreateMonitoredItemsRequest request) {
  return call<CreateMonitoredItemsResponse>(std::move(request), encoding_id::CreateMonitoredItemsResponse,
                                            "CreateMonitoredItems");
}
ModifyMonitoredItemsResponse Client::modify_monitored_items(ModifyMonitoredItemsRequest request) {
  return call<ModifyMonitoredItemsResponse>(std::move(request), encoding_id::ModifyMonitoredItemsResponse,
                                            "ModifyMonitoredItems");
}
StatusListResponse Client::set_monitoring_mode(SetMonitoringModeRequest request) {
  return call<StatusListResponse>(std::move(request), encoding_id::SetMonitoringModeResponse, "SetMonitoringMode");
}
StatusListResponse Client::delete_monitored_items(DeleteMonitoredItemsRequest request) {
  return call<StatusListResponse>(std::move(request), encoding_id::DeleteMonitoredItemsResponse,
                                  "DeleteMonitoredItems");
}
TransferSubscriptionsResponse Client::transfer_subscriptions(TransferSubscriptionsRequest request) {
  return call<TransferSubscriptionsResponse>(std::move(request), encoding_id::TransferSubscriptionsResponse,
                                             "TransferSubscriptions");
}

void Client::set_shutdown_handler(std::function<void(const std::string& reason)> handler) {
  auto impl = impl_;
  asio::post(impl->io, [impl, handler = std::move(handler)]() mutable { impl->shutdown_handler = std::move(handler); });
}

void Client::set_failure_handler(std::function<void(const std::string& why)> handler) {
  auto impl = impl_;
  asio::post(impl->io, [impl, handler = std::move(handler)]() mutable {
    if (!impl->failure_text().empty() && !impl->closing) return handler(impl->failure_text());
    impl->failure_handler = std::move(handler);
  });
}

StatusListResponse Client::delete_subscriptions(DeleteSubscriptionsRequest request) {
  return call<StatusListResponse>(std::move(request), encoding_id::DeleteSubscriptionsResponse, "DeleteSubscriptions");
}

void Client::set_publish_handler(PublishHandler handler) {
  auto impl = impl_;
  asio::post(impl->io, [impl, handler = std::move(handler)]() mutable { impl->publish_handler = std::move(handler); });
}

void Client::publish(int outstanding, std::chrono::milliseconds keep_alive) {
  auto impl = impl_;
  auto timeout = keep_alive + options_.timeout;
  asio::post(impl->io, [impl, outstanding, timeout, keep_alive] {
    impl->publish_target = outstanding;
    // A queued Publish waits its turn behind the others: its own timeout covers all of them.
    impl->publish_timeout = timeout * (outstanding + 1);
    impl->publish_keep_alive = std::max(impl->publish_keep_alive, keep_alive);
    impl->publish_more();
    impl->watch_publishing();
  });
}

std::uint64_t Client::publish_answers() const { return impl_->publish_answers; }
std::uint64_t Client::sequence_gaps() const { return impl_->sequence_gaps; }

Client::PublishTotals Client::publish_totals() { return {g_answers, g_notifications, g_gaps}; }

void Client::record_chunks_to(const std::string& directory) {
  std::lock_guard lock(g_record_mutex);
  g_record_dir = directory;
}

}  // namespace vexa32::opcua
