// filedbmanager.h -- the file-backed database manager.
//
// `FileDBManager` is the `VELDBManager` that keeps a key database in up to
// three table files: key records (`FileDBKeyStorage`), key pairs
// (`FileDBKeyPairStorage`) and CRLs (`FileDBCRLStorage`).  It stores no
// record itself: it owns a copy of the caller's connect info and one
// connection to each enabled table storage, and forwards every record and
// settings operation to them.
//
// Connect infos:
//   FILE    the table files are the connect info's name followed by the key,
//           key-pair and CRL suffixes.  An absent or empty password is
//           replaced by the 10-byte default password.  Connect types 0 and 2
//           create all three files first (0x8C24E when one exists); 1 and 3
//           open.  A missing key file refuses the construction (0x8C236); a
//           missing key-pair or CRL file leaves that table disabled, and a
//           CRL file that cannot be used for any reason does too.  Storages
//           are shared by every manager in the process on the same file.
//   STRING  the key table lives in the caller's string; the key-pair and CRL
//           tables live in strings private to this manager and start empty.
//           A STRING manager and its duplicates share one key storage over
//           the caller's string (two storages over one string would each
//           keep their own header and overwrite the other's records).  The
//           caller's string must be used by one manager and its duplicates
//           only.  A create (connect type 0 or 2) over a string that is
//           not empty is refused with 0x8C24E and leaves it unchanged.
//
// Access mode 1 is read-write; with any other mode every insert, update,
// delete, settings change and `deleteDBOnDisconnect` is refused with
// 0x8B67C.  Tables not enabled: 0x8C24B (key), 0x8C24C (key pair), 0x8C24D
// (CRL).  Iterators of another class or another table: 0x8B67A "iter is
// invalid - wrong type" / "iter is invalid - wrong table".  Errors of the
// storages pass on unchanged.
//
// Locks: the storage class mutex is held around every connect, create and
// disconnect of a FILE manager (construction, duplicate, enabling,
// destruction); each record or settings operation holds the one table
// storage's instance mutex for the storage call.  A password change holds
// the class mutex and every instance mutex, taking the instance mutexes
// without waiting (it lets the class mutex go and tries again), so that a
// transaction, which holds instance mutexes for its whole life, never
// deadlocks with it.  The storage pointers are atomic:
// the enabled tests and `getKeyStorage` may run while another thread enables
// a table of the same manager.
//
// Ownership: records, containers and iterators returned are new and owned by
// the caller; records passed in stay the caller's (the table writes the
// record ID into them).
#ifndef DBFILE_FILEDBMANAGER_H
#define DBFILE_FILEDBMANAGER_H

#include <atomic>
#include <memory>
#include <vector>

#include "filedbtablenames.h"
#include "veldbconnectinfo.h"
#include "veldbmanager.h"
#include "velpassword.h"
#include "velstring.h"

// The engine stays behind pointers: a caller that includes this header
// sees the interface, not the tables' insides.
class FileDBIterator;
class FileDBStorage;
class FileDBTransaction;

class FileDBManager : public VELDBManager {
 public:
  // CREATORS
  // Connects to the database that `connectInfo` describes (copied).  Throws
  // 0x8B67A "connect info type unknown" for a connect info neither FILE nor
  // STRING, 0x8C24E when a create finds a file present, 0x8C236 when the key
  // file cannot be opened, and the storages' errors; after a failure no
  // table stays connected.
  explicit FileDBManager(const VELDBConnectInfo::OBJECT& connectInfo);
  // Disconnects the CRL, key-pair and key tables (removing a file when
  // `deleteDBOnDisconnect` was called and this is its last connection).
  // Never throws.
  ~FileDBManager() override;
  FileDBManager& operator=(const FileDBManager&) = delete;

  // A new manager on the same tables (FILE: the same shared storages; STRING:
  // the same key storage and snapshots of the in-memory key-pair and CRL
  // tables); owned by the caller.
  VELDBManager* duplicate() const override;  // 1

