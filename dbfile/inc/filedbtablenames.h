// filedbtablenames.h -- the three tables by name, without their insides.
//
// A table is the engine `FileDBTable<TYPES>` (filedbtable.h) over the
// types it is made of.  This header names those types and the tables, so
// that a header that holds a table by pointer (the manager) needs neither
// the engine nor the indexes; the tables' own headers give the rest.
#ifndef DBFILE_FILEDBTABLENAMES_H
#define DBFILE_FILEDBTABLENAMES_H

#include "veldbmanager.h"

class FileDBKeyRecordFields;
class FileDBKeyPairRecordFields;
class FileDBCRLRecordFields;
class FileDBKeyMasterIndex;
class FileDBKeyPairMasterIndex;
class FileDBCRLMasterIndex;

// The types one table is made of.
template <class RECORD, class CONTAINER, class FIELDS, class MASTER, class UNIQUE, class MULTI>
struct FileDBTableTypes {
  using Record = RECORD;
  using Container = CONTAINER;
  using Fields = FIELDS;
  using MasterIndex = MASTER;
  using UniqueIndex = UNIQUE;
  using MultiIndex = MULTI;
};

template <class TYPES>
class FileDBTable;

using FileDBKeyTableTypes =
    FileDBTableTypes<VELASNKeyRecord, VELASNKeyRecordContainer, FileDBKeyRecordFields, FileDBKeyMasterIndex,
                     VELDBManager::KeyUniqueIndex, VELDBManager::KeyMultiIndex>;
using FileDBKeyPairTableTypes =
    FileDBTableTypes<VELASNKeyPairRecord, VELASNKeyPairRecordContainer, FileDBKeyPairRecordFields,
                     FileDBKeyPairMasterIndex, VELDBManager::KeyPairUniqueIndex, VELDBManager::KeyPairMultiIndex>;
using FileDBCRLTableTypes =
    FileDBTableTypes<VELASNCRLRecord, VELASNCRLRecordContainer, FileDBCRLRecordFields, FileDBCRLMasterIndex,
                     VELDBManager::CRLUniqueIndex, VELDBManager::CRLMultiIndex>;

// The key table: certificates with their private keys (filedbkeystorage.h).
using FileDBKeyStorage = FileDBTable<FileDBKeyTableTypes>;
// The key-pair table: key pairs with their requests (filedbkeypairstorage.h).
using FileDBKeyPairStorage = FileDBTable<FileDBKeyPairTableTypes>;
// The CRL table (filedbcrlstorage.h).
using FileDBCRLStorage = FileDBTable<FileDBCRLTableTypes>;

#endif
