// veldbmanager.h -- the abstract database manager and its iterator.
//
// `VELDBManager` is the interface through which callers read and change a key
// database: three tables (keys, key pairs, CRLs), each walked with an
// iterator and fetched, counted, inserted, updated and deleted by a unique or
// a multiple-valued index.  Implementations (the file-backed manager) derive
// from it; the order of the virtual operations below is part of the binary
// interface and must not change.  In each pair of overloads the
// multiple-valued index stands first.
//
// Ownership: every record, container and iterator returned is new and owned
// by the caller.  Records passed in stay the caller's; an implementation may
// fill in fields of them (the record ID on insertion).  Counts are unsigned
// 64-bit numbers.
//
// Index enums: the numeric values are what implementations switch on; values
// outside the listed ones can be passed and are refused by the tables.  The
// object a caller passes with each index value:
//   KeyRecordID, KeyPairRecordID, CRLRecordID     VELASNInteger
//   KeyLabel, KeyPairLabel, CRLLabel              VELASNLabelString
//   KeySignature, CRLSignature                    VELASNBitString (the signature value)
//   KeyTBSCertificate                             VELASNTBSCertificate
//   KeyIssuerAndSerialNumber                      VELASNIssuerAndSerialNumber
//   KeySubjectName, CRLIssuerName                 VELASNx500Name
//   KeyPublicKeyInfo, KeyPairPublicKeyInfo        VELASNSubjectPublicKeyInfo
//   CRLTBSCertList                                VELASNTBSCertList
//   KeyAllRecords, KeyPairAllRecords, CRLAllRecords  any object (not used)
#ifndef VELCERT_VELDBMANAGER_H
#define VELCERT_VELDBMANAGER_H

#include "velasn.h"
#include "velasnrecords.h"
#include "velpassword.h"
#include "velstring.h"

// A position in a walk over one table.  Implementations derive their own.
class VELDBIterator {
 public:
  // CREATORS
  virtual ~VELDBIterator() = default;

  // ACCESSORS
  virtual bool isKindOf(const VELString& name) const { return name == getClassName(); }
  virtual VELString getInstanceName() const { return getClassName(); }
  static VELString getClassName() { return "VELDBIterator"; }

 protected:
  VELDBIterator() = default;
  VELDBIterator(const VELDBIterator&) = default;
  VELDBIterator& operator=(const VELDBIterator&) = default;
};

class VELDBManager {
 public:
  // The underlying type is fixed so that any int converts to these enums
  // with a defined value (the tables refuse what they do not know).
  enum KeyUniqueIndex : int {
    KeyRecordID = 0,
    KeyLabel = 1,
    KeySignature = 2,
    KeyTBSCertificate = 3,
    KeyIssuerAndSerialNumber = 4
  };
  enum KeyMultiIndex : int { KeyAllRecords = 0, KeySubjectName = 1, KeyPublicKeyInfo = 2 };
  enum KeyPairUniqueIndex : int { KeyPairRecordID = 0, KeyPairLabel = 1, KeyPairPublicKeyInfo = 2 };
  enum KeyPairMultiIndex : int { KeyPairAllRecords = 0 };
  enum CRLUniqueIndex : int { CRLRecordID = 0, CRLLabel = 1, CRLSignature = 2, CRLTBSCertList = 3 };
  enum CRLMultiIndex : int { CRLAllRecords = 0, CRLIssuerName = 1 };

  // CREATORS
  virtual ~VELDBManager();                                   // 0
  // A new manager on the same database, owned by the caller.
  virtual VELDBManager* duplicate() const = 0;               // 1

