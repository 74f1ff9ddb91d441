// A UA server's address space as an OPC DA browser: the root is the Objects folder, branches are
// the Objects and Views reached forward by hierarchical references, leaves are the Variables
// (properties left out), and a leaf's item ID is its NodeId's text.

#include <unordered_set>

#include "platform/automation/convert.h"
#include "platform/opcda/arguments.h"
#include "platform/opcda/wildcard.h"
#include "platform/opcua/da/ua_p.h"
#include "platform/opcua/da/values.h"

namespace vexa32::opcua {
namespace {

constexpr std::uint32_t kObjectsFolder = 85, kHasProperty = 46, kPropertyType = 68;
// Asking for references in pages keeps each answer small; a large folder continues with BrowseNext.
constexpr std::uint32_t kReferencesPerAnswer = 1000;
constexpr std::size_t kNodesPerBrowse = 50;
// A flat walk stops here rather than run without end through a server that generates nodes.
constexpr std::size_t kMaxWalk = 200000;

struct Child {
  std::string name;
  NodeId node;
  std::int32_t node_class = 0;
  bool is_branch() const { return node_class == node_class::Object || node_class == node_class::View; }
};

class UaBrowser final : public opcda::OPCBrowser {
 public:
  explicit UaBrowser(std::shared_ptr<UaConnection> c) : conn_(std::move(c)) {
    path_.push_back(NodeId(0, kObjectsFolder));
  }

  std::int32_t get_Organization() override { return (conn_->live(), opcda::OPCHierarchical); }
  std::string get_Filter() override { return (conn_->live(), filter_); }
  void put_Filter(const std::string& f) override { (conn_->live(), filter_ = f); }
  std::int16_t get_DataType() override { return (conn_->live(), data_type_); }
  void put_DataType(std::int16_t t) override { (conn_->live(), data_type_ = t); }
  std::int32_t get_AccessRights() override { return (conn_->live(), access_); }
  void put_AccessRights(std::int32_t a) override {
    conn_->live();
    if (a < 0 || a > 3) throw opcda::bad_argument("access rights are 0 to 3");
    access_ = a;
  }
  std::string get_CurrentPosition() override {
    conn_->live();
    return path_.size() == 1 ? std::string() : to_string(path_.back());
  }
  std::int32_t get_Count() override { return (conn_->live(), static_cast<std::int32_t>(names_.size())); }
  std::string Item(const Variant& index) override {
    conn_->live();
    std::int32_t i = to_i4(index);
    if (i < 1 || i > static_cast<std::int32_t>(names_.size())) throw opcda::bad_argument("no entry at that index");
    return names_[static_cast<std::size_t>(i - 1)];
  }

  void ShowBranches() override {
    names_.clear();
    for (const auto& c : children()) {
      if (c.is_branch() && opcda::match_pattern(c.name, filter_)) names_.push_back(c.name);
    }
  }

  void ShowLeafs(const Variant& flat) override {
    conn_->live();
    bool all = !flat.is_missing() && to_bool(flat) != 0;
    std::vector<Child> leaves;
    std::vector<std::string> names;
    if (all) {
      for (auto& c : walk()) {
        std::string id = to_string(c.node);
        if (opcda::match_pattern(id, filter_)) {
          names.push_back(std::move(id));
          leaves.push_back(std::move(c));
        }
      }
    } else {
      for (const auto& c : children()) {
        if (c.node_class == node_class::Variable && opcda::match_pattern(c.name, filter_)) {
          names.push_back(c.name);
          leaves.push_back(c);
        }
      }
    }
    names_.clear();
    auto keep = filter_by_type(leaves);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (keep[i]) names_.push_back(std::move(names[i]));
    }
  }

  void MoveUp() override {
    conn_->live();
    if (path_.size() == 1) throw hresult_error(hr::E_FAIL, "already at the root");
    path_.pop_back();
    children_.reset();
  }
  void MoveToRoot() override {
    conn_->live();
    path_.resize(1);
    children_.reset();
  }
  void MoveDown(const std::string& branch) override {
    for (const auto& c : children()) {
      if (c.is_branch() && c.name == branch) {
        path_.push_back(c.node);
        children_.reset();
        return;
      }
    }
    throw opcda::bad_argument("no branch \"" + branch + "\" here");
  }
  std::string GetItemID(const std::string& leaf) override {
    for (const auto& c : children()) {
      if (c.node_class == node_class::Variable && c.name == leaf) return to_string(c.node);
    }
    throw hresult_error(hr::OPC_E_UNKNOWNITEMID, "no leaf \"" + leaf + "\" here");
  }

