#pragma once
// Passwords live in one file, in the manner of PostgreSQL's ~/.pgpass: lines
// "host:port:user:password", "*" matching any host, port or user, "\:" and "\\" for a colon and a
// backslash in a field, "#" starting a comment. The file is ignored when its group or others may
// read it. Passwords never sit in a form file, a server name or a command line.

#include <optional>
#include <string>

namespace vexa32::opcua {

// $VEXA32_UAPASSFILE, else $XDG_CONFIG_HOME/vexa32/uapass, else ~/.config/vexa32/uapass.
std::string default_password_file();

struct PasswordLookup {
  std::optional<std::string> password;  // the first line that matches
  std::string warning;                  // why the file was ignored, when it was
};
PasswordLookup find_password(const std::string& file, const std::string& host, const std::string& port,
                             const std::string& user);

}  // namespace vexa32::opcua
