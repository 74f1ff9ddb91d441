#pragma once
// Passwords live in one file, in the manner of PostgreSQL's ~/.pgpass: lines
// "host:port:user:password", "*" matching any host, port or user, "\:" and "\\" for a colon and a
// backslash in a field, "#" starting a comment. The file is ignored when its group or others may
// read it. Passwords never sit in a form file, a server name or a command line.
// UA logins and DCOM node logins share it; a node's line is "host:135:DOMAIN\\user:password"
// (the backslash doubled, as every backslash in a field).

#include <optional>
#include <string>

namespace vexa32 {

// $VEXA32_UAPASSFILE, else $XDG_CONFIG_HOME/vexa32/uapass, else ~/.config/vexa32/uapass.
std::string default_password_file();

struct PasswordLookup {
  std::optional<std::string> password;  // the first line that matches
  int line = 0;                         // its number, from 1
  std::string user;                     // the user asked for, else the one the line names
  std::string warning;                  // why the file was ignored, when it was
};
// Without a user, the first line for host and port that names one ("*" names none) gives it.
PasswordLookup find_password(const std::string& file, const std::string& host, const std::string& port,
                             const std::optional<std::string>& user);

// Writes the password for host, port and user as the file's first line, in place of a line for
// exactly these three, keeping every other line; the file (and a folder it needs) readable by
// its owner only. std::runtime_error, with nothing changed, when it cannot be written or a field
// holds a line break.
void remember_password(const std::string& file, const std::string& host, const std::string& port,
                       const std::string& user, const std::string& password);

}  // namespace vexa32
