// The vexa32 Python module: the control and its servers from Python scripts, through the same
// late-bound interface that pages and script hosts use.

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>

#include "opc/browser_class.h"
#include "platform/apartment/apartment.h"
#include "platform/automation/convert.h"
#include "platform/automation/date.h"
#include "platform/container/form_file.h"
#include "platform/container/login_service.h"
#include "platform/container/services.h"
#include "platform/opcda/registry.h"
#include "platform/opcda/simulation.h"
#include "python/objects.h"
#include "python/values.h"
#ifdef VEXA32_WITH_DCOM
#include "platform/dcom/da/dcom_server.h"
#endif
#ifdef VEXA32_WITH_OPCUA
#include "platform/opcua/da/ua_server.h"
#include "platform/opcua/decisions.h"
#include "platform/opcua/pki/pki.h"
#endif

namespace vexa32::python {
namespace {

#ifdef VEXA32_WITH_OPCUA
// A UA failure as the module's AutomationError (E_FAIL), with the stack's own message.
[[noreturn]] void raise_ua(const std::exception& e) { throw hresult_error(hr::E_FAIL, e.what()); }

py::object crypto_time(std::time_t t) {
  return to_python(Variant::date(date_from_time_point(std::chrono::system_clock::from_time_t(t))));
}

// Trusts the certificate of the server the address leads to; what was trusted.
py::dict trust_server(const std::string& address) {
  try {
    const auto certificate = opcua::server_certificate(address);
    opcua::Pki pki;
    py::dict out;
    out["subject"] = certificate.subject();
    out["issuer"] = certificate.issuer();
    out["thumbprint"] = certificate.thumbprint_hex();
    out["not_before"] = crypto_time(certificate.not_before());
    out["not_after"] = crypto_time(certificate.not_after());
    out["application_uri"] = certificate.application_uri();
    out["path"] = pki.trust(certificate);
    return out;
  } catch (const opcua::UaError& e) {
    raise_ua(e);
  } catch (const opcua::crypto::CryptoError& e) {
    raise_ua(e);
  }
}

#endif

#if defined(VEXA32_WITH_OPCUA) || defined(VEXA32_WITH_DCOM)
// The host's side of the client's questions: the Python functions given to on_untrusted_certificate
// and on_login. Without one, or when one raises (printed as unraisable), the answer is "refuse".
#ifdef VEXA32_WITH_OPCUA
using HostQuestions = opcua::DecisionService;
#else
using HostQuestions = LoginService;
#endif
class PythonDecisions final : public HostQuestions {
 public:
#ifdef VEXA32_WITH_OPCUA
  opcua::TrustAnswer untrusted_server(const opcua::UntrustedServer& s) override {
    py::gil_scoped_acquire gil;
    if (on_trust.is_none()) return opcua::TrustAnswer::Refuse;
    try {
      py::dict info;
      info["url"] = s.url;
      info["subject"] = s.certificate.subject();
      info["issuer"] = s.certificate.issuer();
      info["thumbprint"] = s.certificate.thumbprint_hex();
      info["not_before"] = crypto_time(s.certificate.not_before());
      info["not_after"] = crypto_time(s.certificate.not_after());
      info["application_uri"] = s.certificate.application_uri();
      info["problem"] = s.message;
      info["can_trust"] = s.can_trust;
      const py::object answer = on_trust(info);
      if (py::isinstance<py::str>(answer)) {
        const auto text = answer.cast<std::string>();
        if (text == "trust") return opcua::TrustAnswer::Trust;
        if (text == "session") return opcua::TrustAnswer::TrustForSession;
      }
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("vexa32.on_untrusted_certificate");
    }
    return opcua::TrustAnswer::Refuse;
  }
#endif

