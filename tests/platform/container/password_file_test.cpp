#include "platform/container/password_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace vexa32 {
namespace {

std::string temp_folder() {
  std::string t = (std::filesystem::temp_directory_path() / "vexa32-pass-XXXXXX").string();
  return ::mkdtemp(t.data()) ? t : std::string();
}

TEST(PasswordFile, MatchesLikePgpassAndIsIgnoredWhenOthersMayReadIt) {
  const std::string dir = temp_folder();
  const std::string file = dir + "/uapass";
  std::ofstream(file) << "# comment\n"
                         "plc7:4840:operator:first\n"
                         "plc7:*:operator:second\n"
                         "plc9:135:*:anyone\n"
                         "plc9:135:PLANT\\\\operator:pw9\n"
                         "*:*:admin:a\\:b\\\\c\n"
                         "short:line\n"
                         "*:4841:*:any user\r\n";
  ::chmod(file.c_str(), 0600);
  struct Case {
    const char *host, *port, *user, *password, *line_user;  // nullptr: none
  };
  for (Case c :
       {Case{"plc7", "4840", "operator", "first", "operator"}, Case{"plc7", "4999", "operator", "second", "operator"},
        Case{"elsewhere", "1", "admin", "a:b\\c", "admin"}, Case{"x", "4841", "someone", "any user", "someone"},
        Case{"x", "4840", "operator", nullptr, ""},
        // Without a user the first line naming one gives it; "*" names none.
        Case{"plc7", "4840", nullptr, "first", "operator"}, Case{"plc9", "135", nullptr, "pw9", "PLANT\\operator"},
        Case{"plc9", "135", "PLANT\\operator", "anyone", "PLANT\\operator"},
        Case{"x", "4841", nullptr, "a:b\\c", "admin"}}) {
    const auto user = c.user ? std::optional<std::string>(c.user) : std::nullopt;
    const auto found = find_password(file, c.host, c.port, user);
    EXPECT_EQ(found.password.value_or("(none)"), c.password ? c.password : "(none)")
        << c.host << " " << user.value_or("-");
    EXPECT_EQ(found.user, c.line_user) << c.host << " " << user.value_or("-");
  }
  ::chmod(file.c_str(), 0640);
  const auto ignored = find_password(file, "plc7", "4840", "operator");
  EXPECT_FALSE(ignored.password);
  EXPECT_NE(ignored.warning.find("chmod 600"), std::string::npos);
  EXPECT_TRUE(find_password(dir + "/none", "h", "1", "u").warning.empty());
  // A remembered password comes first, in place of the line for exactly that user, escaped; the
  // rest stays, and the file (in a folder made for it) is its owner's only.
  ::chmod(file.c_str(), 0600);
  remember_password(file, "plc7", "4840", "operator", "new:pass\\");
  EXPECT_EQ(find_password(file, "plc7", "4840", "operator").password.value_or(""), "new:pass\\");
  EXPECT_EQ(find_password(file, "plc7", "4999", "operator").password.value_or(""), "second");
  EXPECT_EQ(find_password(file, "x", "4841", "someone").password.value_or(""), "any user");
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_EQ(text.rfind("plc7:4840:operator:new\\:pass\\\\\n", 0), 0u) << text;
  const std::string fresh = dir + "/made/uapass";
  remember_password(fresh, "h", "1", "u", "p");
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_THROW(remember_password(fresh, "h", "1", "u", "two\nlines"), std::runtime_error);
  EXPECT_EQ(find_password(fresh, "h", "1", "u").password.value_or(""), "p");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexa32
