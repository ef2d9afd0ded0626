// The provider module: the STORE operation for the scheme "velkdb".
//
// A store context is made by open (the URI is read at once, so that a bad
// URI fails there), takes the caller's expectation and subject search, and
// reads the database on the first load: the password comes from the URI's
// password file, else from the provider's configured password file, else
// from the application's passphrase callback (asked once).  What the query
// names is copied out and the database closed before the first object is
// handed on; a private key is decrypted only as it is handed on, into memory
// that is wiped afterwards.
//
// Configuration (the provider's section of an OpenSSL configuration file):
//   password-file = FILE   the password for URIs that name no file
//   lock-wait = SECONDS    how long a database a writer holds is waited for
//                          (default 5, 0 to 86400)
#include <openssl/core.h>
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/core_object.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/store.h>

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "passwordfile.h"
#include "storeerror.h"
#include "storereader.h"
#include "storeuri.h"

namespace {

using velstore::Reason;
using velstore::StoreError;
using velstore::StoreObject;

OSSL_FUNC_core_get_params_fn* g_getParams = nullptr;
OSSL_FUNC_core_new_error_fn* g_newError = nullptr;
OSSL_FUNC_core_set_error_debug_fn* g_setErrorDebug = nullptr;
OSSL_FUNC_core_vset_error_fn* g_vsetError = nullptr;

struct ProviderContext {
  const OSSL_CORE_HANDLE* handle = nullptr;
  OSSL_LIB_CTX* libctx = nullptr;  // a child of the application's, for decrypting keys
  std::string passwordFile;
  double lockWait = 5.0;
};

void setError(const OSSL_CORE_HANDLE* handle, Reason reason, const char* func, const char* fmt, ...) {
  if (g_newError == nullptr || g_vsetError == nullptr) return;
  g_newError(handle);
  if (g_setErrorDebug != nullptr) g_setErrorDebug(handle, __FILE__, __LINE__, func);
  va_list args;
  va_start(args, fmt);
  g_vsetError(handle, static_cast<uint32_t>(reason), fmt, args);
  va_end(args);
}

void raise(const ProviderContext* prov, const StoreError& e, const char* func) {
  setError(prov->handle, e.reason(), func, "%s", e.what());
}

void raiseUnexpected(const ProviderContext* prov, const char* func) {
  try {
    throw;
  } catch (const StoreError& e) {
    raise(prov, e, func);
  } catch (const std::bad_alloc&) {
    setError(prov->handle, Reason::kDatabase, func, "out of memory");
  } catch (const std::exception& e) {
    setError(prov->handle, Reason::kDatabase, func, "%s", e.what());
  } catch (...) {
    setError(prov->handle, Reason::kDatabase, func, "unexpected failure");
  }
}

// --- store contexts -------------------------------------------------------------

struct StoreContext {
  enum class State { kOpen, kLoaded, kFailed };

  ProviderContext* prov = nullptr;
  velstore::StoreQuery query;
  int expect = 0;  // OSSL_STORE_INFO_*, 0 for anything
  std::string subject;
  State state = State::kOpen;
  std::vector<StoreObject> objects;
  std::size_t next = 0;
  velstore::SecretBytes password;  // kept to open private keys as they are handed on
  // After a failed load, eof answers "not yet" once, so that OSSL_STORE
  // records the failure as an error rather than as the end.
  bool failureUnreported = false;
};

void* storeOpen(void* provctx, const char* uri) {
  auto* prov = static_cast<ProviderContext*>(provctx);
  try {
    std::unique_ptr<StoreContext> ctx(new StoreContext);
    ctx->prov = prov;
    ctx->query = velstore::parseStoreURI(uri == nullptr ? "" : uri);
    return ctx.release();
  } catch (const StoreError& e) {
    setError(prov->handle, e.reason(), "storeOpen", "%s: %s", uri == nullptr ? "(null)" : uri, e.what());
  } catch (...) {
    raiseUnexpected(prov, "storeOpen");
  }
  return nullptr;
}

const OSSL_PARAM* storeSettableParams(void*) {
  static const OSSL_PARAM kSettable[] = {
      OSSL_PARAM_int(OSSL_STORE_PARAM_EXPECT, nullptr),
      OSSL_PARAM_octet_string(OSSL_STORE_PARAM_SUBJECT, nullptr, 0),
      OSSL_PARAM_utf8_string(OSSL_STORE_PARAM_PROPERTIES, nullptr, 0),
      OSSL_PARAM_END,
  };
  return kSettable;
}

int storeSetParams(void* loaderctx, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<StoreContext*>(loaderctx);
  if (params == nullptr) return 1;
  if (const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_STORE_PARAM_EXPECT)) {
    if (!OSSL_PARAM_get_int(p, &ctx->expect)) return 0;
  }
  if (const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_STORE_PARAM_SUBJECT)) {
    const void* der = nullptr;
    std::size_t length = 0;
    if (!OSSL_PARAM_get_octet_string_ptr(p, &der, &length)) return 0;
    try {
      ctx->subject.assign(static_cast<const char*>(der), length);
    } catch (...) {
      raiseUnexpected(ctx->prov, "storeSetParams");
      return 0;
    }
  }
  return 1;
}

