#include "platform/automation/typeinfo.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>

#include "platform/automation/convert.h"
#include "platform/automation/errors.h"
#include "platform/automation/text.h"

namespace vexa32 {
namespace {

std::uint64_t key(DISPID dispid, InvokeKind kind) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(dispid)) << 8) | static_cast<std::uint8_t>(kind);
}

// Arguments after coercion: up to kInline in place, more on the heap.
class CoercedArgs {
 public:
  explicit CoercedArgs(std::size_t n) {
    if (n > kInline) {
      heap_.reserve(n);
      data_ = nullptr;
    }
  }
  ~CoercedArgs() {
    if (data_) std::destroy_n(data_, count_);
  }
  CoercedArgs(const CoercedArgs&) = delete;
  CoercedArgs& operator=(const CoercedArgs&) = delete;

  void push(Variant v) {
    if (data_) {
      new (data_ + count_) Variant(std::move(v));
    } else {
      heap_.push_back(std::move(v));
    }
    ++count_;
  }
  InvokeArgs span() { return data_ ? InvokeArgs(data_, count_) : InvokeArgs(heap_.data(), heap_.size()); }
  Variant& operator[](std::size_t i) { return span()[i]; }

 private:
  static constexpr std::size_t kInline = 6;
  alignas(Variant) unsigned char storage_[kInline * sizeof(Variant)];
  Variant* data_ = reinterpret_cast<Variant*>(storage_);
  std::size_t count_ = 0;
  std::vector<Variant> heap_;
};

}  // namespace

TypeInfo& TypeInfo::add(MemberInfo member) {
  std::string lname = ascii_lower(member.name);
  auto named = by_name_.find(lname);
  if (named != by_name_.end() && named->second != member.dispid) {
    throw std::logic_error(name_ + ": member " + member.name + " declared with two DISPIDs");
  }
  if (!by_dispid_kind_.emplace(key(member.dispid, member.kind), members_.size()).second) {
    throw std::logic_error(name_ + ": duplicate member " + member.name);
  }
  by_name_.emplace(std::move(lname), member.dispid);
  members_.push_back(std::move(member));
  return *this;
}

const MemberInfo* TypeInfo::find(DISPID dispid, InvokeKind kind) const {
  auto it = by_dispid_kind_.find(key(dispid, kind));
  return it == by_dispid_kind_.end() ? nullptr : &members_[it->second];
}

std::optional<DISPID> TypeInfo::try_dispid_of(std::string_view name) const {
  // Lower-cased on the stack: a lookup by name allocates nothing for the names members have.
  char buffer[64];
  std::string long_name;
  std::string_view key;
  if (name.size() <= sizeof buffer) {
    for (std::size_t i = 0; i < name.size(); ++i) {
      buffer[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    }
    key = std::string_view(buffer, name.size());
  } else {
    long_name = ascii_lower(name);
    key = long_name;
  }
  auto it = by_name_.find(key);
  if (it == by_name_.end()) return std::nullopt;
  return it->second;
}

DISPID TypeInfo::dispid_of(std::string_view name) const {
  auto id = try_dispid_of(name);
  if (!id) throw member_not_found_error(std::string(name));
  return *id;
}

std::vector<std::string> TypeInfo::browsable_properties() const {
  std::vector<std::string> out;
  for (const auto& m : members_) {
    if (m.kind != InvokeKind::PropertyGet) continue;
    if (m.flags & (FUNCFLAG_FNONBROWSABLE | FUNCFLAG_FHIDDEN | FUNCFLAG_FRESTRICTED)) continue;
    out.push_back(m.name);
  }
  return out;
}

Variant Dispatch::Invoke(DISPID dispid, InvokeKind kind, std::span<Variant> args) {
  const TypeInfo& info = type_info();
  const MemberInfo* m = info.find(dispid, kind);
  // Late binding lets a parameterless method be read like a property and the other way round.
  if (!m && kind == InvokeKind::Method) m = info.find(dispid, InvokeKind::PropertyGet);
  if (!m && kind == InvokeKind::PropertyGet) m = info.find(dispid, InvokeKind::Method);
  if (!m || !m->handler) throw member_not_found_error(info.name() + " member " + std::to_string(dispid));

  const auto& params = m->params;
  if (args.size() > params.size()) throw argument_count_error(m->name);
  std::size_t given = args.size();

  // Most members take a few arguments: they are coerced into storage on the stack, and only as
  // many as the member declares are constructed.
  CoercedArgs coerced(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamInfo& p = params[i];
    if (i >= given || args[i].is_missing()) {
      if (!p.optional) throw argument_not_optional_error(m->name);
      coerced.push(Variant::missing());
      continue;
    }
    coerced.push(p.type == VT_VARIANT ? args[i] : change_type(args[i], p.type));
  }

  Variant result = m->handler(*this, coerced.span());
  for (std::size_t i = 0; i < given; ++i) {
    if (params[i].byref) args[i] = std::move(coerced[i]);
  }
  return result;
}

Variant Dispatch::Invoke(std::string_view name, InvokeKind kind, std::span<Variant> args) {
  return Invoke(type_info().dispid_of(name), kind, args);
}

Variant Dispatch::get(std::string_view name) { return Invoke(name, InvokeKind::PropertyGet, std::span<Variant>()); }

void Dispatch::put(std::string_view name, const Variant& value) {
  Variant args[1] = {value};
  Invoke(name, InvokeKind::PropertyPut, args);
}

Variant Dispatch::call(std::string_view name, std::vector<Variant> args) {
  return Invoke(name, InvokeKind::Method, args);
}

}  // namespace vexa32
