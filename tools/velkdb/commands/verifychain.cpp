// `verify-chain`: a certificate checked against the database's trusted
// certificates with OpenSSL's path validation.
//
// Trust anchors are the key records marked trusted (import --trusted); every
// other stored certificate, and the certificates after the first in a FILE,
// may serve as intermediates.  With --crl the stored CRLs are checked for
// every certificate of the chain.
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>

#include "cli.h"
#include "issuing.h"
#include "text.h"

namespace velkdb {

namespace {

struct StoreFree {
  void operator()(X509_STORE* p) const { X509_STORE_free(p); }
  void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};

// A FILE to verify is read without asking for a password.
class NoPassword : public InputPassword {
 public:
  bool get(Secret&) override { return false; }
};

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct Stored {
  unsigned id;
  std::string label;
  bool trusted;
};

}  // namespace

namespace {

struct VerifyChainOptions {
  DbOptions db;
  std::string label;
  std::string labelOrFile;
  bool crl = false;
  int purpose = -1;  // -1: any use
  std::string purposeName;
  bool hasTime = false;
  time_t at = 0;
  std::string atText;
};

// --at: YYYY-MM-DD (midnight UTC), or YYYY-MM-DDTHH:MM[:SS][Z] in UTC.
time_t parseAtTime(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const char* c = text.c_str();
  bool ok = std::sscanf(c, "%4d-%2d-%2d%n", &year, &month, &day, &used) == 3 && used == 10;
  if (ok && text.size() > 10) {
    int more = 0;
    ok = (text[10] == 'T' || text[10] == ' ') && std::sscanf(c + 11, "%2d:%2d%n", &hour, &minute, &more) == 2 &&
         more == 5;
    std::size_t pos = 16;
    if (ok && pos < text.size() && text[pos] == ':') {
      ok = std::sscanf(c + pos + 1, "%2d%n", &second, &more) == 1 && more == 2;
      pos += 3;
    }
    if (ok && pos < text.size() && text[pos] == 'Z') ++pos;
    ok = ok && pos == text.size();
  }
  for (std::size_t i = 0; ok && i < text.size(); ++i) {
    ok = std::isdigit(static_cast<unsigned char>(text[i])) || std::string("-: TZ").find(text[i]) != std::string::npos;
  }
  ok = ok && year >= 1950 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 &&
       minute <= 59 && second <= 59;
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const time_t t = ok ? timegm(&tm) : -1;
  // A day past the month's end (2026-02-30) comes back as another date.
  struct tm back {};
  if (!ok || gmtime_r(&t, &back) == nullptr || back.tm_mday != day || back.tm_mon != month - 1) {
    throw UsageError("--at \"" + printable(text) + "\": give YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ (UTC)");
  }
  return t;
}

// The outcome and the chain found, each certificate named as stored or
// as from the input.
void printChain(X509_STORE_CTX* ctx, X509* target, bool verified, const std::map<std::string, Stored>& stored,
                const std::string& file) {
  std::cout << (verified ? "verified" : "NOT verified") << ": "
            << printable(nameText(X509_get_subject_name(target))) << "\n";
  if (!verified) {
    const int error = X509_STORE_CTX_get_error(ctx);
    X509* at = X509_STORE_CTX_get_current_cert(ctx);
    std::cout << "reason: " << X509_verify_cert_error_string(error) << " (OpenSSL error " << error << ", depth "
              << X509_STORE_CTX_get_error_depth(ctx) << ")";
    if (at != nullptr) std::cout << " at " << printable(nameText(X509_get_subject_name(at)));
    std::cout << "\n";
  }
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
  const int length = chain ? sk_X509_num(chain) : 0;
  std::cout << (verified ? "chain:" : "chain built:") << "\n";
  for (int i = 0; i < length; ++i) {
    X509* cert = sk_X509_value(chain, i);
    const VELBuffer der = derOf(cert);
    const auto it = stored.find(der.toString());
    std::cout << "  " << i << "  " << printable(nameText(X509_get_subject_name(cert)));
    if (it == stored.end()) {
      std::cout << "  (from " << printable(file.empty() ? "the input" : file) << ")";
    } else {
      std::cout << "  (keys #" << it->second.id << " \"" << printable(it->second.label) << "\""
                << (it->second.trusted ? ", trusted" : "") << ")";
    }
    std::cout << "\n";
  }
}

int runVerifyChain(const VerifyChainOptions& o) {
  std::string label = o.label;
  std::string file;
  if (label.empty()) {
    if (o.labelOrFile.empty()) throw UsageError("verify-chain needs one LABEL or FILE");
    if (isRegularFile(o.labelOrFile)) {
      file = o.labelOrFile;
    } else {
      label = o.labelOrFile;
    }
  } else if (!o.labelOrFile.empty()) {
    throw UsageError("give --label LABEL or one LABEL or FILE");
  }
  const DbPaths paths = databasePaths(o.db);
  const bool checkCRLs = o.crl;

  InputItems input;
  if (!file.empty()) {
    NoPassword none;
    readInputFile(file, none, input);
    if (input.certs.empty()) VELDB_THROW(VELDBError::kBadArgument, file + ": holds no certificate");
  }

  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);

  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  std::unique_ptr<STACK_OF(X509), StoreFree> untrusted(sk_X509_new_null());
  if (!store || !untrusted) VELDB_THROW(VELDBError::kBadArgument, "out of memory");
  std::map<std::string, Stored> stored;  // by DER
  Ossl<X509> target;
  std::size_t anchors = 0;
  forEachKey(*db, [&](VELASNKeyRecord& r) {
    if (!r.hasCertificate()) return;
    const VELASNCBuffer der = r.getCertificate().getEncoding();
    stored[std::string(reinterpret_cast<const char*>(der.data()), static_cast<std::size_t>(der.length()))] = {
        idOf(r), r.getLabel().getValue(), r.isTrusted()};
    Ossl<X509> cert = certFromDER(der);
    if (!label.empty() && r.getLabel().getValue() == label) target = certFromDER(der);
    if (r.isTrusted()) {
      X509_STORE_add_cert(store.get(), cert.get());
      ++anchors;
    } else if (sk_X509_push(untrusted.get(), cert.get()) > 0) {
      cert.release();
    }
  });
  if (!label.empty() && !target) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "no certificate labelled \"" + label + "\" in the key table");
  }
  if (!file.empty()) {
    target = std::move(input.certs.front());
    for (std::size_t i = 1; i < input.certs.size(); ++i) {
      if (sk_X509_push(untrusted.get(), input.certs[i].get()) > 0) input.certs[i].release();
    }
  }
  std::size_t crls = 0;
  if (checkCRLs) {
    forEachCRL(*db, [&](VELASNCRLRecord& r) {
      if (!r.hasCRL()) return;
      Ossl<X509_CRL> crl = crlFromDER(r.getCRL().getEncoding());
      X509_STORE_add_crl(store.get(), crl.get());
      ++crls;
    });
    X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }

  std::unique_ptr<X509_STORE_CTX, StoreFree> ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), target.get(), untrusted.get()) != 1) {
    VELDB_THROW(VELDBError::kBadArgument, "cannot set up the verification");
  }
  if (o.purpose >= 0 && X509_STORE_CTX_set_purpose(ctx.get(), o.purpose) != 1) {
    VELDB_THROW(VELDBError::kBadArgument, "cannot set the purpose " + o.purposeName);
  }
  if (o.hasTime) X509_STORE_CTX_set_time(ctx.get(), 0, o.at);
  const bool verified = X509_verify_cert(ctx.get()) == 1;

  printChain(ctx.get(), target.get(), verified, stored, file);
  std::cout << "checked against " << anchors << (anchors == 1 ? " trusted certificate" : " trusted certificates");
  if (checkCRLs) std::cout << " and " << crls << (crls == 1 ? " CRL" : " CRLs");
  if (o.purpose >= 0) std::cout << ", for " << o.purposeName;
  if (o.hasTime) std::cout << ", at " << o.atText;
  std::cout << "\n";
  return verified ? 0 : 1;
}

}  // namespace

