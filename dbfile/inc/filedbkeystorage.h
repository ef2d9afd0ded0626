// filedbkeystorage.h -- the key table: certificates with their private keys.
//
// `FileDBKeyStorage` is the table engine (filedbtable.h) over a file of type
// "X509KEY" whose slots hold `FileDBKeyRecordFields`, indexed by a
// `FileDBKeyMasterIndex`: unique by record ID, label, signature,
// unsigned certificate and issuer-and-serial (an insert refuses a taken one
// with 0x8C244 to 0x8C248 in that order, an update with 0x8C245 to 0x8C248),
// multi by subject name (a name no digest finds is compared as a name) and
// public key.  New files are minor version 2; a read-write open moves a
// minor-version-1 file to 2.  An open decodes every record and computes its
// keys afresh; record IDs out of order are repaired in memory (trace
// "badRecordIdCount detected"), and a repair that would pass 4294967295
// fails the open with 0x8C23D.  The description is in filedbkeystorage.cpp.
#ifndef DBFILE_FILEDBKEYSTORAGE_H
#define DBFILE_FILEDBKEYSTORAGE_H

#include "filedbkeymasterindex.h"
#include "filedbkeyrecordfields.h"
#include "filedbtable.h"
#include "velasnrecords.h"
#include "veldbmanager.h"


template <>
const FileDBKeyStorage::Description& FileDBKeyStorage::description();

#endif