  std::optional<LoginAnswer> login(const LoginQuestion& q) override {
    py::gil_scoped_acquire gil;
    if (on_login.is_none()) return std::nullopt;
    try {
      py::dict info;
      info["url"] = q.url;
      info["host"] = q.host;
      info["port"] = q.port;
      info["user"] = q.user;
      info["refusal"] = q.refusal;
      info["attempt"] = q.attempt;
      info["windows_user"] = q.windows_user;  // a DCOM node's account, not a UA server's user
      const py::object answer = on_login(info);
      if (answer.is_none()) return std::nullopt;
      const auto fields = answer.cast<py::tuple>();
      if (fields.size() < 2 || fields.size() > 3)
        throw py::value_error("on_login returns (user, password[, remember])");
      LoginAnswer out{fields[0].cast<std::string>(), fields[1].cast<std::string>(),
                      fields.size() == 3 && fields[2].cast<bool>()};
      return out;
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("vexa32.on_login");
    } catch (const py::cast_error&) {
      PyErr_SetString(PyExc_TypeError, "on_login returns None or (user, password[, remember])");
      PyErr_WriteUnraisable(nullptr);
    }
    return std::nullopt;
  }

  py::object on_trust = py::none(), on_login = py::none();
};

PythonDecisions& decisions() {
  // Lives as long as the process: Python objects must not be released after the interpreter ends.
  static auto* d = [] {
    auto* p = new std::shared_ptr<PythonDecisions>(std::make_shared<PythonDecisions>());
#ifdef VEXA32_WITH_OPCUA
    opcua::set_decision_service(*p);
#else
    set_login_service(*p);
#endif
    return p;
  }();
  return **d;
}
#endif

// Defined in Python, so that they behave as any Python exception (str, pickling, subclassing):
// MemberNotFoundError is an AttributeError too, so hasattr() and getattr(o, name, default) work.
constexpr const char* kExceptions = R"py(
class AutomationError(Exception):
    """A failing member: number is what a script host shows as Err.Number, hresult the HRESULT."""

    def __init__(self, number, hresult, description):
        super().__init__(number, hresult, description)
        self.number = number
        self.hresult = hresult
        self.description = description

    def __str__(self):
        return "%s (error %d, 0x%08X)" % (self.description, self.number, self.hresult & 0xFFFFFFFF)


class MemberNotFoundError(AutomationError, AttributeError):
    """No member of that name."""


class _NullType:
    """The automation value Null (VT_NULL): unknown or missing data, unlike None (VT_EMPTY)."""

    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self):
        return "vexa32.Null"

    def __bool__(self):
        return False


Null = _NullType()
)py";

// The apartment of the importing thread. It lives as long as the process: controls that Python
// collects during its shutdown still disconnect on it.
Apartment& module_apartment() {
  static Apartment* a = new Apartment();
  return *a;
}

std::chrono::milliseconds to_ms(double seconds) {
  if (!(seconds >= 0)) throw py::value_error("the time must be a number of seconds, 0 or more");
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
}

void pump(double seconds) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + to_ms(seconds);
  do {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock::now());
    run_slice(std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(50)));
  } while (clock::now() < end);
}

bool wait_for(const py::function& predicate, double timeout) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + to_ms(timeout);
  for (;;) {
    if (py::bool_(predicate())) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock::now());
    if (left.count() <= 0) return false;
    run_slice(std::min(left, std::chrono::milliseconds(20)));
  }
}

std::vector<std::string> servers(const std::string& node) {
  auto server = opcda::create_opc_server();
  Variant list = server->GetOPCServers(node.empty() ? Variant::missing() : Variant(node));
  std::vector<std::string> out;
  if (list.is_array()) {
    for (const auto& e : list.array().elements()) out.push_back(to_bstr(e));
  }
  return out;
}

py::dict load_form(const std::string& path) {
  Form form = load_form_file(path);
  py::dict out;
  for (auto& c : form.controls) {
    if (c.class_name != vexa::kClassName) continue;
    auto control = std::make_shared<Control>();
    control->control->ReadProperties(c.properties);
    out[py::str(c.name)] = control;
  }
  return out;
}

