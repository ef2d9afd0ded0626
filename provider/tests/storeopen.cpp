// storeopen -- loads what a velkdb: URI names through OSSL_STORE_open_ex,
// with the provider loaded into a library context of its own, and prints
// one line per object: its type and, for certificates, the subject.
//
//   velstore_open MODULE_DIR URI [PASSWORD_FILE [cert|key|crl [SUBJECT]]]
//
// PASSWORD_FILE ("-" for none) is read by the program and given through the
// passphrase callback; the expectation and the subject search (a name in
// "/O=x/CN=y" form) are passed on to the store.  Exits 0 when the store
// opened and loaded without an error, 1 otherwise (OpenSSL's errors on
// standard error).
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/store.h>
#include <openssl/ui.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string g_password;

int passwordCallback(char* buf, int size, int, void*) {
  if (g_password.empty() || static_cast<int>(g_password.size()) > size) return -1;
  std::memcpy(buf, g_password.data(), g_password.size());
  return static_cast<int>(g_password.size());
}

int fail(const char* what) {
  std::fprintf(stderr, "velstore_open: %s\n", what);
  ERR_print_errors_fp(stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODULE_DIR URI [PASSWORD_FILE [cert|key|crl [SUBJECT]]]\n", argv[0]);
    return 2;
  }
  if (argc > 3 && std::strcmp(argv[3], "-") != 0) {
    std::ifstream in(argv[3]);
    std::getline(in, g_password);
  }
  OSSL_LIB_CTX* libctx = OSSL_LIB_CTX_new();
  if (libctx == nullptr || !OSSL_PROVIDER_set_default_search_path(libctx, argv[1])) return fail("library context");
  OSSL_PROVIDER* velfiledb = OSSL_PROVIDER_load(libctx, "velfiledb");
  OSSL_PROVIDER* builtin = OSSL_PROVIDER_load(libctx, "default");
  if (velfiledb == nullptr || builtin == nullptr) return fail("loading the providers");
  // The application's default context knows nothing of it.
  if (OSSL_PROVIDER_available(nullptr, "velfiledb")) return fail("the provider leaked into the default context");

  UI_METHOD* ui = UI_UTIL_wrap_read_pem_callback(passwordCallback, 0);
  OSSL_STORE_CTX* store = OSSL_STORE_open_ex(argv[2], libctx, nullptr, ui, nullptr, nullptr, nullptr, nullptr);
  if (store == nullptr) return fail("OSSL_STORE_open_ex");
  if (argc > 4) {
    const std::string kind = argv[4];
    const int expect = kind == "cert" ? OSSL_STORE_INFO_CERT : kind == "key" ? OSSL_STORE_INFO_PKEY : OSSL_STORE_INFO_CRL;
    if (!OSSL_STORE_expect(store, expect)) return fail("OSSL_STORE_expect");
  }
  X509_NAME* subject = nullptr;
  OSSL_STORE_SEARCH* search = nullptr;
  if (argc > 5) {
    subject = X509_NAME_new();
    // "/O=x/CN=y"
    std::string text = argv[5];
    std::size_t at = 1;
    while (at < text.size()) {
      const std::size_t next = std::min(text.find('/', at), text.size());
      const std::string part = text.substr(at, next - at);
      const std::size_t eq = part.find('=');
      X509_NAME_add_entry_by_txt(subject, part.substr(0, eq).c_str(), MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(part.c_str() + eq + 1), -1, -1, 0);
      at = next + 1;
    }
    search = OSSL_STORE_SEARCH_by_name(subject);
    if (!OSSL_STORE_supports_search(store, OSSL_STORE_SEARCH_BY_NAME) || !OSSL_STORE_find(store, search)) {
      return fail("OSSL_STORE_find");
    }
  }
  int errors = 0;
  while (!OSSL_STORE_eof(store)) {
    OSSL_STORE_INFO* info = OSSL_STORE_load(store);
    if (info == nullptr) {
      if (OSSL_STORE_error(store)) ++errors;
      continue;
    }
    const int type = OSSL_STORE_INFO_get_type(info);
    std::printf("%s", OSSL_STORE_INFO_type_string(type));
    if (type == OSSL_STORE_INFO_CERT) {
      char line[256];
      X509_NAME_oneline(X509_get_subject_name(OSSL_STORE_INFO_get0_CERT(info)), line, sizeof line);
      std::printf(" %s", line);
    } else if (type == OSSL_STORE_INFO_PKEY) {
      std::printf(" %s", EVP_PKEY_get0_type_name(OSSL_STORE_INFO_get0_PKEY(info)));
    }
    std::printf("\n");
    OSSL_STORE_INFO_free(info);
  }
  OSSL_STORE_close(store);
  OSSL_STORE_SEARCH_free(search);
  X509_NAME_free(subject);
  UI_destroy_method(ui);
  OSSL_PROVIDER_unload(velfiledb);
  OSSL_PROVIDER_unload(builtin);
  OSSL_LIB_CTX_free(libctx);
  if (errors != 0) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  return 0;
}
