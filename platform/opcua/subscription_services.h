#pragma once
// The subscription services: subscriptions, monitored items and Publish, with the notification
// data a Publish response carries.

#include <memory>

#include "platform/opcua/services.h"

namespace vexa32::opcua {

namespace encoding_id {
inline constexpr std::uint32_t CreateMonitoredItemsRequest = 751, CreateMonitoredItemsResponse = 754;
inline constexpr std::uint32_t ModifyMonitoredItemsRequest = 763, ModifyMonitoredItemsResponse = 766;
inline constexpr std::uint32_t SetMonitoringModeRequest = 769, SetMonitoringModeResponse = 772;
inline constexpr std::uint32_t DeleteMonitoredItemsRequest = 781, DeleteMonitoredItemsResponse = 784;
inline constexpr std::uint32_t CreateSubscriptionRequest = 787, CreateSubscriptionResponse = 790;
inline constexpr std::uint32_t ModifySubscriptionRequest = 793, ModifySubscriptionResponse = 796;
inline constexpr std::uint32_t SetPublishingModeRequest = 799, SetPublishingModeResponse = 802;
inline constexpr std::uint32_t PublishRequest = 826, PublishResponse = 829;
inline constexpr std::uint32_t DeleteSubscriptionsRequest = 847, DeleteSubscriptionsResponse = 850;
inline constexpr std::uint32_t TransferSubscriptionsRequest = 841, TransferSubscriptionsResponse = 844;
inline constexpr std::uint32_t DataChangeFilter = 724, DataChangeNotification = 811, StatusChangeNotification = 820,
                               EventNotificationList = 916;
}  // namespace encoding_id

struct CreateSubscriptionRequest {
  RequestHeader header;
  double publishing_interval = 1000;
  std::uint32_t lifetime_count = 0, max_keep_alive_count = 0, max_notifications = 0;
  bool publishing_enabled = true;
};
struct CreateSubscriptionResponse {
  ResponseHeader header;
  std::uint32_t subscription_id = 0;
  double publishing_interval = 0;
  std::uint32_t lifetime_count = 0, max_keep_alive_count = 0;
};

struct ModifySubscriptionRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  double publishing_interval = 1000;
  std::uint32_t lifetime_count = 0, max_keep_alive_count = 0, max_notifications = 0;
};
struct ModifySubscriptionResponse {
  ResponseHeader header;
  double publishing_interval = 0;
  std::uint32_t lifetime_count = 0, max_keep_alive_count = 0;
};

struct SetPublishingModeRequest {
  RequestHeader header;
  bool enabled = true;
  std::vector<std::uint32_t> subscription_ids;
};

struct MonitoredItemCreate {
  NodeId node;
  std::int32_t monitoring_mode = 2;  // reporting
  std::uint32_t client_handle = 0;
  double sampling_interval = 0;
  std::optional<double> percent_deadband;  // a DataChangeFilter when set
  std::uint32_t queue_size = 1;
};
struct CreateMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::vector<MonitoredItemCreate> items;
};
struct MonitoredItemResult {
  StatusCode status = 0;
  std::uint32_t monitored_item_id = 0;
  double sampling_interval = 0;
};
struct CreateMonitoredItemsResponse {
  ResponseHeader header;
  std::vector<MonitoredItemResult> results;
};

// New sampling and filter of a monitored item (its client handle stays).
struct MonitoredItemModify {
  std::uint32_t monitored_item_id = 0;
  std::uint32_t client_handle = 0;
  double sampling_interval = 0;
  std::optional<double> percent_deadband;
  std::uint32_t queue_size = 1;
};
struct ModifyMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::vector<MonitoredItemModify> items;
};
struct ModifyMonitoredItemsResponse {
  ResponseHeader header;
  std::vector<StatusCode> results;  // one an item
};

// The monitoring modes.
inline constexpr std::int32_t kMonitoringDisabled = 0, kMonitoringReporting = 2;
struct SetMonitoringModeRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::int32_t monitoring_mode = 2;
  std::vector<std::uint32_t> monitored_item_ids;
};
struct DeleteMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::vector<std::uint32_t> monitored_item_ids;
};
struct DeleteSubscriptionsRequest {
  RequestHeader header;
  std::vector<std::uint32_t> subscription_ids;
};
// SetPublishingMode, SetMonitoringMode, DeleteMonitoredItems and DeleteSubscriptions answer alike.
struct StatusListResponse {
  ResponseHeader header;
  std::vector<StatusCode> results;
};

