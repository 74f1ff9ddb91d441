#include "platform/automation/typeinfo.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "platform/automation/convert.h"
#include "platform/automation/errors.h"

namespace vexa32 {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::uint64_t key(DISPID dispid, InvokeKind kind) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(dispid)) << 8) | static_cast<std::uint8_t>(kind);
}

}  // namespace

TypeInfo& TypeInfo::add(MemberInfo member) {
  std::string lname = lower(member.name);
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
  auto it = by_name_.find(lower(name));
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

Variant Dispatch::Invoke(DISPID dispid, InvokeKind kind, std::vector<Variant>& args) {
  const TypeInfo& info = type_info();
  const MemberInfo* m = info.find(dispid, kind);
  // Late binding lets a parameterless method be read like a property and the other way round.
  if (!m && kind == InvokeKind::Method) m = info.find(dispid, InvokeKind::PropertyGet);
  if (!m && kind == InvokeKind::PropertyGet) m = info.find(dispid, InvokeKind::Method);
  if (!m || !m->handler) throw member_not_found_error(info.name() + " member " + std::to_string(dispid));

  const auto& params = m->params;
  if (args.size() > params.size()) throw argument_count_error(m->name);
  std::size_t given = args.size();

  std::vector<Variant> coerced;
  coerced.reserve(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamInfo& p = params[i];
    if (i >= given || args[i].is_missing()) {
      if (!p.optional) throw argument_not_optional_error(m->name);
      coerced.push_back(Variant::missing());
      continue;
    }
    coerced.push_back(p.type == VT_VARIANT ? args[i] : change_type(args[i], p.type));
  }

  Variant result = m->handler(*this, coerced);
  for (std::size_t i = 0; i < given; ++i) {
    if (params[i].byref) args[i] = std::move(coerced[i]);
  }
  return result;
}

Variant Dispatch::Invoke(std::string_view name, InvokeKind kind, std::vector<Variant>& args) {
  return Invoke(type_info().dispid_of(name), kind, args);
}

Variant Dispatch::get(std::string_view name) {
  std::vector<Variant> args;
  return Invoke(name, InvokeKind::PropertyGet, args);
}

void Dispatch::put(std::string_view name, const Variant& value) {
  std::vector<Variant> args{value};
  Invoke(name, InvokeKind::PropertyPut, args);
}

Variant Dispatch::call(std::string_view name, std::vector<Variant> args) {
  return Invoke(name, InvokeKind::Method, args);
}

}  // namespace vexa32
