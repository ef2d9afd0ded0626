// filedbcrlstorage.h -- the CRL table: certificate revocation lists.
//
// `FileDBCRLStorage`: the table engine (filedbtable.h) for files of type
// "X509CRL", slots of `FileDBCRLRecordFields` and a `FileDBCRLMasterIndex`
// -- label, signature and to-be-signed part unique beside the record ID
// (taken: 0x8C245, 0x8C246; the to-be-signed part 0x8C24A on insert but
// 0x8C247 on update), the issuer name a multi index.  Slots are indexed as
// stored, without decoding; record IDs are kept even out of slot order,
// and only one that an earlier slot holds already is renumbered in memory,
// so that every index names one slot.  Created as minor version 1; version
// 0 is cleaned up by a read-write open.  Described in filedbcrlstorage.cpp.
#ifndef DBFILE_FILEDBCRLSTORAGE_H
#define DBFILE_FILEDBCRLSTORAGE_H

#include "filedbcrlmasterindex.h"
#include "filedbcrlrecordfields.h"
#include "filedbtable.h"
#include "velasnrecords.h"
#include "veldbmanager.h"


template <>
const FileDBCRLStorage::Description& FileDBCRLStorage::description();

#endif
