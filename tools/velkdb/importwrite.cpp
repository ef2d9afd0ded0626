// Writing an import: every record built (the keys wrapped two at a time)
// before the first insert, then all of them in one transaction.
#include <atomic>
#include <cstdio>
#include <sstream>
#include <system_error>
#include <thread>

#include "background.h"
#include "clash.h"
#include "filedbtransactionguard.h"
#include "importrun.h"
#include "interrupt.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

void drawProgress(std::size_t done, std::size_t total) {
  const int width = 30;
  const int filled = total == 0 ? width : static_cast<int>(done * width / total);
  std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################", width - filled, "", done,
               total);
  if (done == total) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

// What the record is about, for an error.
std::string describe(const Planned& p) {
  if (p.table == Table::Key) return "certificate " + nameText(X509_get_subject_name(p.cert));
  if (p.table == Table::KeyPair) return "key pair of request " + nameText(X509_REQ_get_subject_name(p.request));
  return "CRL of " + nameText(X509_CRL_get_issuer(p.crl));
}

// An insert refused because the same certificate (without a key) or CRL is
// stored.  The checks before the inserts find what was stored before the
// import; this finds what an earlier input of the same import stored (the
// same certificate or CRL signed twice).
bool alreadyStored(const Planned& p, unsigned long error) {
  const unsigned long signatureTaken = 0x8C246, certificateTaken = 0x8C247, crlTaken = 0x8C24A;
  if (p.table == Table::Key) return p.key == nullptr && (error == signatureTaken || error == certificateTaken);
  if (p.table == Table::CRL) return error == signatureTaken || error == crlTaken;
  return false;
}

// An insert refused because another record holds one of its unique keys
// (label, signature, to-be-signed part, issuer and serial, public key):
// what --skip-existing skips.
bool uniqueKeyTaken(unsigned long error) {
  return error >= VELDBError::kDuplicateLabel && error <= VELDBError::kDuplicateLast;
}

}  // namespace

// Wraps the keys of the plan under the database password, by the plan's
// index: two at a time, the second in another thread, since each wrap is a
// key derivation of kWrapIterations rounds.  A fault is kept for the record
// whose building reports it, as if the keys had been wrapped one by one.
std::vector<ImportRun::WrappedKey> ImportRun::wrapKeys() {
  std::vector<WrappedKey> wrapped(d_plan.size());
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < d_plan.size(); ++i) {
    const Planned& p = d_plan[i];
    if (p.join || p.table == Table::KeyPair || (p.table == Table::Key && p.keyPair == nullptr && p.key != nullptr)) {
      todo.push_back(i);
    }
  }
  std::atomic<std::size_t> next{0};
  auto wrapSome = [&](bool here) {
    for (std::size_t k = next++; k < todo.size(); k = next++) {
      // Ctrl-C stops the wrapping here; the other thread ends with its key.
      if (here) checkInterrupt();
      if (!here && pendingSignal() != 0) return;
      WrappedKey& w = wrapped[todo[k]];
      try {
        w.der = wrapPrivateKey(d_plan[todo[k]].key, d_password);
      } catch (...) {
        w.fault = std::current_exception();
      }
    }
  };
  struct Helper {
    std::atomic<std::size_t>& next;
    std::size_t end;
    std::thread thread;
    ~Helper() {
      next = end;  // nothing more for it to take
      if (thread.joinable()) thread.join();
    }
  } helper{next, todo.size(), {}};
  if (todo.size() > 1) {
    try {
      helper.thread = startBackgroundThread([&wrapSome] { wrapSome(false); });
    } catch (const std::system_error&) {
      // No second thread to be had: this one wraps them all.
    }
  }
  wrapSome(true);
  return wrapped;
}

void ImportRun::buildRecords() {
  // Every record is built (the keys wrapped) before the first insert.
  d_records.clear();
  std::vector<WrappedKey> keys = wrapKeys();
  auto wrappedKey = [&keys](std::size_t i) -> const VELBuffer& {
    if (keys[i].fault) std::rethrow_exception(keys[i].fault);
    return keys[i].der;
  };
  for (std::size_t i = 0; i < d_plan.size(); ++i) {
    const Planned& p = d_plan[i];
    checkInterrupt();
    if (p.join) {
      std::unique_ptr<VELASNKeyRecord> r(
          d_db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(p.joinId)));
      if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
      const VELBuffer& wrapped = wrappedKey(i);
      const VELASNCertificate certificate = r->getCertificate();
      r->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      r->setLabel(p.label);
      d_records.emplace_back(std::move(r));
    } else if (p.table == Table::Key) {
      std::unique_ptr<VELASNKeyRecord> r(new VELASNKeyRecord(1));
      // Decoded once already, as it was read: not decoded again to check it.
      const VELASNCertificate& certificate = *p.certificate;
      if (p.keyPair != nullptr) {
        // Wrapped under this database's password already.
        r->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(p.keyPair->wrappedKey.get()));
      } else if (p.key != nullptr) {
        const VELBuffer& wrapped = wrappedKey(i);
        r->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      } else {
        r->setCertificate(certificate);
      }
      r->setLabel(p.label);
      r->setTrusted((d_options.trusted || p.trustMark) && p.key == nullptr && p.keyPair == nullptr);
      d_records.emplace_back(std::move(r));
    } else if (p.table == Table::KeyPair) {
      std::unique_ptr<VELASNKeyPairRecord> r(new VELASNKeyPairRecord(1));
      const VELBuffer spki = publicKeyDER(p.key);
      const VELBuffer& wrapped = wrappedKey(i);
      r->setKeyPair(VELASNSubjectPublicKeyInfo(spki.get()), VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      r->setCertificationRequest(derOf(p.request).get());
      r->setLabel(p.label);
      d_records.emplace_back(std::move(r));
    } else {
      std::unique_ptr<VELASNCRLRecord> r(new VELASNCRLRecord());
      r->setCRL(derOf(p.crl).get());
      r->setLabel(p.label);
      d_records.emplace_back(std::move(r));
    }
    // A record longer than its table's limit is refused before the table
    // grows for it.
    refuseLongRecord(p.table, *d_records.back(), describe(p), d_options.maxRecordLength);
  }
}