// The ItemIDs of a server's address space, walked as the tag browser walks it (through the
// browser wrapper): a branch's leaves, then its branches one by one. The connection is closed
// when the walk ends or the iterator is dropped.
class Browse {
 public:
  Browse(const std::string& server, const std::string& node) : server_(opcda::create_opc_server()) {
    server_->Connect(server, node.empty() ? Variant::missing() : Variant(node));
    auto browser = server_->CreateBrowser();
    if (!browser) throw hresult_error(hr::E_FAIL, "The server " + server + " cannot browse its address space");
    wrapper_.SetBrowserObject(std::move(browser));
    std::int32_t organization = 0;
    step(wrapper_.GetBrowserOrganization(organization), "GetBrowserOrganization");
    flat_ = organization == opcda::OPCFlat;
    pending_.push_back({});
  }
  ~Browse() { close(); }
  Browse(const Browse&) = delete;
  Browse& operator=(const Browse&) = delete;

  std::string next() {
    while (ids_.empty()) {
      if (pending_.empty()) {
        close();
        throw py::stop_iteration();
      }
      auto path = std::move(pending_.back());
      pending_.pop_back();
      visit(path);
    }
    std::string id = std::move(ids_.front());
    ids_.pop_front();
    return id;
  }

 private:
  // Deeper than any real address space; a server whose references loop ends there.
  static constexpr std::size_t kMaxDepth = 64;

  void step(const Variant& status, const char* what) {
    if (status.vt() == VT_BOOL && status.boolean() == VARIANT_FALSE)
      throw hresult_error(hr::E_FAIL, std::string("The server's browser refused ") + what);
  }

  std::vector<std::string> names() {
    std::vector<std::string> out;
    const std::int32_t count = to_i4(wrapper_.GetItemCount());
    for (std::int32_t i = 1; i <= count; ++i) {
      std::string name;
      step(wrapper_.GetItemName(name, Variant(i)), "GetItemName");
      out.push_back(std::move(name));
    }
    return out;
  }

  void visit(const std::vector<std::string>& path) {
    step(wrapper_.MoveToRoot(), "MoveToRoot");
    for (const auto& branch : path) step(wrapper_.MoveDown(branch), "MoveDown");
    step(wrapper_.SetFilter(""), "SetFilter");
    step(flat_ ? wrapper_.ShowLeafs(Variant(false)) : wrapper_.ShowLeafs(), "ShowLeafs");
    for (const auto& leaf : names()) ids_.push_back(to_bstr(wrapper_.GetItemID(leaf)));
    if (flat_ || path.size() >= kMaxDepth) return;
    step(wrapper_.ShowBranches(), "ShowBranches");
    auto branches = names();
    // Last pushed, first walked: the branches in the server's order.
    for (auto it = branches.rbegin(); it != branches.rend(); ++it) {
      auto child = path;
      child.push_back(*it);
      pending_.push_back(std::move(child));
    }
  }

  void close() {
    if (!server_) return;
    try {
      server_->Disconnect();
    } catch (const AutomationError&) {
      // Closing is all that is left to do; a server already gone is closed too.
    }
    server_.reset();
  }

  std::shared_ptr<opcda::OPCServer> server_;
  OPCBrowserClass wrapper_;
  bool flat_ = false;
  std::vector<std::vector<std::string>> pending_;  // branch paths still to walk
  std::deque<std::string> ids_;
};

// The embedded simulation server of a ProgID, for scripts that test against it.
class Simulation {
 public:
  explicit Simulation(const std::string& prog_id)
      : server_(
            std::dynamic_pointer_cast<opcda::SimulationServer>(opcda::ServerRegistry::instance().registered(prog_id))) {
    if (!server_) throw py::value_error(prog_id + " is no embedded simulation server");
  }
  std::size_t connections() const { return server_->connection_count(); }
  std::size_t groups() const { return server_->group_count(); }
  std::size_t items() const { return server_->item_count(); }
  void set_value(const std::string& item_id, py::handle value) { server_->set_value(item_id, from_python(value)); }
  void set_quality(const std::string& item_id, std::int32_t quality) { server_->set_quality(item_id, quality); }
  void shut_down(const std::string& reason) { server_->shut_down(reason); }

 private:
  std::shared_ptr<opcda::SimulationServer> server_;
};

}  // namespace

}  // namespace vexa32::python

