#pragma once
// The DCOM test server (tests/opcda/dcom-server) as the C++ tests use it: the fixture's, or one of
// a test's own started with flags; and a password file of a test's own.

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vexa32::dcom {

// A DCOM test server of the test's own, started with flags; stopped when it goes.
class TestServer {
 public:
  explicit TestServer(const std::string& flags) {
    state_ = (std::filesystem::temp_directory_path() / "vexa32-dcom-XXXXXX").string();
    if (!::mkdtemp(state_.data())) return;
    std::system((script() + " start " + state_ + "/s " + flags + " > /dev/null 2>&1").c_str());
    read(state_ + "/s");
  }
  // The fixture's server.
  TestServer() {
    if (const char* state = std::getenv("VEXA32_DCOM_STATE")) read(state);
  }
  ~TestServer() {
    if (!state_.empty()) {
      std::system((script() + " stop " + state_ + "/s > /dev/null 2>&1").c_str());
      std::filesystem::remove_all(state_);
    }
  }
  // Stopped, as a machine that goes away; started again on the same ports with the flags.
  void stop() { std::system((script() + " stop " + state_ + "/s > /dev/null 2>&1").c_str()); }
  void restart(const std::string& flags) {
    const std::string ports =
        " --activation-port " + std::to_string(activation_) + " --exporter-port " + std::to_string(exporter_);
    std::system((script() + " start " + state_ + "/s " + flags + ports + " > /dev/null 2>&1").c_str());
  }
  std::uint16_t activation() const { return activation_; }
  const std::string& why() const { return why_; }
  std::string file(const char* name) const {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  static std::string script() { return std::string(VEXA32_SOURCE_DIR) + "/tests/opcda/dcom-server/fixture.sh"; }
  void read(const std::string& dir) {
    dir_ = dir;
    std::ifstream ports(dir + "/ports");
    for (std::string line; std::getline(ports, line);) {
      if (line.rfind("activation=", 0) == 0) activation_ = static_cast<std::uint16_t>(std::stoi(line.substr(11)));
      if (line.rfind("exporter=", 0) == 0) exporter_ = static_cast<std::uint16_t>(std::stoi(line.substr(9)));
    }
    if (!activation_) {
      std::ifstream skip(dir + "/skip");
      std::getline(skip, why_);
      if (why_.empty()) why_ = "the DCOM test server did not start";
    }
  }
  std::string state_, dir_, why_;
  std::uint16_t activation_ = 0, exporter_ = 0;
};

// A password file of the test's own, removed when it goes.
class PasswordFile {
 public:
  explicit PasswordFile(const std::string& text) {
    dir_ = (std::filesystem::temp_directory_path() / "vexa32-uapass-XXXXXX").string();
    if (::mkdtemp(dir_.data())) std::ofstream(path()) << text;
    std::filesystem::permissions(path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  ~PasswordFile() { std::filesystem::remove_all(dir_); }
  std::string path() const { return dir_ + "/uapass"; }
  std::string text() const {
    std::ifstream in(path());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string dir_;
};

}  // namespace vexa32::dcom