const CommandText kText = {"verify-chain", "verify a certificate against the trusted certificates",
                           "verify-chain -d BASE (LABEL | FILE | --label LABEL) [--crl] [--purpose NAME] [--at TIME]",
                           R"(Verifies the stored certificate labelled LABEL, or the first certificate of FILE (PEM or DER; the
others in it may serve as intermediates), against the certificates stored as trusted (import
--trusted), with the other stored certificates as possible intermediates.  An argument that names an
existing file is read as FILE; --label names a stored certificate in any case.  With --crl the
stored CRLs are checked for every certificate of the chain, and a CA without a stored CRL fails the
check.  --purpose NAME also checks that the certificate (its key usage, extended key usage and the
like) and its chain may serve that use; --at TIME verifies as at that time instead of now.  Prints
the chain found, or why none verifies, and exits with status 1 when the certificate
does not verify.)"};

Command addVerifyChain(CLI::App& root) {
  auto o = std::make_shared<VerifyChainOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("LABEL_OR_FILE", o->labelOrFile, "the stored certificate's label, or a certificate file");
  app->add_option("--label", o->label, "the stored certificate with this label")->option_text("LABEL");
  app->add_flag("--crl", o->crl, "check revocation against the stored CRLs (every certificate of the chain)");
  addParsed(app, "--purpose", "NAME", "verify for this use: " + purposeNames(), [o](const std::string& text) {
    o->purpose = purposeByName(text);
    if (o->purpose < 0) throw UsageError("--purpose \"" + printable(text) + "\": give one of " + purposeNames());
    o->purposeName = text;
  });
  addParsed(app, "--at", "TIME", "verify as at this time, not now: YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ (UTC)",
            [o](const std::string& text) {
              o->at = parseAtTime(text);
              o->atText = text;
              o->hasTime = true;
            });
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runVerifyChain(*o); }};
}

}  // namespace velkdb