PYBIND11_MODULE(vexa32, m) {
  using namespace vexa32;
  using namespace vexa32::python;
  m.doc() = "VEXA32: the vexa OPC client control and its servers, by name as a script host reaches them.";
  py::exec(kExceptions, m.attr("__dict__"));
  m.attr("__all__") = py::make_tuple("AutomationError", "MemberNotFoundError", "Null", "Object", "Control", "Slot",
                                     "Simulation", "load_form", "pump", "wait_for", "servers", "browse", "trust_server",
                                     "pki_folder", "on_untrusted_certificate", "on_login");
  init_values(m);
  module_apartment();
#ifdef VEXA32_WITH_OPCUA
  opcua::install_opcua(opcda::ServerRegistry::instance());
#endif
#ifdef VEXA32_WITH_DCOM
  dcom::da::install_dcom(opcda::ServerRegistry::instance());
#endif
  // A message box has no one to show it to here: its text goes to stderr.
  set_message_box_service(std::make_shared<StderrMessageBox>());

  static auto* automation_error = new py::object(m.attr("AutomationError"));
  static auto* member_not_found = new py::object(m.attr("MemberNotFoundError"));
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const AutomationError& e) {
      const py::object& type = e.number() == rt::ObjectDoesNotSupport ? *member_not_found : *automation_error;
      py::object error = type(e.number(), static_cast<std::uint32_t>(e.hresult()), std::string(e.what()));
      PyErr_SetObject(type.ptr(), error.ptr());
    }
  });

  bind_objects(m);
  m.def("pump", &pump, py::arg("seconds"),
        "Runs the message loop for that many seconds: events arrive and handlers run meanwhile.");
  m.def("wait_for", &wait_for, py::arg("predicate"), py::arg("timeout"),
        "Runs the loop until predicate() is true (True) or timeout seconds have passed (False).");
  m.def("servers", &servers, py::arg("node") = "",
        "The server list of a node: its ProgIDs, then the UA servers found there.");
  m.def("load_form", &load_form, py::arg("path"), "The vexa controls of a form file, by name.");
#ifdef VEXA32_WITH_OPCUA
  m.def("trust_server", &trust_server, py::arg("address"),
        "Trusts the certificate of the OPC UA server the address leads to; its subject, issuer, thumbprint, "
        "validity, application URI and the path it is stored at.");
  m.def(
      "pki_folder", [] { return opcua::Pki::default_folder(); },
      "The certificate store: own, trusted, issuers and rejected certificates.");
  m.def(
      "on_untrusted_certificate", [](py::object f) { decisions().on_trust = std::move(f); }, py::arg("f"),
      "f(info) is asked when a server's certificate is not trusted: info has url, subject, issuer, thumbprint, "
      "not_before, not_after, application_uri, problem and can_trust; it returns 'trust' (stored), 'session' "
      "(until the process ends) or anything else to refuse. None removes it.");
#endif
#if defined(VEXA32_WITH_OPCUA) || defined(VEXA32_WITH_DCOM)
  decisions();
  m.def(
      "on_login", [](py::object f) { decisions().on_login = std::move(f); }, py::arg("f"),
      "f(info) is asked for a login the password file does not hold: info has url, host, port, user (empty when "
      "the address names none), refusal (the server's refusal of the last attempt), attempt (1 to 3) and "
      "windows_user (True for a DCOM node's Windows account, port 135 or the node's); it "
      "returns (user, password) or (user, password, remember), or None. None removes it.");
#endif
  py::class_<Browse>(m, "browse", "Walks a server's address space as the tag browser does, yielding its ItemIDs.")
      .def(py::init<const std::string&, const std::string&>(), py::arg("server"), py::arg("node") = "")
      .def("__iter__", [](Browse& b) -> Browse& { return b; })
      .def("__next__", &Browse::next);
  py::class_<Simulation>(m, "Simulation", "The embedded simulation server of a ProgID.")
      .def(py::init<const std::string&>(), py::arg("prog_id") = opcda::kSimulationProgId)
      .def_property_readonly("connections", &Simulation::connections)
      .def_property_readonly("groups", &Simulation::groups)
      .def_property_readonly("items", &Simulation::items)
      .def("set_value", &Simulation::set_value, py::arg("item_id"), py::arg("value"))
      .def("set_quality", &Simulation::set_quality, py::arg("item_id"), py::arg("quality"))
      .def("shut_down", &Simulation::shut_down, py::arg("reason"));
}