  // MANIPULATORS
  virtual VELDBIterator* getKeyIterator() = 0;               // 2
  virtual VELDBIterator* getKeyPairIterator() = 0;           // 3
  virtual VELDBIterator* getCRLIterator() = 0;               // 4
  // The next record of the walk, or null at the end.
  virtual VELASNKeyRecord* getKeyNextRecord(VELDBIterator& iterator) = 0;          // 5
  virtual VELASNKeyPairRecord* getKeyPairNextRecord(VELDBIterator& iterator) = 0;  // 6
  virtual VELASNCRLRecord* getCRLNextRecord(VELDBIterator& iterator) = 0;          // 7
  // Multi index: a container, never null.  Unique index: a record or null.
  virtual VELASNKeyRecordContainer* getKeyByIndex(KeyMultiIndex index, const VELASNObject& key) = 0;       // 8
  virtual VELASNKeyRecord* getKeyByIndex(KeyUniqueIndex index, const VELASNObject& key) = 0;               // 9
  virtual VELASNKeyPairRecordContainer* getKeyPairByIndex(KeyPairMultiIndex index,
                                                          const VELASNObject& key) = 0;                    // 10
  virtual VELASNKeyPairRecord* getKeyPairByIndex(KeyPairUniqueIndex index, const VELASNObject& key) = 0;   // 11
  virtual VELASNCRLRecordContainer* getCRLByIndex(CRLMultiIndex index, const VELASNObject& key) = 0;       // 12
  virtual VELASNCRLRecord* getCRLByIndex(CRLUniqueIndex index, const VELASNObject& key) = 0;               // 13
  virtual unsigned long long getKeyCountByIndex(KeyMultiIndex index, const VELASNObject& key) = 0;         // 14
  virtual unsigned long long getKeyCountByIndex(KeyUniqueIndex index, const VELASNObject& key) = 0;        // 15
  virtual unsigned long long getKeyPairCountByIndex(KeyPairMultiIndex index, const VELASNObject& key) = 0; // 16
  virtual unsigned long long getKeyPairCountByIndex(KeyPairUniqueIndex index, const VELASNObject& key) = 0;// 17
  virtual unsigned long long getCRLCountByIndex(CRLMultiIndex index, const VELASNObject& key) = 0;         // 18
  virtual unsigned long long getCRLCountByIndex(CRLUniqueIndex index, const VELASNObject& key) = 0;        // 19
  virtual void insertKey(VELASNKeyRecord& record) = 0;                                                     // 20
  virtual void insertKeyPair(VELASNKeyPairRecord& record) = 0;                                             // 21
  virtual void insertCRL(VELASNCRLRecord& record) = 0;                                                     // 22
  virtual void updateKeyByIndex(KeyUniqueIndex index, VELASNKeyRecord& record) = 0;                        // 23
  virtual void updateKeyPairByIndex(KeyPairUniqueIndex index, VELASNKeyPairRecord& record) = 0;            // 24
  virtual void updateCRLByIndex(CRLUniqueIndex index, VELASNCRLRecord& record) = 0;                        // 25
  // The number of records deleted.
  virtual unsigned long long deleteKeyByIndex(KeyMultiIndex index, const VELASNObject& key) = 0;           // 26
  virtual unsigned long long deleteKeyByIndex(KeyUniqueIndex index, const VELASNObject& key) = 0;          // 27
  virtual unsigned long long deleteKeyPairByIndex(KeyPairMultiIndex index, const VELASNObject& key) = 0;   // 28
  virtual unsigned long long deleteKeyPairByIndex(KeyPairUniqueIndex index, const VELASNObject& key) = 0;  // 29
  virtual unsigned long long deleteCRLByIndex(CRLMultiIndex index, const VELASNObject& key) = 0;           // 30
  virtual unsigned long long deleteCRLByIndex(CRLUniqueIndex index, const VELASNObject& key) = 0;          // 31

  // ACCESSORS (slots 32 to 34) and enabling (35 to 37)
  virtual bool isKeyEnabled() const = 0;      // 32
  virtual bool isKeyPairEnabled() const = 0;  // 33
  virtual bool isCRLEnabled() const = 0;      // 34
  virtual void enableKey() = 0;               // 35
  virtual void enableKeyPair() = 0;           // 36
  virtual void enableCRL() = 0;               // 37

  // Database settings
  virtual unsigned char getDBVersion() = 0;                           // 38
  virtual bool hasDBPasswordExpired() = 0;                            // 39
  virtual long long getDBPasswordExpirationTime() = 0;                // 40
  virtual void setDBPasswordExpirationTime(long long time) = 0;       // 41
  // Old password, new password, new expiration time.
  virtual void setDBPassword(const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword,
                             long long expirationTime) = 0;           // 42
  virtual VELString getDBLabel() const = 0;                           // 43
  virtual void setDBLabel(const VELString& label) = 0;                // 44
  virtual void deleteDBOnDisconnect() = 0;                            // 45

  // Class identity
  virtual bool isKindOf(const VELString& name) const { return name == getClassName(); }  // 46
  virtual VELString getInstanceName() const { return getClassName(); }                  // 47
  static VELString getClassName() { return "VELDBManager"; }

 protected:
  VELDBManager() = default;

 private:
  VELDBManager(const VELDBManager&) = delete;
  VELDBManager& operator=(const VELDBManager&) = delete;
};

#endif