// The database password of `ctx`, from the first source there is.
velstore::SecretBytes obtainPassword(StoreContext& ctx, OSSL_PASSPHRASE_CALLBACK* pwCallback, void* pwArg) {
  if (!ctx.query.passwordFile.empty()) return velstore::readPasswordFile(ctx.query.passwordFile);
  if (!ctx.prov->passwordFile.empty()) return velstore::readPasswordFile(ctx.prov->passwordFile);
  if (pwCallback != nullptr) {
    std::string info = "velkdb database " + ctx.query.base;
    OSSL_PARAM params[] = {OSSL_PARAM_utf8_string(OSSL_PASSPHRASE_PARAM_INFO, &info[0], info.size()), OSSL_PARAM_END};
    char buf[4096];
    std::size_t length = 0;
    const int ok = pwCallback(buf, sizeof buf, &length, params, pwArg);
    velstore::SecretBytes out(buf, ok && length <= sizeof buf ? length : 0);
    OPENSSL_cleanse(buf, sizeof buf);
    if (ok && !out.empty()) return out;
  }
  throw StoreError(Reason::kNoPassword,
                   "no password for the database " + ctx.query.base +
                       ": give the application's passphrase option (-passin, -pass), password-file=FILE in the "
                       "URI, or password-file in the provider's configuration");
}

velstore::ReadOptions readOptions(const StoreContext& ctx) {
  velstore::ReadOptions o;
  o.lockWait = ctx.prov->lockWait;
  o.subject = ctx.subject;
  switch (ctx.expect) {
    case 0:
      break;
    case OSSL_STORE_INFO_CERT:
      o.privateKeys = o.crls = false;
      break;
    case OSSL_STORE_INFO_PKEY:
      o.certificates = o.crls = false;
      break;
    case OSSL_STORE_INFO_PUBKEY:
      o.certificates = o.crls = o.privateKeys = false;
      o.publicKeys = true;
      break;
    case OSSL_STORE_INFO_CRL:
      o.certificates = o.privateKeys = false;
      break;
    default:  // names, parameters: nothing here is one
      o.certificates = o.privateKeys = o.crls = false;
      break;
  }
  return o;
}

int handOn(StoreContext& ctx, const StoreObject& object, OSSL_CALLBACK* objectCallback, void* objectArg) {
  int type = OSSL_OBJECT_UNKNOWN;
  const char* structure = nullptr;
  velstore::SecretBytes clear;
  const void* data = object.der.data();
  std::size_t length = object.der.size();
  switch (object.kind) {
    case StoreObject::Kind::kCertificate:
      type = OSSL_OBJECT_CERT;
      break;
    case StoreObject::Kind::kCRL:
      type = OSSL_OBJECT_CRL;
      break;
    case StoreObject::Kind::kPublicKey:
      type = OSSL_OBJECT_PKEY;
      structure = "SubjectPublicKeyInfo";
      break;
    case StoreObject::Kind::kPrivateKey:
      type = OSSL_OBJECT_PKEY;
      structure = "PrivateKeyInfo";
      clear = velstore::unwrapPrivateKey(object, ctx.password, ctx.prov->libctx);
      data = clear.data();
      length = clear.size();
      break;
  }
  std::string description = object.description;
  OSSL_PARAM params[5];
  OSSL_PARAM* p = params;
  *p++ = OSSL_PARAM_construct_int(OSSL_OBJECT_PARAM_TYPE, &type);
  *p++ = OSSL_PARAM_construct_octet_string(OSSL_OBJECT_PARAM_DATA, const_cast<void*>(data), length);
  if (structure != nullptr) {
    *p++ = OSSL_PARAM_construct_utf8_string(OSSL_OBJECT_PARAM_DATA_STRUCTURE, const_cast<char*>(structure), 0);
  }
  *p++ = OSSL_PARAM_construct_utf8_string(OSSL_OBJECT_PARAM_DESC, &description[0], description.size());
  *p = OSSL_PARAM_construct_end();
  return objectCallback(params, objectArg);
}

