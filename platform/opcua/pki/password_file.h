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
  int line = 0;                         // its number, from 1
  std::string warning;                  // why the file was ignored, when it was
};
PasswordLookup find_password(const std::string& file, const std::string& host, const std::string& port,
                             const std::string& user);

// Writes the password for host, port and user as the file's first line, in place of a line for
// exactly these three, keeping every other line; the file (and a folder it needs) readable by
// its owner only. std::runtime_error, with nothing changed, when it cannot be written or a field
// holds a line break.
void remember_password(const std::string& file, const std::string& host, const std::string& port,
                       const std::string& user, const std::string& password);

}  // namespace vexa32::opcua