  // MANIPULATORS -- records
  VELDBIterator* getKeyIterator() override;                                  // 2
  VELDBIterator* getKeyPairIterator() override;                              // 3
  VELDBIterator* getCRLIterator() override;                                  // 4
  VELASNKeyRecord* getKeyNextRecord(VELDBIterator& iterator) override;       // 5
  VELASNKeyPairRecord* getKeyPairNextRecord(VELDBIterator& iterator) override;  // 6
  VELASNCRLRecord* getCRLNextRecord(VELDBIterator& iterator) override;       // 7
  VELASNKeyRecordContainer* getKeyByIndex(KeyMultiIndex index, const VELASNObject& key) override;            // 8
  VELASNKeyRecord* getKeyByIndex(KeyUniqueIndex index, const VELASNObject& key) override;                    // 9
  VELASNKeyPairRecordContainer* getKeyPairByIndex(KeyPairMultiIndex index, const VELASNObject& key) override;  // 10
  VELASNKeyPairRecord* getKeyPairByIndex(KeyPairUniqueIndex index, const VELASNObject& key) override;        // 11
  VELASNCRLRecordContainer* getCRLByIndex(CRLMultiIndex index, const VELASNObject& key) override;            // 12
  VELASNCRLRecord* getCRLByIndex(CRLUniqueIndex index, const VELASNObject& key) override;                    // 13
  unsigned long long getKeyCountByIndex(KeyMultiIndex index, const VELASNObject& key) override;              // 14
  unsigned long long getKeyCountByIndex(KeyUniqueIndex index, const VELASNObject& key) override;             // 15
  unsigned long long getKeyPairCountByIndex(KeyPairMultiIndex index, const VELASNObject& key) override;      // 16
  unsigned long long getKeyPairCountByIndex(KeyPairUniqueIndex index, const VELASNObject& key) override;     // 17
  unsigned long long getCRLCountByIndex(CRLMultiIndex index, const VELASNObject& key) override;              // 18
  unsigned long long getCRLCountByIndex(CRLUniqueIndex index, const VELASNObject& key) override;             // 19
  // Inserting a key pair into a FILE manager without a key-pair table
  // enables it first (creating the file).
  void insertKey(VELASNKeyRecord& record) override;                                                          // 20
  void insertKeyPair(VELASNKeyPairRecord& record) override;                                                  // 21
  void insertCRL(VELASNCRLRecord& record) override;                                                          // 22
  void updateKeyByIndex(KeyUniqueIndex index, VELASNKeyRecord& record) override;                             // 23
  void updateKeyPairByIndex(KeyPairUniqueIndex index, VELASNKeyPairRecord& record) override;                 // 24
  void updateCRLByIndex(CRLUniqueIndex index, VELASNCRLRecord& record) override;                             // 25
  unsigned long long deleteKeyByIndex(KeyMultiIndex index, const VELASNObject& key) override;                // 26
  unsigned long long deleteKeyByIndex(KeyUniqueIndex index, const VELASNObject& key) override;               // 27
  unsigned long long deleteKeyPairByIndex(KeyPairMultiIndex index, const VELASNObject& key) override;        // 28
  unsigned long long deleteKeyPairByIndex(KeyPairUniqueIndex index, const VELASNObject& key) override;       // 29
  unsigned long long deleteCRLByIndex(CRLMultiIndex index, const VELASNObject& key) override;                // 30
  unsigned long long deleteCRLByIndex(CRLUniqueIndex index, const VELASNObject& key) override;               // 31

  // ACCESSORS -- tables
  // True when the table's storage is connected.
  bool isKeyEnabled() const override;      // 32
  bool isKeyPairEnabled() const override;  // 33
  bool isCRLEnabled() const override;      // 34

  // MANIPULATORS -- enabling
  // FILE only (nothing for STRING or an enabled table): connects the table,
  // creating its file when it does not exist, whatever the access mode.
  // Connect errors other than 0x8C236 and create errors pass on.
  void enableKey() override;      // 35
  void enableKeyPair() override;  // 36
  void enableCRL() override;      // 37

  // Settings: read from the first enabled table (key, key pair, CRL);
  // neutral values when none is.  Changes go to every enabled table and need
  // access mode 1 (0x8B67C).
  unsigned char getDBVersion() override;                      // 38
  bool hasDBPasswordExpired() override;                       // 39
  long long getDBPasswordExpirationTime() override;           // 40
  void setDBPasswordExpirationTime(long long time) override;  // 41
  // An absent or empty `oldPassword` stands for the default password.  An
  // absent or empty `newPassword` is refused for a FILE database (0x8B67A,
  // nothing changes): a file sealed under it could not be opened again.
  // Throws 0x8C240, before any table changes, when the old password is not
  // that of every enabled table or the new one equals it.  When a table
  // fails half way, the tables already changed are set back.  Inside a
  // transaction of this thread the change is a part of it (0x8B67A when an
  // enabled table is not in the transaction).
  void setDBPassword(const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword,
                     long long expirationTime) override;      // 42
  // The key table's label, or when it is empty the full path of the key
  // file (empty for STRING).  Labels live in memory only.
  VELString getDBLabel() const override;                      // 43
  void setDBLabel(const VELString& label) override;           // 44
  // Access mode 1 only (0x8B67C): the destructor removes each file whose
  // last connection it gives back.  Cannot be undone; copied by `duplicate`.
  void deleteDBOnDisconnect() override;                       // 45

