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
// File: the key file's name with "-password-journal" appended.  Layout
// (numbers big-endian):
//   "VELPWJ01"                         8 bytes
//   count                              u32
//   count times: path length u32, path, header length u32, header bytes
//   SHA-256 of everything before it    32 bytes
// Headers hold hashes and salts only, never a password.
#ifndef DBFILE_FILEDBPASSWORDJOURNAL_H
#define DBFILE_FILEDBPASSWORDJOURNAL_H

#include <utility>
#include <vector>

#include "velbuffer.h"
#include "velstring.h"

class FileDBPasswordJournal {
 public:
  using Entry = std::pair<VELString, VELBuffer>;  // table file, its header

  static VELString path(const VELString& keyPath);
  // Writes the journal (made durable as the database's sync mode asks)
  // before the first table changes.  Throws the binary file's errors.
  static void write(const VELString& keyPath, const std::vector<Entry>& headers);
  // Removes the journal: the change is complete.
  static void remove(const VELString& keyPath);
  // Puts the old headers back when a journal is there and every table file
  // can be opened for writing (no one else has them open), then removes the
  // journal.  A journal that does not verify was cut short before any table
  // changed and is removed.  Returns true when headers were restored; false
  // when there was nothing to do or the files are in use (the journal then
  // stays).  Throws the binary file's errors when writing back fails.
  static bool recover(const VELString& keyPath);
};

#endif
