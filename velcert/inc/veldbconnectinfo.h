// veldbconnectinfo.h -- the description of a database connection.
//
// `OBJECT` carries what every connection has: the database name, the
// logical password, the connect type, the access mode and the algorithm
// factory (owned).  `FILE` adds the three file-name suffixes: the table files
// are the name followed by a suffix.  `STRING` adds the caller's string that
// holds the key table's image (not owned).
//
// Connect types: 0 creates the files (version-3 headers) and connects;
// 1 opens; 2 creates with version-4 headers and connects; 3 opens and
// demands version-4 headers.  Access mode 0 is read-only (shared), 1 is
// read-write (exclusive).  The initial record length is the slot length
// that a create writes into each new file's header (0: the library's
// default); an open reads it from the file and ignores this value.
#ifndef VELCERT_VELDBCONNECTINFO_H
#define VELCERT_VELDBCONNECTINFO_H

#include <cstdint>
#include <memory>

#include "velkry.h"
#include "velpassword.h"
#include "velstring.h"

class VELDBConnectInfo {
 public:
  // Fixed underlying type: callers may pass other values, which are refused.
  enum AccessMode : int { ReadOnly = 0, ReadWrite = 1 };
  enum ConnectType { Create = 0, Open = 1, CreateV4 = 2, OpenV4 = 3 };

  class OBJECT {
   public:
    OBJECT(const VELString& name, const VELPasswordEncryptor& password, ConnectType connectType,
           AccessMode accessMode, const VELKRYAlgorithmFactory* factory = nullptr);
    OBJECT(const OBJECT& other);
    OBJECT& operator=(const OBJECT&) = delete;
    virtual ~OBJECT() = default;

    // A new copy of the same class, owned by the caller.
    virtual OBJECT* duplicate() const { return new OBJECT(*this); }
    // True for this class's name and the names of its bases.
    virtual bool isKindOf(const VELString& name) const { return name == getClassName(); }
    virtual VELString getInstanceName() const { return getClassName(); }
    static VELString getClassName() { return "VELDBConnectInfo::OBJECT"; }

    const VELConstString& getName() const { return d_name; }
    VELPasswordEncryptor getLogicalDBPassword() const { return d_password; }
    void setLogicalDBPassword(const VELPasswordEncryptor& password) { d_password = password; }
    ConnectType getConnectType() const { return d_connectType; }
    void setConnectType(ConnectType type) { d_connectType = type; }
    AccessMode getAccessMode() const { return d_accessMode; }
    void setAccessMode(AccessMode mode) { d_accessMode = mode; }
    const VELKRYAlgorithmFactory* getAlgorithmFactory() const { return d_factory.get(); }
    std::uint32_t getInitialRecordLength() const { return d_initialRecordLength; }
    void setInitialRecordLength(std::uint32_t length) { d_initialRecordLength = length; }

   private:
    VELConstString d_name;
    VELPasswordEncryptor d_password;
    ConnectType d_connectType;
    AccessMode d_accessMode;
    std::unique_ptr<VELKRYAlgorithmFactory> d_factory;
    std::uint32_t d_initialRecordLength = 0;
  };

  class FILE : public OBJECT {
   public:
    FILE(const VELString& baseName, const VELPasswordEncryptor& password, ConnectType connectType,
         AccessMode accessMode, const VELString& keySuffix = ".vkey", const VELString& keyPairSuffix = ".vkyp",
         const VELString& crlSuffix = ".vcrl", const VELKRYAlgorithmFactory* factory = nullptr);
    FILE(const FILE&) = default;

    OBJECT* duplicate() const override { return new FILE(*this); }
    bool isKindOf(const VELString& name) const override {
      return name == getClassName() || OBJECT::isKindOf(name);
    }
    VELString getInstanceName() const override { return getClassName(); }
    static VELString getClassName() { return "VELDBConnectInfo::FILE"; }

    const VELConstString& getKeyFileSuffix() const { return d_keySuffix; }
    const VELConstString& getKeyPairFileSuffix() const { return d_keyPairSuffix; }
    const VELConstString& getCRLFileSuffix() const { return d_crlSuffix; }

   private:
    VELConstString d_keySuffix;
    VELConstString d_keyPairSuffix;
    VELConstString d_crlSuffix;
  };

  class STRING : public OBJECT {
   public:
    // `image` is the caller's string; it must outlive every connection made
    // from this description and its duplicates.
    STRING(const VELString& name, VELString* image, const VELPasswordEncryptor& password, ConnectType connectType,
           AccessMode accessMode, const VELKRYAlgorithmFactory* factory = nullptr);
    STRING(const STRING&) = default;

    OBJECT* duplicate() const override { return new STRING(*this); }
    bool isKindOf(const VELString& name) const override {
      return name == getClassName() || OBJECT::isKindOf(name);
    }
    VELString getInstanceName() const override { return getClassName(); }
    static VELString getClassName() { return "VELDBConnectInfo::STRING"; }

    VELString* getString() const { return d_image; }

   private:
    VELString* d_image;
  };
};

#endif