 private:
  const std::vector<Child>& children() {
    conn_->live();
    if (!children_) children_ = std::move(browse({path_.back()}).front());
    return *children_;
  }

  // The children of each node, every page of them.
  std::vector<std::vector<Child>> browse(const std::vector<NodeId>& nodes) {
    std::vector<std::vector<Child>> out(nodes.size());
    for (std::size_t first = 0; first < nodes.size(); first += kNodesPerBrowse) {
      std::size_t last = std::min(nodes.size(), first + kNodesPerBrowse);
      BrowseRequest request;
      request.max_references_per_node = kReferencesPerAnswer;
      for (std::size_t i = first; i < last; ++i) {
        BrowseDescription d;
        d.node = nodes[i];
        d.node_class_mask = node_class::Object | node_class::Variable | node_class::View;
        request.nodes.push_back(std::move(d));
      }
      auto response = conn_->service([&](Client& c) { return c.browse(std::move(request)); });
      collect(response, first, last - first, out);
    }
    return out;
  }

  // Takes in one answer and follows its continuation points until every page is in.
  void collect(BrowseResponse& response, std::size_t first, std::size_t count, std::vector<std::vector<Child>>& out) {
    std::vector<std::size_t> owner(count);
    for (std::size_t k = 0; k < count; ++k) owner[k] = first + k;
    while (true) {
      if (response.results.size() != owner.size())
        throw hresult_error(hr::E_FAIL, "The server answered a Browse with the wrong number of results");
      BrowseNextRequest next;
      std::vector<std::size_t> next_owner;
      for (std::size_t k = 0; k < owner.size(); ++k) {
        auto& r = response.results[k];
        if (status::is_bad(r.status)) continue;  // a node that cannot be browsed has no children here
        for (auto& ref : r.references) add_child(ref, out[owner[k]]);
        if (r.continuation_point && !r.continuation_point->empty()) {
          next.continuation_points.push_back(*r.continuation_point);
          next_owner.push_back(owner[k]);
        }
      }
      if (next_owner.empty()) return;
      response = conn_->service([&](Client& c) { return c.browse_next(std::move(next)); });
      owner = std::move(next_owner);
    }
  }

  static void add_child(ReferenceDescription& ref, std::vector<Child>& into) {
    if (ref.node.server_index != 0 || ref.node.namespace_uri) return;  // on another server
    if (ref.reference_type == NodeId(0, kHasProperty)) return;
    if (ref.node_class == node_class::Variable && ref.type_definition.node == NodeId(0, kPropertyType)) return;
    into.push_back({ref.browse_name.name.value_or(std::string()), std::move(ref.node.node), ref.node_class});
  }

  // Every variable below the current branch, through its objects; each node once.
  std::vector<Child> walk() {
    std::vector<Child> leaves;
    std::unordered_set<NodeId, NodeIdHash> seen{path_.back()};
    std::vector<NodeId> level{path_.back()};
    while (!level.empty() && seen.size() < kMaxWalk) {
      auto found = browse(level);
      level.clear();
      for (auto& list : found) {
        for (auto& c : list) {
          if (!seen.insert(c.node).second) continue;
          if (c.is_branch()) {
            level.push_back(c.node);
          } else if (c.node_class == node_class::Variable) {
            leaves.push_back(std::move(c));
          }
        }
      }
    }
    return leaves;
  }

  // The data-type and access filters need each leaf's DataType, ValueRank and AccessLevel.
  std::vector<bool> filter_by_type(std::vector<Child>& leaves) {
    std::vector<bool> keep(leaves.size(), true);
    if (data_type_ == VT_EMPTY && access_ == 0) return keep;
    std::vector<UaItem> items(leaves.size());
    for (std::size_t i = 0; i < leaves.size(); ++i) items[i].node = leaves[i].node;
    auto described = conn_->describe(items);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      if (described[i] != hr::S_OK) {
        keep[i] = false;
        continue;
      }
      if (data_type_ != VT_EMPTY && static_cast<VarType>(static_cast<std::uint16_t>(data_type_)) != items[i].canonical)
        keep[i] = false;
      if (access_ != 0 && (items[i].access & access_) != access_) keep[i] = false;
    }
    return keep;
  }

  std::shared_ptr<UaConnection> conn_;
  std::vector<NodeId> path_;
  std::optional<std::vector<Child>> children_;
  std::string filter_;
  std::int16_t data_type_ = VT_EMPTY;
  std::int32_t access_ = 0;
  std::vector<std::string> names_;
};

}  // namespace

std::shared_ptr<opcda::OPCBrowser> make_ua_browser(std::shared_ptr<UaConnection> connection) {
  return std::make_shared<UaBrowser>(std::move(connection));
}

}  // namespace vexa32::opcua
