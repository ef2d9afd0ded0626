// filedbpasswordjournal.h -- makes a password change of a whole database
// all-or-nothing.
//
// A password change rewrites the header of every table file of a database
// (and nothing else of them).  Each file's own journal makes its header
// change atomic; this journal makes the change atomic across the files: it
// holds the header of every table file as it was before the change, and is
// removed once every table has changed.  A database found with this journal
// beside its key file was interrupted during a password change: putting the
// old headers back gives every table its old password again.
//
// The journal never says where it writes: it belongs to one database and
// names its tables by kind (key, key pair, CRL); the files are the ones the
// caller derives from the database's name, as every open does.  It is
// authenticated with the password journal key of `FileDBJournalKey`
// (bound to the key file's base name) under both passwords of the change:
// the change is rolled back by a read-write open that gives either of them.
// After that the database has its old password: an open that gave the new
// one learns that the change was rolled back.
//
// File: the key file's name with "-password-journal" appended.  Layout
// (numbers big-endian):
//   "VELPWJ02"                                    8 bytes
//   count (1 to 3)                                u8
//   count times: table (0 key, 1 key pair, 2 CRL) u8, header length u16,
//                the table's header before the change, SHA-256 of the
//                table file's size (u64) and of every byte after its
//                header (32 bytes: a password change leaves them as they
//                are; recovery refuses a journal whose tables differ)
//   HMAC-SHA256 under the old password's key of everything before it and
//   the bytes "old"                               32 bytes
//   HMAC-SHA256 under the new password's key of the same bytes before the
//   first MAC and the bytes "new"                 32 bytes
//   SHA-256 of everything before it               32 bytes
// Headers hold hashes and salts only, never a password.  The unkeyed
// SHA-256 tells a journal cut short by a crash (written and synced before
// any table changes: no table was touched; it is removed) from a whole one
// that no password of this connection made (refused, left in place).
//
// A journal of the earlier layout ("VELPWJ01") names the files it writes
// and cannot be authenticated: a whole one is never applied, but refused
// with 0x8C241 and left in place; one cut short is removed as before.
#ifndef DBFILE_FILEDBPASSWORDJOURNAL_H
#define DBFILE_FILEDBPASSWORDJOURNAL_H

#include <array>
#include <map>
#include <utility>
#include <vector>

#include "velbuffer.h"
#include "velpassword.h"
#include "velstring.h"

class FileDBPasswordJournal {
 public:
  enum Table : unsigned char { kKeyTable = 0, kKeyPairTable = 1, kCRLTable = 2 };
  // A table as the journal keeps it.
  struct Entry {
    Table table;
    VELBuffer header;  // before the change
    VELBuffer slots;   // SHA-256 of the file's size and every byte after its header
  };
  // The database's table files, by `Table`.
  using Paths = std::array<VELString, 3>;

  enum class Outcome {
    kNone,              // no journal
    kInUse,             // a table is open elsewhere: the journal stays
    kRestoredWithOld,   // rolled back; the password given opens the tables
    kRestoredWithNew,   // rolled back by the new password: the tables have
                        // the old one again
  };

  static VELString path(const VELString& keyPath);
  // Writes the journal of a change of the database whose table files are
  // `tables` from `oldPassword` to `newPassword` (it and its name synced
  // but under SyncOff) before the first table changes: `headers`
  // are the headers of the tables that change, as they are.  Throws the
  // binary file's errors.
  static void write(const Paths& tables, const std::vector<std::pair<Table, VELBuffer>>& headers,
                    const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword);
  // Removes the journal (its directory synced but under SyncOff): the
  // change is complete.
  static void remove(const VELString& keyPath);
  // Rolls an interrupted password change of the database whose table files
  // are `tables` back, when the journal is there and was made under
  // `password` (either password of the change), then removes it.  Each
  // table's own journal is recovered first (one that only holds the header
  // the old one replaces is dropped: it may have been made under the other
  // password).  Refused, with the journal left in place and no table
  // written: a whole journal not made under `password` for this database
  // (0x8C240), one whose headers do not describe the tables as they stand
  // (0x8C241), one of the earlier layout (0x8C241), a table journal that
  // cannot be recovered under `password` (its error).  A journal cut short
  // is removed.
  static Outcome recover(const Paths& tables, const VELPasswordEncryptor& password);
  // What a reader needs of an interrupted password change, without writing:
  // when the journal is there and was made under `password`, the headers it
  // puts back, by table path, go to `headers` (kRestoredWithOld: the
  // password given is the committed one; kRestoredWithNew: it is the
  // password of the change that did not commit).  kNone when there is no
  // journal or it was cut short.  Throws 0x8C240 for a whole journal not
  // made under `password` for this database, 0x8C241 for one of the earlier
  // layout or not well formed.
  static Outcome committedHeaders(const Paths& tables, const VELPasswordEncryptor& password,
                                  std::map<VELString, VELBuffer>& headers);
};

#endif