struct TransferSubscriptionsRequest {
  RequestHeader header;
  std::vector<std::uint32_t> subscription_ids;
  bool send_initial_values = true;
};
struct TransferSubscriptionsResponse {
  ResponseHeader header;
  std::vector<StatusCode> results;  // one a subscription
};

struct Acknowledgement {
  std::uint32_t subscription_id = 0, sequence_number = 0;
};
struct PublishRequest {
  RequestHeader header;
  std::vector<Acknowledgement> acknowledgements;
};

// A data change as it arrived: the stack checks its DataValue and leaves its decoding to the
// layer above, which reads it straight into its own form of a value.
struct ItemNotification {
  std::uint32_t client_handle = 0;
  std::string_view data_value;  // the encoded DataValue, inside the bytes the answer was read from
};
struct PublishResponse {
  ResponseHeader header;
  std::uint32_t subscription_id = 0;
  bool more_notifications = false;
  std::uint32_t sequence_number = 0;
  DateTime publish_time = 0;
  bool keep_alive = true;                      // no notification data at all
  std::vector<ItemNotification> data_changes;  // of every DataChangeNotification, in order
  std::optional<StatusCode> status_change;     // a StatusChangeNotification's status
  // The bytes the data changes point into, when the answer owns them (the client's do), and the
  // limits they were read under.
  std::shared_ptr<const std::string> bytes;
  Limits limits;
};

void encode(Writer& w, const CreateSubscriptionRequest& v);
void encode(Writer& w, const ModifySubscriptionRequest& v);
void encode(Writer& w, const SetPublishingModeRequest& v);
void encode(Writer& w, const CreateMonitoredItemsRequest& v);
void encode(Writer& w, const ModifyMonitoredItemsRequest& v);
void encode(Writer& w, const SetMonitoringModeRequest& v);
void encode(Writer& w, const DeleteMonitoredItemsRequest& v);
void encode(Writer& w, const DeleteSubscriptionsRequest& v);
void encode(Writer& w, const PublishRequest& v);
void encode(Writer& w, const TransferSubscriptionsRequest& v);
void decode(Reader& r, TransferSubscriptionsResponse& v);

void decode(Reader& r, CreateSubscriptionResponse& v);
void decode(Reader& r, ModifySubscriptionResponse& v);
void decode(Reader& r, CreateMonitoredItemsResponse& v);
void decode(Reader& r, ModifyMonitoredItemsResponse& v);
void decode(Reader& r, StatusListResponse& v);
// Every kind of notification data is read; data changes and a status change are kept, events
// and kinds this client does not know are skipped by their length. The data changes point into
// the reader's bytes.
void decode(Reader& r, PublishResponse& v);

template <>
constexpr std::uint32_t request_id_of<CreateSubscriptionRequest>() {
  return encoding_id::CreateSubscriptionRequest;
}
template <>
constexpr std::uint32_t request_id_of<ModifySubscriptionRequest>() {
  return encoding_id::ModifySubscriptionRequest;
}
template <>
constexpr std::uint32_t request_id_of<SetPublishingModeRequest>() {
  return encoding_id::SetPublishingModeRequest;
}
template <>
constexpr std::uint32_t request_id_of<CreateMonitoredItemsRequest>() {
  return encoding_id::CreateMonitoredItemsRequest;
}
template <>
constexpr std::uint32_t request_id_of<ModifyMonitoredItemsRequest>() {
  return encoding_id::ModifyMonitoredItemsRequest;
}
template <>
constexpr std::uint32_t request_id_of<SetMonitoringModeRequest>() {
  return encoding_id::SetMonitoringModeRequest;
}
template <>
constexpr std::uint32_t request_id_of<DeleteMonitoredItemsRequest>() {
  return encoding_id::DeleteMonitoredItemsRequest;
}
template <>
constexpr std::uint32_t request_id_of<DeleteSubscriptionsRequest>() {
  return encoding_id::DeleteSubscriptionsRequest;
}
template <>
constexpr std::uint32_t request_id_of<TransferSubscriptionsRequest>() {
  return encoding_id::TransferSubscriptionsRequest;
}

}  // namespace vexa32::opcua
