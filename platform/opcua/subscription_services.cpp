#include "platform/opcua/subscription_services.h"

namespace vexa32::opcua {
namespace {

void encode_ids(Writer& w, const std::vector<std::uint32_t>& ids) {
  encode_array(w, ids, [](Writer& x, std::uint32_t id) { x.u32(id); });
}

void decode_data_changes(Reader& r, std::vector<ItemNotification>& out) {
  std::int32_t n = r.array_length(5);
  if (n > 0) out.reserve(out.size() + static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    std::uint32_t handle = r.u32();
    std::size_t start = r.position();
    skip_data_value(r);
    out.push_back(ItemNotification{handle, r.data().substr(start, r.position() - start)});
  }
  decode_diagnostics(r);
}

// MonitoringParameters: what is asked of a monitored item, when created and when modified.
void encode_parameters(Writer& x, std::uint32_t client_handle, double sampling_interval,
                       const std::optional<double>& percent_deadband, std::uint32_t queue_size) {
  x.u32(client_handle);
  x.f64(sampling_interval);
  if (percent_deadband) {
    Writer filter;
    filter.i32(1);  // trigger: status or value
    filter.u32(2);  // percent deadband
    filter.f64(*percent_deadband);
    encode(x, ExtensionObject{NodeId(0, encoding_id::DataChangeFilter), 1, filter.take()});
  } else {
    encode(x, ExtensionObject{});
  }
  x.u32(queue_size);
  x.boolean(true);  // discard the oldest
}

}  // namespace

void encode(Writer& w, const CreateSubscriptionRequest& v) {
  encode(w, v.header);
  w.f64(v.publishing_interval);
  w.u32(v.lifetime_count);
  w.u32(v.max_keep_alive_count);
  w.u32(v.max_notifications);
  w.boolean(v.publishing_enabled);
  w.u8(0);  // priority
}

void encode(Writer& w, const ModifySubscriptionRequest& v) {
  encode(w, v.header);
  w.u32(v.subscription_id);
  w.f64(v.publishing_interval);
  w.u32(v.lifetime_count);
  w.u32(v.max_keep_alive_count);
  w.u32(v.max_notifications);
  w.u8(0);
}

void encode(Writer& w, const SetPublishingModeRequest& v) {
  encode(w, v.header);
  w.boolean(v.enabled);
  encode_ids(w, v.subscription_ids);
}

void encode(Writer& w, const CreateMonitoredItemsRequest& v) {
  encode(w, v.header);
  w.u32(v.subscription_id);
  w.i32(2);  // time stamps: both
  encode_array(w, v.items, [](Writer& x, const MonitoredItemCreate& m) {
    encode(x, m.node);
    x.u32(13);  // the Value attribute
    x.null_string();
    encode(x, QualifiedName{});
    x.i32(m.monitoring_mode);
    encode_parameters(x, m.client_handle, m.sampling_interval, m.percent_deadband, m.queue_size);
  });
}

void encode(Writer& w, const ModifyMonitoredItemsRequest& v) {
  encode(w, v.header);
  w.u32(v.subscription_id);
  w.i32(2);  // time stamps: both
  encode_array(w, v.items, [](Writer& x, const MonitoredItemModify& m) {
    x.u32(m.monitored_item_id);
    encode_parameters(x, m.client_handle, m.sampling_interval, m.percent_deadband, m.queue_size);
  });
}

void decode(Reader& r, ModifyMonitoredItemsResponse& v) {
  decode(r, v.header);
  decode_array(r, v.results, 17, [](Reader& x) {
    StatusCode code = x.u32();
    x.f64();  // revised sampling interval
    x.u32();  // revised queue size
    decode_as<ExtensionObject>(x);
    return code;
  });
  decode_diagnostics(r);
}

void encode(Writer& w, const SetMonitoringModeRequest& v) {
  encode(w, v.header);
  w.u32(v.subscription_id);
  w.i32(v.monitoring_mode);
  encode_ids(w, v.monitored_item_ids);
}

void encode(Writer& w, const DeleteMonitoredItemsRequest& v) {
  encode(w, v.header);
  w.u32(v.subscription_id);
  encode_ids(w, v.monitored_item_ids);
}

void encode(Writer& w, const DeleteSubscriptionsRequest& v) {
  encode(w, v.header);
  encode_ids(w, v.subscription_ids);
}

void encode(Writer& w, const PublishRequest& v) {
  encode(w, v.header);
  encode_array(w, v.acknowledgements, [](Writer& x, const Acknowledgement& a) {
    x.u32(a.subscription_id);
    x.u32(a.sequence_number);
  });
}

void encode(Writer& w, const TransferSubscriptionsRequest& v) {
  encode(w, v.header);
  encode_ids(w, v.subscription_ids);
  w.boolean(v.send_initial_values);
}

void decode(Reader& r, TransferSubscriptionsResponse& v) {
  decode(r, v.header);
  decode_array(r, v.results, 8, [](Reader& x) {
    StatusCode code = x.u32();
    std::vector<std::uint32_t> available;
    decode_array(x, available, 4, [](Reader& y) { return y.u32(); });
    return code;
  });
  decode_diagnostics(r);
}

void decode(Reader& r, CreateSubscriptionResponse& v) {
  decode(r, v.header);
  v.subscription_id = r.u32();
  v.publishing_interval = r.f64();
  v.lifetime_count = r.u32();
  v.max_keep_alive_count = r.u32();
}

void decode(Reader& r, ModifySubscriptionResponse& v) {
  decode(r, v.header);
  v.publishing_interval = r.f64();
  v.lifetime_count = r.u32();
  v.max_keep_alive_count = r.u32();
}

void decode(Reader& r, CreateMonitoredItemsResponse& v) {
  decode(r, v.header);
  decode_array(r, v.results, 23, [](Reader& x) {
    MonitoredItemResult m;
    m.status = x.u32();
    m.monitored_item_id = x.u32();
    m.sampling_interval = x.f64();
    x.u32();  // revised queue size
    decode_as<ExtensionObject>(x);
    return m;
  });
  decode_diagnostics(r);
}

void decode(Reader& r, StatusListResponse& v) {
  decode(r, v.header);
  v.results = decode_status_codes(r);
  decode_diagnostics(r);
}

void decode(Reader& r, PublishResponse& v) {
  decode(r, v.header);
  v.subscription_id = r.u32();
  std::vector<std::uint32_t> available;
  decode_array(r, available, 4, [](Reader& x) { return x.u32(); });
  v.more_notifications = r.boolean();
  v.sequence_number = r.u32();
  v.publish_time = r.i64();
  std::int32_t n = r.array_length(3);
  v.keep_alive = n <= 0;
  v.limits = r.limits();
  for (std::int32_t i = 0; i < n; ++i) {
    // Read in place, as an ExtensionObject is, so the data changes can point into the answer.
    auto type_id = decode_as<NodeId>(r);
    std::uint8_t encoding = r.u8();
    if (encoding > 2) throw DecodeError("an ExtensionObject has an unknown encoding");
    std::string_view bytes = encoding == 0 ? std::string_view() : r.string_in_place().value_or(std::string_view());
    if (encoding != 1 || type_id.ns != 0 || type_id.kind != NodeId::Kind::Numeric) continue;
    Reader body(bytes, r.limits());
    switch (type_id.numeric) {
      case encoding_id::DataChangeNotification: decode_data_changes(body, v.data_changes); break;
      case encoding_id::StatusChangeNotification:
        v.status_change = body.u32();
        decode_as<DiagnosticInfo>(body);
        break;
      case encoding_id::EventNotificationList: {
        // Events are not delivered here, but they are read so a malformed list is noticed.
        std::int32_t events = body.array_length(8);
        for (std::int32_t e = 0; e < events; ++e) {
          body.u32();
          std::int32_t fields = body.array_length(1);
          for (std::int32_t f = 0; f < fields; ++f) decode_as<UaVariant>(body);
        }
        break;
      }
      default: break;
    }
  }
  decode_status_codes(r);
  decode_diagnostics(r);
}

}  // namespace vexa32::opcua
