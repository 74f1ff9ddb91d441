#pragma once
// One connection to an OPC UA server: a TCP connection, a secure channel with SecurityPolicy None
// and, once created, an anonymous session. The socket lives on the process's one I/O thread;
// the calls below may come from any thread, block their caller until the answer arrives or the
// call's timeout passes, and never run anything of the caller's on the I/O thread except the
// completion handlers of the asynchronous calls, which must post their work elsewhere.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/opcua/secure_channel.h"
#include "platform/opcua/services.h"
#include "platform/opcua/subscription_services.h"
#include "platform/opcua/transport.h"

namespace vexa32::opcua {

// A service call that failed: its status code (a ServiceFault's result, BadTimeout,
// BadConnectionClosed, ...) and a text that names the server and the call.
class UaError : public std::runtime_error {
 public:
  UaError(StatusCode code, const std::string& what) : std::runtime_error(what), code_(code) {}
  StatusCode code() const noexcept { return code_; }
  // The connection cannot carry further calls (lost, timed out, closed, refused).
  bool connection_lost() const noexcept;

 private:
  StatusCode code_;
};

// Who the session is for: nobody in particular (anonymous), a user name with its password, or a
// user certificate with its key.
struct UserIdentity {
  std::string user_name;
  std::string password;
  crypto::Certificate certificate;
  crypto::Key key;

