// The text forms of NodeIds: what item IDs and browse positions look like to a user.

#include <charconv>
#include <cstdio>

#include "platform/opcua/encoding.h"

namespace vexa32::opcua {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(std::string_view in) {
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    std::uint32_t v = (static_cast<std::uint8_t>(in[i]) << 16) | (static_cast<std::uint8_t>(in[i + 1]) << 8) |
                      static_cast<std::uint8_t>(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out.push_back(kBase64[(v >> k) & 63]);
  }
  std::size_t rest = in.size() - i;
  if (rest > 0) {
    std::uint32_t v = static_cast<std::uint8_t>(in[i]) << 16;
    if (rest == 2) v |= static_cast<std::uint8_t>(in[i + 1]) << 8;
    out.push_back(kBase64[(v >> 18) & 63]);
    out.push_back(kBase64[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kBase64[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view in) {
  if (in.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 4) {
    std::uint32_t v = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      char c = in[i + k];
      int d;
      if (c == '=') {
        // Padding only at the very end, at most two.
        if (i + 4 != in.size() || k < 2) return std::nullopt;
        ++pad;
        d = 0;
      } else {
        if (pad) return std::nullopt;
        const char* p = std::char_traits<char>::find(kBase64, 64, c);
        if (!p) return std::nullopt;
        d = static_cast<int>(p - kBase64);
      }
      v = (v << 6) | static_cast<std::uint32_t>(d);
    }
    out.push_back(static_cast<char>((v >> 16) & 0xFF));
    if (pad < 2) out.push_back(static_cast<char>((v >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

template <typename T>
std::optional<T> parse_unsigned(std::string_view s) {
  T v{};
  if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<std::uint32_t> hex_field(std::string_view s, std::size_t digits) {
  if (s.size() != digits) return std::nullopt;
  std::uint32_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<Guid> parse_guid(std::string_view s) {
  // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return std::nullopt;
  Guid g;
  auto d1 = hex_field(s.substr(0, 8), 8), d2 = hex_field(s.substr(9, 4), 4), d3 = hex_field(s.substr(14, 4), 4);
  if (!d1 || !d2 || !d3) return std::nullopt;
  g.data1 = *d1;
  g.data2 = static_cast<std::uint16_t>(*d2);
  g.data3 = static_cast<std::uint16_t>(*d3);
  std::string tail = std::string(s.substr(19, 4)) + std::string(s.substr(24, 12));
  for (std::size_t i = 0; i < 8; ++i) {
    auto b = hex_field(std::string_view(tail).substr(i * 2, 2), 2);
    if (!b) return std::nullopt;
    g.data4[i] = static_cast<std::uint8_t>(*b);
  }
  return g;
}

}  // namespace

std::string to_string(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.data1, g.data2, g.data3,
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

std::string to_string(const NodeId& id) {
  std::string out = id.ns ? "ns=" + std::to_string(id.ns) + ";" : std::string();
  switch (id.kind) {
    case NodeId::Kind::Numeric: return out + "i=" + std::to_string(id.numeric);
    case NodeId::Kind::String: return out + "s=" + id.text;
    case NodeId::Kind::Guid: return out + "g=" + to_string(id.guid);
    case NodeId::Kind::Opaque: return out + "b=" + base64_encode(id.text);
  }
  return out;
}

std::optional<ExpandedNodeId> parse_node_id(std::string_view text) {
  ExpandedNodeId out;
  if (text.starts_with("nsu=")) {
    auto semi = text.find(';');
    if (semi == std::string_view::npos || semi == 4) return std::nullopt;
    out.namespace_uri = std::string(text.substr(4, semi - 4));
    text.remove_prefix(semi + 1);
  } else if (text.starts_with("ns=")) {
    auto semi = text.find(';');
    if (semi == std::string_view::npos) return std::nullopt;
    auto ns = parse_unsigned<std::uint16_t>(text.substr(3, semi - 3));
    if (!ns) return std::nullopt;
    out.node.ns = *ns;
    text.remove_prefix(semi + 1);
  }
  if (text.size() < 2 || text[1] != '=') return std::nullopt;
  std::string_view id = text.substr(2);
  switch (text[0]) {
    case 'i': {
      auto n = parse_unsigned<std::uint32_t>(id);
      if (!n) return std::nullopt;
      out.node.numeric = *n;
      return out;
    }
    case 's':
      if (id.empty()) return std::nullopt;
      out.node.kind = NodeId::Kind::String;
      out.node.text = std::string(id);
      return out;
    case 'g': {
      auto g = parse_guid(id);
      if (!g) return std::nullopt;
      out.node.kind = NodeId::Kind::Guid;
      out.node.guid = *g;
      return out;
    }
    case 'b': {
      auto bytes = base64_decode(id);
      if (!bytes || bytes->empty()) return std::nullopt;
      out.node.kind = NodeId::Kind::Opaque;
      out.node.text = std::move(*bytes);
      return out;
    }
    default: return std::nullopt;
  }
}

}  // namespace vexa32::opcua