int storeLoad(void* loaderctx, OSSL_CALLBACK* objectCallback, void* objectArg, OSSL_PASSPHRASE_CALLBACK* pwCallback,
              void* pwArg) {
  auto* ctx = static_cast<StoreContext*>(loaderctx);
  try {
    if (ctx->state == StoreContext::State::kFailed) return 0;
    if (ctx->state == StoreContext::State::kOpen) {
      ctx->password = obtainPassword(*ctx, pwCallback, pwArg);
      ctx->objects = velstore::readStore(ctx->query, ctx->password, readOptions(*ctx));
      ctx->state = StoreContext::State::kLoaded;
      bool keys = false;
      for (const StoreObject& o : ctx->objects) keys = keys || o.kind == StoreObject::Kind::kPrivateKey;
      if (!keys) ctx->password.wipe();
    }
    if (ctx->next >= ctx->objects.size()) return 0;
    const StoreObject& object = ctx->objects[ctx->next++];
    if (ctx->next >= ctx->objects.size()) {
      // The last object: nothing is needed afterwards.
      const int ok = handOn(*ctx, object, objectCallback, objectArg);
      ctx->password.wipe();
      return ok;
    }
    return handOn(*ctx, object, objectCallback, objectArg);
  } catch (...) {
    raiseUnexpected(ctx->prov, "storeLoad");
    if (ctx->state == StoreContext::State::kOpen) ctx->state = StoreContext::State::kFailed;
    if (ctx->state == StoreContext::State::kLoaded && ctx->next >= ctx->objects.size()) ctx->password.wipe();
    ctx->failureUnreported = true;
    return 0;
  }
}

int storeEof(void* loaderctx) {
  auto* ctx = static_cast<StoreContext*>(loaderctx);
  if (ctx->failureUnreported) {
    ctx->failureUnreported = false;
    return 0;
  }
  switch (ctx->state) {
    case StoreContext::State::kOpen:
      return 0;
    case StoreContext::State::kLoaded:
      return ctx->next >= ctx->objects.size() ? 1 : 0;
    case StoreContext::State::kFailed:
      return 1;
  }
  return 1;
}

int storeClose(void* loaderctx) {
  delete static_cast<StoreContext*>(loaderctx);
  return 1;
}

const OSSL_DISPATCH kStoreFunctions[] = {
    {OSSL_FUNC_STORE_OPEN, reinterpret_cast<void (*)(void)>(storeOpen)},
    {OSSL_FUNC_STORE_SETTABLE_CTX_PARAMS, reinterpret_cast<void (*)(void)>(storeSettableParams)},
    {OSSL_FUNC_STORE_SET_CTX_PARAMS, reinterpret_cast<void (*)(void)>(storeSetParams)},
    {OSSL_FUNC_STORE_LOAD, reinterpret_cast<void (*)(void)>(storeLoad)},
    {OSSL_FUNC_STORE_EOF, reinterpret_cast<void (*)(void)>(storeEof)},
    {OSSL_FUNC_STORE_CLOSE, reinterpret_cast<void (*)(void)>(storeClose)},
    {0, nullptr},
};

const OSSL_ALGORITHM kStores[] = {
    {"velkdb", "provider=velfiledb", kStoreFunctions, "velkdb certificate and key databases"},
    {nullptr, nullptr, nullptr, nullptr},
};

// --- the provider ---------------------------------------------------------------

const OSSL_ALGORITHM* queryOperation(void*, int operation, int* noCache) {
  *noCache = 0;
  return operation == OSSL_OP_STORE ? kStores : nullptr;
}

