#include "veldbconnectinfo.h"

VELDBConnectInfo::OBJECT::OBJECT(const VELString& name, const VELPasswordEncryptor& password,
                                 ConnectType connectType, AccessMode accessMode,
                                 const VELKRYAlgorithmFactory* factory)
    : d_name(name),
      d_password(password),
      d_connectType(connectType),
      d_accessMode(accessMode),
      d_factory(factory ? factory->copy() : new VELKRYAlgorithmFactory()) {}

VELDBConnectInfo::OBJECT::OBJECT(const OBJECT& other)
    : d_name(other.d_name),
      d_password(other.d_password),
      d_connectType(other.d_connectType),
      d_accessMode(other.d_accessMode),
      d_factory(other.d_factory->copy()),
      d_initialRecordLength(other.d_initialRecordLength) {}

VELDBConnectInfo::FILE::FILE(const VELString& baseName, const VELPasswordEncryptor& password,
                             ConnectType connectType, AccessMode accessMode, const VELString& keySuffix,
                             const VELString& keyPairSuffix, const VELString& crlSuffix,
                             const VELKRYAlgorithmFactory* factory)
    : OBJECT(baseName, password, connectType, accessMode, factory),
      d_keySuffix(keySuffix),
      d_keyPairSuffix(keyPairSuffix),
      d_crlSuffix(crlSuffix) {}

VELDBConnectInfo::STRING::STRING(const VELString& name, VELString* image, const VELPasswordEncryptor& password,
                                 ConnectType connectType, AccessMode accessMode,
                                 const VELKRYAlgorithmFactory* factory)
    : OBJECT(name, password, connectType, accessMode, factory), d_image(image) {}