void ImportRun::writeOne(std::size_t i) {
  const Planned& p = d_plan[i];
  VELASNRecord& record = *d_records[i];
  if (p.join) {
    d_db.updateKeyByIndex(VELDBManager::KeyRecordID, static_cast<VELASNKeyRecord&>(record));
  } else if (p.table == Table::Key) {
    d_db.insertKey(static_cast<VELASNKeyRecord&>(record));
    if (p.keyPair != nullptr) {
      d_db.deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(p.keyPair->id));
    }
  } else if (p.table == Table::KeyPair) {
    d_db.insertKeyPair(static_cast<VELASNKeyPairRecord&>(record));
  } else {
    d_db.insertCRL(static_cast<VELASNCRLRecord&>(record));
  }
  if (p.join) {
    ++d_summary.joined;
  } else if (p.table == Table::Key) {
    ++d_summary.certificates;
    if (p.key || p.keyPair) ++d_summary.keys;
    if (p.keyPair) ++d_summary.installed;
  } else if (p.table == Table::KeyPair) {
    ++d_summary.keyPairs;
  } else {
    ++d_summary.crls;
  }
}

void ImportRun::write() {
  // All in one transaction: an error rolls every insert back (the guard), a
  // killed process leaves none of them.  A table cannot be enabled inside a
  // transaction; the key-pair table is enabled by the transaction itself.
  if (!d_db.isCRLEnabled()) {
    for (const Planned& p : d_plan) {
      if (p.table == Table::CRL) {
        d_db.enableCRL();
        break;
      }
    }
  }
  const bool bar = d_options.progress && d_plan.size() > 1;
  try {
    FileDBTransactionGuard transaction(d_db);
    for (std::size_t i = 0; i < d_plan.size(); ++i) {
      // Ctrl-C stops the import here; the guard rolls every insert back.
      checkInterrupt();
      const Planned& p = d_plan[i];
      try {
        writeOne(i);
      } catch (const VELException& e) {
        // A refused insert leaves the transaction as it was.
        if (!d_options.skipExisting || !uniqueKeyTaken(e.getError())) {
          std::string context = describe(p);
          if (p.table == Table::Key && e.getError() == VELDBError::kDuplicateIssuerAndSerial) {
            // Two certificates of this import share them.
            const std::string other =
                recordWithIssuerAndSerial(d_db, static_cast<VELASNKeyRecord&>(*d_records[i]).getCertificate());
            if (!other.empty()) context += " has the issuer and serial number of " + other;
          }
          rethrowWithContext(e, context);
        }
        ++(alreadyStored(p, e.getError()) ? d_summary.skipped : d_summary.inTheWay);
        if (bar) drawProgress(i + 1, d_plan.size());
        continue;
      }
      testCrashPoint("import", i + 1);
      if (bar) drawProgress(i + 1, d_plan.size());
    }
    transaction.commit();
  } catch (...) {
    // An interrupted import takes its bar away; an error leaves it above
    // the message.
    if (bar) std::fputs(pendingSignal() != 0 ? "\r\033[K" : "\n", stderr);
    throw;
  }
}

std::string ImportSummary::text() const {
  std::ostringstream out;
  out << "imported " << certificates << (certificates == 1 ? " certificate" : " certificates") << " (" << keys
      << (keys == 1 ? " with its key" : " with keys") << "), " << keyPairs
      << (keyPairs == 1 ? " key pair" : " key pairs") << ", " << crls << (crls == 1 ? " CRL" : " CRLs");
  if (installed != 0) {
    out << "; " << installed << (installed == 1 ? " certificate" : " certificates")
        << " joined with the stored key pair's key";
  }
  if (joined != 0) out << "; " << joined << (joined == 1 ? " key" : " keys") << " joined stored certificates";
  if (skipped != 0) out << "; skipped " << skipped << " already present";
  if (inTheWay != 0) out << "; skipped " << inTheWay << " in the way of other records";
  if (trustIgnored != 0) {
    out << "; " << trustIgnored << (trustIgnored == 1 ? " trust mark" : " trust marks")
        << " of the input not taken (--keep-trust takes them)";
  }
  return out.str();
}

}  // namespace velkdb
