// filedbkeypairstorage.h -- the key-pair table: key pairs with their
// certification requests.
//
// `FileDBKeyPairStorage` is the table engine (filedbtable.h) over a file of
// type "X509KYP" holding `FileDBKeyPairRecordFields` in its slots, with a
// `FileDBKeyPairMasterIndex` unique by record ID, label and public key
// (0x8C244, 0x8C245, 0x8C249 when taken) and no multi index but the whole
// table.  Minor version 1 when created; a read-write open moves a version-0
// file to 1, a read-only one leaves it.  Each stored record is decoded at
// open and its keys computed afresh; IDs that do not increase in slot order
// are renumbered in memory.  Its description: filedbkeypairstorage.cpp.
#ifndef DBFILE_FILEDBKEYPAIRSTORAGE_H
#define DBFILE_FILEDBKEYPAIRSTORAGE_H

#include "filedbkeypairmasterindex.h"
#include "filedbkeypairrecordfields.h"
#include "filedbtable.h"
#include "velasnrecords.h"
#include "veldbmanager.h"


template <>
const FileDBKeyPairStorage::Description& FileDBKeyPairStorage::description();

#endif
