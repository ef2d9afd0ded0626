// filedbjournalkey.h -- the keys that authenticate the files beside the
// tables: table journals, transaction files, the password journal.
//
// A journal decides what is written into a table file when a database is
// opened, so that only a journal made by this database under its password
// may be applied.  Each such file is authenticated with HMAC-SHA256 under a
// key of its own:
//
//   key = HKDF-SHA256(IKM  = the database password (its clear bytes),
//                     salt = "velfiledb journal key",
//                     info = purpose || 0x00 || base name of the file)
//
// `purpose` tells the kinds of file apart (a table journal's MAC is never
// taken for a transaction file's); the base name (the file name without its
// directory) binds the key to one file of one database, and keeps a
// database's journals valid when its directory is moved or renamed.  The
// key is wiped when the object goes.
//
// The MAC gives no faster test of a guessed password than a table's own
// header hash (an HMAC of the header under the password) already does.
#ifndef DBFILE_FILEDBJOURNALKEY_H
#define DBFILE_FILEDBJOURNALKEY_H

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "velpassword.h"
#include "velstring.h"

class FileDBJournalKey {
 public:
  static constexpr std::size_t kSize = 32;     // key and MAC
  using Piece = std::pair<const void*, std::size_t>;

  // Purposes.
  static const char kTableJournal[];
  static const char kTransactionFile[];
  static const char kPasswordJournal[];

  // CREATORS
  // Derives the key of `purpose` for the file `path` (only its base name
  // counts) from `password`.  Throws 0x8BA66 when OpenSSL cannot.
  FileDBJournalKey(const VELPasswordEncryptor& password, const char* purpose, const VELString& path);
  FileDBJournalKey(const FileDBJournalKey&) = delete;
  FileDBJournalKey& operator=(const FileDBJournalKey&) = delete;
  ~FileDBJournalKey();

  // ACCESSORS
  // HMAC-SHA256 of the pieces, in order, into `out` (kSize bytes).
  void mac(unsigned char* out, std::initializer_list<Piece> pieces) const;
  // True when `expected` (kSize bytes) is the MAC of the pieces; compared
  // in constant time.
  bool verify(const unsigned char* expected, std::initializer_list<Piece> pieces) const;

  // The part of `path` after its last '/'.
  static VELString baseName(const VELString& path);
  // SHA-256 (unkeyed) of the pieces into `out` (kSize bytes): tells a file
  // cut short by a crash from a whole one, nothing more.
  static void checksum(unsigned char* out, std::initializer_list<Piece> pieces);

 private:
  unsigned char d_key[kSize];
};

#endif