  // MANIPULATORS -- transactions
  // A transaction groups any number of record operations on the tables of
  // this database (and of other managers of it in this thread) into one
  // atomic and durable step.  While it is open, this thread holds every
  // table: other threads and their managers wait at their next operation
  // of these tables, and never see a change that is not committed; this
  // thread sees its own changes in lookups, counts and walks.  A refused
  // operation (a duplicate, a missing record, a bad argument) leaves the
  // transaction as it was before it; an operation that fails after it
  // wrote (the disk failed) rolls the whole transaction back at once, and
  // every later operation in it throws 0x8C23F (transaction abandoned) until `rollbackTransaction`
  // ends it.  A password change joins the transaction (every table's new
  // password commits with it or not at all; a rollback gives the tables
  // their old one back); enabling a table is refused inside a transaction
  // (0x8B67A).
  //
  // Begin: 0x8B67C for a read-only manager; 0x8B67A when this manager has
  // a transaction open already.  A FILE manager without a key-pair table
  // enables it first, as `insertKeyPair` would.
  void beginTransaction();
  // Makes every change of the transaction durable at once, under the
  // VELFILEDB_SYNC mode: one journal, one seal and one set of syncs per
  // table file, whatever the number of changes.  A kill or power loss at
  // any moment leaves all of it or none of it.  On failure the transaction
  // is rolled back and the error passed on; either way it is closed.
  // 0x8B67A when no transaction is open.
  void commitTransaction();
  // Undoes every change of the transaction (files, indexes, counters;
  // record IDs handed out stay used) and closes it.  0x8B67A when none is
  // open.  Destroying a manager with a transaction open rolls it back.
  void rollbackTransaction();
  bool inTransaction() const;

  // ACCESSORS -- identity
  bool isKindOf(const VELString& name) const override;        // 46
  VELString getInstanceName() const override;                 // 47
  static VELString getClassName() { return "FileDBManager"; }

  // The key table's storage, null while it is not enabled.  No lock.
  // (filedbkeystorage.h declares what it offers.)
  const FileDBKeyStorage* getKeyStorage() const;
  // The length of the key table's slots in bytes, 0 while it is not
  // enabled: what a copy of the database gives its new key table.  Holds
  // the key table's instance mutex.
  unsigned long getKeyRecordLength() const;
  // What the open of a file database went past and the caller should know,
  // one line each, naming the table and the reason: a CRL table left out
  // because it could not be used, a journal or password journal left in
  // place unapplied because it could not be trusted (the tables verified as
  // they stand).  Empty for an open that went past nothing.  Set by the
  // constructor, never changed after.
  const std::vector<VELString>& getOpenNotices() const { return d_openNotices; }

  // The default logical database password (10 bytes).
  static VELPasswordEncryptor defaultPassword();

 private:
  // CREATORS
  FileDBManager(const FileDBManager& other);

  // The FILE and STRING ways of the constructor.
  void connectFileDatabase();
  void connectStringDatabase();
  // A STRING connect info over `image` for an in-memory table.
  std::unique_ptr<VELDBConnectInfo::OBJECT> makeImageConnectInfo(VELString* image) const;
  // Gives back every table (remove flag `deleteFiles`); never throws.
  void disconnectAll(bool deleteFiles) noexcept;
  // Throws 0x8B67C unless the access mode is read-write.
  void checkWritable() const;
  // The enabled tables, in the order key, key pair, CRL.
  std::vector<FileDBStorage*> enabledTableList() const;
  // Throws 0x8B67A with `what` while this manager has a transaction open.
  void refuseInTransaction(const char* what) const;
  bool isFileConnection() const;
  bool isStringConnection() const;
  // The caller's iterator as a file iterator of table `tableName`; throws
  // 0x8B67A otherwise.
  FileDBIterator& downcastIterator(VELDBIterator& iterator, const VELString& tableName) const;

  // DATA
  std::unique_ptr<VELDBConnectInfo::OBJECT> d_connectInfo;
  std::atomic<FileDBKeyStorage*> d_keyStorage;
  std::atomic<FileDBKeyPairStorage*> d_keyPairStorage;
  std::atomic<FileDBCRLStorage*> d_crlStorage;
  std::atomic<bool> d_deleteOnDisconnect;
  VELString d_keyPairImage;
  std::unique_ptr<VELDBConnectInfo::OBJECT> d_keyPairConnectInfo;
  VELString d_crlImage;
  std::unique_ptr<VELDBConnectInfo::OBJECT> d_crlConnectInfo;
  // STRING only: the connection to the key storage over the caller's string,
  // shared with duplicates; the last holder disconnects it.
  std::shared_ptr<FileDBKeyStorage> d_sharedStringKey;
  // The transaction this manager opened, if any; used by one thread.
  std::unique_ptr<FileDBTransaction> d_transaction;
  std::vector<VELString> d_openNotices;
};

#endif
