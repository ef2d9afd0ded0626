// passwordfile.h -- the database password from a file.
//
// A password file is the user's secret: the provider reads it only when it
// is a regular file or a FIFO that belongs to the user (the effective user
// ID) and that neither its group nor others may read.  Anything
// else is refused before a byte of it is read, since someone else may have
// seen or planted the password.  The password is the file's first line
// without its line end ("\n" or "\r\n"); an empty one is refused, as is a
// first line longer than 64 KiB.
#ifndef PROVIDER_PASSWORDFILE_H
#define PROVIDER_PASSWORDFILE_H

#include <string>

#include "secretbytes.h"

namespace velstore {

// The password in `path`; throws StoreError kPasswordFile naming the file
// and why it is refused (missing, unreadable, a directory, not the user's,
// readable by group or others, empty).  A FIFO without a writer gives an empty
// password (refused), never a wait.
SecretBytes readPasswordFile(const std::string& path);

}  // namespace velstore

#endif
