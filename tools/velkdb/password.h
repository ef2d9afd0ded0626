// password.h -- where velkdb's passwords come from.
//
// A password is never taken from the command line.  In order of preference:
//   --default-password        the library's built-in default (explicit only)
//   --password-file FILE      the file's first line (without its line end);
//                             a file that is not the user's own regular
//                             file, FIFO or socket, or that its group or
//                             others may read, is used with a warning on
//                             standard error
//   VELKDB_PASSWORD           the environment variable
//   a prompt on the terminal  without echo; new passwords are asked twice
// New passwords (`passwd`) come from --new-password-file,
// VELKDB_NEW_PASSWORD or the prompt; passwords of input files (PKCS#12,
// encrypted keys) from --import-password-file, VELKDB_IMPORT_PASSWORD or the
// prompt.  An empty database password is refused: the library would put its
// default in its place, and keys wrapped under "" would then not match.
#ifndef VELKDB_PASSWORD_H
#define VELKDB_PASSWORD_H

#include <cstddef>
#include <string>

#include "pki.h"
#include "velpassword.h"

namespace velkdb {

struct PasswordOptions {
  bool useDefault = false;
  std::string file;        // the password file given
  std::string fileOption = "--password-file";  // its option, for messages
  std::string envName;     // environment variable
  std::string prompt;      // text of the terminal prompt
};

// The password from the first source present.  `confirm` asks twice at the
// prompt (for a new password).  Throws 0x8B67A when there is no source, the
// file cannot be read, the two entries differ or the password is empty.
Secret obtainPassword(const PasswordOptions& options, bool confirm);
// The same for input files; false when there is no source (no terminal).
bool obtainOptionalPassword(const PasswordOptions& options, Secret& out);
// The database password as the library takes it.
VELPasswordEncryptor toEncryptor(const Secret& secret);
// The library's default password as a Secret.
Secret defaultPasswordSecret();

// A new database password's weakness, or "" for none: shorter than
// kMinStrongPassword characters, or one of the most common passwords
// (compared without regard to case).  A table file lets whoever has a copy
// test about a million passwords a second against its header.
constexpr std::size_t kMinStrongPassword = 12;
std::string passwordWeakness(const Secret& password);
// Writes a warning to standard error when passwordWeakness finds one.
void warnIfWeakPassword(const Secret& password);

}  // namespace velkdb

#endif