  std::int32_t kind() const { return certificate ? 2 : user_name.empty() ? 0 : 1; }
};

// What a new channel needs to take a session over: its token, the endpoint it was made on, and
// the server's certificate and last nonce, which the new activation signs.
struct SessionState {
  NodeId token;
  EndpointDescription endpoint;
  std::string server_certificate, server_nonce;
};

struct ClientOptions {
  std::chrono::milliseconds timeout{10000};         // every service call
  std::chrono::milliseconds connect_timeout{5000};  // TCP, Hello and the secure channel
  BufferLimits buffers;
  Limits decode;
  std::uint32_t channel_lifetime_ms = 600000;
  double session_timeout_ms = 60000;
  // A read of the server's state keeps an idle session alive and notices a silent server.
  std::chrono::milliseconds keep_alive{10000};
  // The channel's policy, mode and certificates: SecurityPolicy None unless set.
  ChannelSecurity security;
  // The endpoint the session is for, as GetEndpoints described it. Without one, create_session
  // asks the server and takes its None endpoint with anonymous login.
  std::optional<EndpointDescription> endpoint;
  // Every endpoint GetEndpoints gave when the endpoint was chosen: the CreateSession answer must
  // name the same, or someone changed them on the way (a downgrade). Empty: not compared.
  std::vector<EndpointDescription> discovered;
  UserIdentity user;
  // Judges the server's certificate (its chain as the CreateSession answer gives it) and the
  // ApplicationUri of the session's endpoint in that answer before anything is sent for the
  // server, at every session, so a reconnection meets today's store; throws UaError to refuse.
  std::function<void(const std::string& certificate, const std::string& application_uri)> server_check;
};

class Client : public std::enable_shared_from_this<Client> {
 public:
  // Connects to an opc.tcp:// endpoint and opens the secure channel; UaError when the URL is
  // malformed, nothing answers, or the server refuses.
  static std::shared_ptr<Client> open(const std::string& url, ClientOptions options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const std::string& url() const noexcept { return url_; }
  const ClientOptions& options() const noexcept { return options_; }

  // CreateSession and ActivateSession on the endpoint of the options (without one: GetEndpoints,
  // and the endpoint with SecurityPolicy None and anonymous login). On a secure channel the
  // server's signature is checked and ours given. UaError when the server refuses, when its
  // signature or certificate is not the endpoint's, or when no login of the user fits.
  void create_session();
  // The endpoint, the discovered endpoints, the user and the server check of the session that
  // create_session opens on this channel (one that was opened without them, as the channel that
  // asked for the endpoints is), taken from those options.
  void prepare_session(const ClientOptions& session);
  // Takes over a session that another channel of this client opened (after a lost connection):
  // ActivateSession with its token. False when the server no longer knows it.
  bool resume_session(const SessionState& state);
  NodeId session_token() const;
  SessionState session_state() const;
  std::vector<ApplicationDescription> find_servers();
  std::vector<EndpointDescription> get_endpoints();
  ReadResponse read(ReadRequest request);
  WriteResponse write(WriteRequest request);
  BrowseResponse browse(BrowseRequest request);
  BrowseResponse browse_next(BrowseNextRequest request);
  // The handler runs on the I/O thread with the answer or the error's text.
  using WriteHandler = std::function<void(const WriteResponse* response, const UaError* error)>;
  void write_async(WriteRequest request, WriteHandler handler);

  CreateSubscriptionResponse create_subscription(CreateSubscriptionRequest request);
  ModifySubscriptionResponse modify_subscription(ModifySubscriptionRequest request);
  StatusListResponse set_publishing_mode(SetPublishingModeRequest request);
  CreateMonitoredItemsResponse create_monitored_items(CreateMonitoredItemsRequest request);
  ModifyMonitoredItemsResponse modify_monitored_items(ModifyMonitoredItemsRequest request);
  StatusListResponse set_monitoring_mode(SetMonitoringModeRequest request);
  StatusListResponse delete_monitored_items(DeleteMonitoredItemsRequest request);
  StatusListResponse delete_subscriptions(DeleteSubscriptionsRequest request);
  TransferSubscriptionsResponse transfer_subscriptions(TransferSubscriptionsRequest request);

  // Called once, on the I/O thread, when the connection fails (not when it is closed); must
  // post its work elsewhere.
  void set_failure_handler(std::function<void(const std::string& why)> handler);
  // Called once, on the I/O thread, when the keep-alive finds the server shutting down.
  void set_shutdown_handler(std::function<void(const std::string& reason)> handler);

  // Publishing. The handler runs on the I/O thread with every Publish answer that carries
  // notifications (keep-alives only count as a sign of life) and must post its work elsewhere.
  using PublishHandler = std::function<void(PublishResponse response)>;
  void set_publish_handler(PublishHandler handler);
  // Keeps this many Publish requests at the server; an answer later than keep_alive plus the
  // call timeout means the server is gone, and the connection fails.
  void publish(int outstanding, std::chrono::milliseconds keep_alive);
  // Publish answers received, and notification sequence numbers that arrived out of turn.
  std::uint64_t publish_answers() const;
  std::uint64_t sequence_gaps() const;
  // The same, and the notifications delivered, summed over every client of the process.
  struct PublishTotals {
    std::uint64_t answers = 0, notifications = 0, sequence_gaps = 0;
  };
  static PublishTotals publish_totals();

  // Closes the session (when there is one) and the channel; later calls fail. Safe to repeat.
  void close();
  // Empty while the connection is usable; otherwise why it is not.
  std::string failure() const;
  // How often the channel's security token has been renewed.
  int renewals() const;

  // The raw chunks this client received (and the nonce of each secure channel it opened), for the
  // fuzzers' seed corpora and recorded exchanges; off unless a path is set.
  static void record_chunks_to(const std::string& directory);

  struct Impl;

 private:
  Client(std::string url, ClientOptions options);
  template <typename Response, typename Request>
  Response call(Request request, std::uint32_t response_type, const char* service);
  std::string transact(std::string body, const char* service);
  RequestHeader header();
  // ActivateSession with our signature and the user's token, for the server's certificate and nonce.
  void activate(const EndpointDescription& endpoint, const std::string& server_certificate,
                const std::string& server_nonce);
  // The CreateSession answer checked before anything goes to the server: its endpoints against
  // discovery's, its nonce, its certificate against the validated one, its signature.
  void check_session(const EndpointDescription& endpoint, const std::vector<EndpointDescription>& discovered,
                     const CreateSessionRequest& create, CreateSessionResponse& session);
  // CloseSession for a session that will not be used, its token forgotten.
  void abandon_session();

  std::string url_;
  ClientOptions options_;
  std::shared_ptr<Impl> impl_;
  mutable std::mutex session_mutex_;
  bool session_ = false;
  SessionState state_;
};

// The login of the user that the endpoint offers: anonymous without a user name, a user name
// token with one, a certificate token with a user certificate; UaError saying what the endpoint
// takes when it has none of them.
const UserTokenPolicy& choose_user_token(const EndpointDescription& endpoint, const UserIdentity& user,
                                         const std::string& url);

// The anonymous token policy of the first endpoint with SecurityPolicy None; UaError naming the
// policies and modes the server offers when it has none.
const UserTokenPolicy* choose_anonymous_none(const std::vector<EndpointDescription>& endpoints, const std::string& url);

// Splits "opc.tcp://host:port/path" into host and port (4840 when omitted); nullopt when the
// text is not such a URL.
struct EndpointAddress {
  std::string host;
  std::string port;
};
std::optional<EndpointAddress> parse_endpoint_url(const std::string& url);

}  // namespace vexa32::opcua
