// Nodes as forms store them, and their logins from the password file.

#include "platform/dcom/node_login.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

TEST(NodeLogin, ParseNodeReadsWhatFormsStoreAndRefusesTheRest) {
  struct Case {
    const char* text;
    const char *host, *domain, *user;
    std::uint16_t port;
    const char* refused;  // part of the message; nullptr for a node that reads
  };
  const Case cases[] = {
      {"plc7", "plc7", "", "", 135, nullptr},
      {"plc7:1350", "plc7", "", "", 1350, nullptr},
      {"operator@plc7", "plc7", "", "operator", 135, nullptr},
      {"PLANT\\operator@plc7.plant.local:4135", "plc7.plant.local", "PLANT", "operator", 4135, nullptr},
      {"op@plant.local@plc7", "plc7", "", "op@plant.local", 135, nullptr},
      {"[fe80::1]:136", "fe80::1", "", "", 136, nullptr},
      {"user@[::1]", "::1", "", "user", 135, nullptr},
      {"::1", "::1", "", "", 135, nullptr},
      {"", "", "", "", 0, "names no host"},
      {"operator@", "", "", "", 0, "\"operator@\" names no host"},
      {"@plc7", "", "", "", 0, "\"@plc7\" names no user"},
      {"PLANT\\@plc7", "", "", "", 0, "names no user"},
      {"\\operator@plc7", "", "", "", 0, "names no domain"},
      {"plc7:0", "", "", "", 0, "\"plc7:0\" has the port \"0\", not one of 1..65535"},
      {"plc7:65536", "", "", "", 0, "not one of 1..65535"},
      {"plc7:", "", "", "", 0, "not one of 1..65535"},
      {"plc7:13a", "", "", "", 0, "not one of 1..65535"},
      {"[::1]:99999", "", "", "", 0, "not one of 1..65535"},
      {"[::1", "", "", "", 0, "no \"]\""},
      {"[::1]x", "", "", "", 0, "after its IPv6 address"},
      {"pl c7", "", "", "", 0, "no host name"},
      {"plc\n7", "", "", "", 0, "\"plc\\x0a7\" holds a control character"},
      {"plc7\x7f", "", "", "", 0, "control character"},
      // The password stays out of the message.
      {"operator:secret@plc7", "", "", "", 0,
       "\"operator:...@plc7\" holds a password: passwords belong in the password file"},
  };
  for (const Case& c : cases) {
    try {
      const NodeAddress node = parse_node(c.text);
      EXPECT_FALSE(c.refused) << c.text;
      EXPECT_EQ(node.host, c.host) << c.text;
      EXPECT_EQ(node.port, c.port) << c.text;
      EXPECT_EQ(node.domain, c.domain) << c.text;
      EXPECT_EQ(node.user, c.user) << c.text;
    } catch (const DcomError& e) {
      ASSERT_TRUE(c.refused) << c.text << ": " << e.what();
      EXPECT_EQ(e.hresult(), status::E_INVALIDARG) << c.text;
      EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
    }
  }
}

TEST(NodeLogin, ComesFromThePasswordFile) {
  std::string dir = (std::filesystem::temp_directory_path() / "vexa32-node-XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(dir.data()));
  const std::string file = dir + "/uapass";
  std::ofstream(file) << "plc7:135:operator:op-pass\n"
                         "plc7:135:PLANT\\\\engineer:eng-pass\n"
                         "plc8:135:*:anyone\n"
                         "plc8:135:PLANT\\\\admin:admin-pass\n"
                         "plc9:1350:local:nine\n"
                         "plc11:135:PLANT\\\\:no-user\n";
  char host_name[256] = {};
  ASSERT_EQ(::gethostname(host_name, sizeof host_name - 1), 0);
  struct Case {
    const char* node;
    mode_t mode;
    const char *domain, *user, *password;
    std::uint32_t hresult;  // S_OK for a login
    std::string message;    // part of the refusal
  };
  using namespace status;
  const std::string in_file = " in the password file " + file + ": add a line ";
  const Case cases[] = {
      {"operator@plc7", 0600, "PLC7", "operator", "op-pass", S_OK, ""},  // a local account of the node
      {"PLANT\\engineer@plc7", 0600, "PLANT", "engineer", "eng-pass", S_OK, ""},
      {"plc7", 0600, "PLC7", "operator", "op-pass", S_OK, ""},   // the first line for the node
      {"plc8", 0600, "PLANT", "admin", "admin-pass", S_OK, ""},  // "*" names no user
      {"someone@plc8", 0600, "PLC8", "someone", "anyone", S_OK, ""},
      {"plc9:1350", 0600, "PLC9", "local", "nine", S_OK, ""},
      {"plc9", 0600, "", "", "", E_ACCESSDENIED,
       "no password for plc9:135" + in_file + "\"plc9:135:user:password\" (the user may be DOMAIN\\\\user)"},
      {"engineer@plc7", 0600, "", "", "", E_ACCESSDENIED, "\"plc7:135:engineer:password\""},
      {"PLANT\\operator@[::1]:136", 0600, "", "", "", E_ACCESSDENIED,
       "no password for PLANT\\operator@[::1]:136" + in_file + "\"\\:\\:1:136:PLANT\\\\operator:password\""},
      {"plc11", 0600, "", "", "", E_INVALIDARG, "names no user on line 6"},
      {"operator@plc7", 0644, "", "", "", E_ACCESSDENIED, "its group or others may read it (chmod 600 " + file},
  };
  for (const Case& c : cases) {
    ::chmod(file.c_str(), c.mode);
    try {
      const NtlmCredentials login = node_login(parse_node(c.node), file);
      EXPECT_EQ(c.hresult, S_OK) << c.node;
      EXPECT_EQ(login.domain, c.domain) << c.node;
      EXPECT_EQ(login.user, c.user) << c.node;
      EXPECT_EQ(login.password, c.password) << c.node;
      EXPECT_EQ(login.workstation, host_name) << c.node;
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), c.hresult) << c.node << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexa32::dcom
