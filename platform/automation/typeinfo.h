#pragma once
// Type information and late binding: a class publishes its members in interface order with fixed
// DISPIDs, kinds, parameter types and flags; Invoke finds a member by name (without regard to case)
// or DISPID and coerces every argument to its declared type before the member runs, so a caller
// that passes text for a number gets the member's own conversion and its errors.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/automation/variant.h"

namespace vexa32 {

using DISPID = std::int32_t;

enum class InvokeKind : std::uint8_t { Method = 1, PropertyGet = 2, PropertyPut = 4 };

inline constexpr std::uint32_t FUNCFLAG_FRESTRICTED = 0x1;
inline constexpr std::uint32_t FUNCFLAG_FSOURCE = 0x2;
inline constexpr std::uint32_t FUNCFLAG_FBINDABLE = 0x4;
inline constexpr std::uint32_t FUNCFLAG_FHIDDEN = 0x40;
inline constexpr std::uint32_t FUNCFLAG_FNONBROWSABLE = 0x400;

class Dispatch;

// The arguments a member receives, coerced to their declared types; byref ones may be written.
using InvokeArgs = std::span<Variant>;

struct ParamInfo {
  std::string name;
  VarType type = VT_VARIANT;
  bool optional = false;  // an omitted optional argument arrives as Variant::missing()
  bool byref = false;     // the member may write it; Invoke copies it back to the caller
};

struct MemberInfo {
  using Handler = std::function<Variant(Dispatch& self, InvokeArgs args)>;

  std::string name;
  DISPID dispid = 0;
  InvokeKind kind = InvokeKind::Method;
  // For a put, the single parameter is the new value.
  std::vector<ParamInfo> params;
  VarType result = VT_EMPTY;  // VT_EMPTY: no result
  std::uint32_t flags = 0;
  Handler handler;
};

class TypeInfo {
 public:
  explicit TypeInfo(std::string name) : name_(std::move(name)) {}

  // Appends a member; a duplicate (DISPID, kind) or a name reused with another DISPID is a
  // programming error and throws std::logic_error.
  TypeInfo& add(MemberInfo member);

  const std::string& name() const noexcept { return name_; }
  const std::vector<MemberInfo>& members() const noexcept { return members_; }
  const MemberInfo* find(DISPID dispid, InvokeKind kind) const;
  // GetIDsOfNames: the DISPID of a name matched without regard to case; member not found otherwise.
  DISPID dispid_of(std::string_view name) const;
  std::optional<DISPID> try_dispid_of(std::string_view name) const;

  // What a property browser lists: names of properties with a get, in interface order, leaving out
  // those flagged non-browsable, hidden or restricted.
  std::vector<std::string> browsable_properties() const;

 private:
  std::string name_;
  std::vector<MemberInfo> members_;
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, DISPID, NameHash, std::equal_to<>> by_name_;  // lower-case name
  std::unordered_map<std::uint64_t, std::size_t> by_dispid_kind_;  // (dispid, kind) -> index
};

// Base of every late-bound automation object.
class Dispatch {
 public:
  virtual ~Dispatch() = default;
  virtual const TypeInfo& type_info() const = 0;

  // Arguments in declared order (left to right). Missing trailing optional arguments are filled
  // with Variant::missing(); byref arguments are written back into args.
  Variant Invoke(DISPID dispid, InvokeKind kind, std::span<Variant> args);
  Variant Invoke(std::string_view name, InvokeKind kind, std::span<Variant> args);

  Variant get(std::string_view name);
  void put(std::string_view name, const Variant& value);
  Variant call(std::string_view name, std::vector<Variant> args = {});
};

// Builds the TypeInfo of class T with typed handlers.
template <class T>
class TypeInfoBuilder {
 public:
  explicit TypeInfoBuilder(std::string name) : info_(std::move(name)) {}

  TypeInfoBuilder& get(std::string name, DISPID dispid, VarType type, std::function<Variant(T&)> f,
                       std::uint32_t flags = 0) {
    MemberInfo m;
    m.name = std::move(name);
    m.dispid = dispid;
    m.kind = InvokeKind::PropertyGet;
    m.result = type;
    m.flags = flags;
    m.handler = [f = std::move(f)](Dispatch& self, InvokeArgs) { return f(static_cast<T&>(self)); };
    info_.add(std::move(m));
    return *this;
  }

  TypeInfoBuilder& put(std::string name, DISPID dispid, VarType type, std::function<void(T&, const Variant&)> f,
                       std::uint32_t flags = 0) {
    MemberInfo m;
    m.name = std::move(name);
    m.dispid = dispid;
    m.kind = InvokeKind::PropertyPut;
    m.params = {ParamInfo{"value", type}};
    m.flags = flags;
    m.handler = [f = std::move(f)](Dispatch& self, InvokeArgs args) {
      f(static_cast<T&>(self), args[0]);
      return Variant();
    };
    info_.add(std::move(m));
    return *this;
  }

  TypeInfoBuilder& method(std::string name, DISPID dispid, std::vector<ParamInfo> params, VarType result,
                          std::function<Variant(T&, InvokeArgs)> f, std::uint32_t flags = 0) {
    MemberInfo m;
    m.name = std::move(name);
    m.dispid = dispid;
    m.kind = InvokeKind::Method;
    m.params = std::move(params);
    m.result = result;
    m.flags = flags;
    m.handler = [f = std::move(f)](Dispatch& self, InvokeArgs args) {
      return f(static_cast<T&>(self), args);
    };
    info_.add(std::move(m));
    return *this;
  }

  // An event of a source interface: a method with no handler.
  TypeInfoBuilder& event(std::string name, DISPID dispid, std::vector<ParamInfo> params = {}) {
    MemberInfo m;
    m.name = std::move(name);
    m.dispid = dispid;
    m.kind = InvokeKind::Method;
    m.params = std::move(params);
    info_.add(std::move(m));
    return *this;
  }

  TypeInfo build() { return std::move(info_); }

 private:
  TypeInfo info_;
};

}  // namespace vexa32