const OSSL_PARAM* gettableParams(void*) {
  static const OSSL_PARAM kGettable[] = {
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_NAME, nullptr, 0),
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_VERSION, nullptr, 0),
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_BUILDINFO, nullptr, 0),
      OSSL_PARAM_int(OSSL_PROV_PARAM_STATUS, nullptr),
      OSSL_PARAM_END,
  };
  return kGettable;
}

int getParams(void*, OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "velfiledb store provider")) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_VERSION);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, VELFILEDB_PROVIDER_VERSION)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_BUILDINFO);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, VELFILEDB_PROVIDER_VERSION)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 1)) return 0;
  return 1;
}

const OSSL_ITEM* reasonStrings(void*) {
  static const OSSL_ITEM kReasons[] = {
#define VEL_REASON(r) {static_cast<unsigned int>(Reason::r), const_cast<char*>(velstore::reasonText(Reason::r))}
      VEL_REASON(kBadURI),        VEL_REASON(kNoPassword),  VEL_REASON(kPasswordFile), VEL_REASON(kWrongPassword),
      VEL_REASON(kNoSuchRecord),  VEL_REASON(kInUse),       VEL_REASON(kInterrupted),  VEL_REASON(kNoDatabase),
      VEL_REASON(kDamaged),       VEL_REASON(kDatabase),    VEL_REASON(kKeyDoesNotOpen),
#undef VEL_REASON
      {0, nullptr},
  };
  return kReasons;
}

void teardown(void* provctx) {
  auto* prov = static_cast<ProviderContext*>(provctx);
  OSSL_LIB_CTX_free(prov->libctx);
  delete prov;
}

const OSSL_DISPATCH kProviderFunctions[] = {
    {OSSL_FUNC_PROVIDER_TEARDOWN, reinterpret_cast<void (*)(void)>(teardown)},
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, reinterpret_cast<void (*)(void)>(queryOperation)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, reinterpret_cast<void (*)(void)>(gettableParams)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, reinterpret_cast<void (*)(void)>(getParams)},
    {OSSL_FUNC_PROVIDER_GET_REASON_STRINGS, reinterpret_cast<void (*)(void)>(reasonStrings)},
    {0, nullptr},
};

// Reads the provider's configuration; false (with an error raised) for a
// value it cannot use.
bool configure(ProviderContext& prov) {
  char* passwordFile = nullptr;
  char* lockWait = nullptr;
  OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_ptr("password-file", &passwordFile, 0),
      OSSL_PARAM_utf8_ptr("lock-wait", &lockWait, 0),
      OSSL_PARAM_END,
  };
  if (g_getParams == nullptr || !g_getParams(prov.handle, params)) return true;
  if (passwordFile != nullptr) prov.passwordFile = passwordFile;
  if (lockWait != nullptr) {
    const std::string text = lockWait;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos || end == nullptr ||
        *end != '\0' || !std::isfinite(value) || value > 86400) {
      setError(prov.handle, Reason::kDatabase, "configure",
               "lock-wait = %s: takes a number of seconds from 0 to 86400", text.c_str());
      return false;
    }
    prov.lockWait = value;
  }
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int OSSL_provider_init(const OSSL_CORE_HANDLE* handle,
                                                                        const OSSL_DISPATCH* in,
                                                                        const OSSL_DISPATCH** out, void** provctx) {
  const OSSL_DISPATCH* const core = in;
  for (; in != nullptr && in->function_id != 0; ++in) {
    switch (in->function_id) {
      case OSSL_FUNC_CORE_GET_PARAMS:
        g_getParams = OSSL_FUNC_core_get_params(in);
        break;
      case OSSL_FUNC_CORE_NEW_ERROR:
        g_newError = OSSL_FUNC_core_new_error(in);
        break;
      case OSSL_FUNC_CORE_SET_ERROR_DEBUG:
        g_setErrorDebug = OSSL_FUNC_core_set_error_debug(in);
        break;
      case OSSL_FUNC_CORE_VSET_ERROR:
        g_vsetError = OSSL_FUNC_core_vset_error(in);
        break;
      default:
        break;
    }
  }
  std::unique_ptr<ProviderContext> prov(new (std::nothrow) ProviderContext);
  if (!prov) return 0;
  prov->handle = handle;
  if (!configure(*prov)) return 0;
  prov->libctx = OSSL_LIB_CTX_new_child(handle, core);
  if (prov->libctx == nullptr) return 0;
  *out = kProviderFunctions;
  *provctx = prov.release();
  return 1;
}
