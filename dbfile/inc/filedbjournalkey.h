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
// A table journal's records are authenticated under a random key of their
// own (the record key), which the journal keeps wrapped (AES-256 key wrap,
// RFC 3394) under the table journal key of each password that may recover
// it: so a change that changes the password leaves a journal that either
// password opens.
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
  static constexpr std::size_t kSize = 32;         // key and MAC
  static constexpr std::size_t kWrappedSize = 40;  // a wrapped key
  using Piece = std::pair<const void*, std::size_t>;

  // Purposes.
  static const char kTableJournal[];
  static const char kTransactionFile[];
  static const char kPasswordJournal[];

  // CREATORS
  // Derives the key of `purpose` for the file `path` (only its base name
  // counts) from `password`.  Throws 0x8BA66 when OpenSSL cannot.
  FileDBJournalKey(const VELPasswordEncryptor& password, const char* purpose, const VELString& path);
  // A key of `kSize` raw bytes (a journal's record key).
  explicit FileDBJournalKey(const unsigned char* raw);
  FileDBJournalKey(const FileDBJournalKey&) = delete;
  FileDBJournalKey& operator=(const FileDBJournalKey&) = delete;
  ~FileDBJournalKey();

  // ACCESSORS
  // HMAC-SHA256 of the pieces, in order, into `out` (kSize bytes).
  void mac(unsigned char* out, std::initializer_list<Piece> pieces) const;
  // True when `expected` (kSize bytes) is the MAC of the pieces; compared
  // in constant time.
  bool verify(const unsigned char* expected, std::initializer_list<Piece> pieces) const;
  // Wraps the `kSize` bytes of `key` under this key into `out`
  // (`kWrappedSize` bytes).  Throws 0x8BA66 when OpenSSL cannot.
  void wrap(const unsigned char* key, unsigned char* out) const;
  // Unwraps `wrapped` (`kWrappedSize` bytes) into `key` (`kSize`); false
  // when it was not wrapped under this key (or was changed).
  bool unwrap(const unsigned char* wrapped, unsigned char* key) const;

  // The part of `path` after its last '/'.
  static VELString baseName(const VELString& path);
  // SHA-256 (unkeyed) of the pieces into `out` (kSize bytes): tells a file
  // cut short by a crash from a whole one, nothing more.
  static void checksum(unsigned char* out, std::initializer_list<Piece> pieces);

 private:
  unsigned char d_key[kSize];
};

#endif
