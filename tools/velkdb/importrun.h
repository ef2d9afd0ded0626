// importrun.h -- one import, stage by stage: what importItems runs.
//
// importing.cpp plans it (pairs keys, skips what is stored, refuses or
// skips clashes, gives labels); importwrite.cpp builds the records (the
// keys wrapped two at a time) and writes them in one transaction.
#ifndef VELKDB_IMPORTRUN_H
#define VELKDB_IMPORTRUN_H

#include <cstddef>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "lifecycle.h"

namespace velkdb {

// One record to be inserted.
struct Planned {
  Table table;
  X509* cert = nullptr;      // key table
  // `cert`'s DER with its parts sliced, made once for the checks and the
  // record (not for a join, whose certificate is stored); or why it could
  // not be, for the check to report in its turn.
  std::shared_ptr<const VELASNCertificate> certificate;
  std::exception_ptr certificateFault;
  std::shared_ptr<const std::string> faultyDER;
  EVP_PKEY* key = nullptr;   // key table (optional) or key-pair table
  X509_REQ* request = nullptr;
  X509_CRL* crl = nullptr;
  std::string label;
  std::string inputLabel;  // the label the input file gave the record
  bool trustMark = false;  // the input file marked the certificate trusted
  bool explicitLabel = false;
  bool join = false;                        // `key` joins the stored certificate record `joinId`
  unsigned joinId = 0;
  const StoredKeyPair* keyPair = nullptr;  // the stored key pair `cert` was issued for
};

// One import: the stages in the order they run.  Nothing is written before
// `write`, and `write` is one transaction.
class ImportRun {
 public:
  ImportRun(FileDBManager& db, const Secret& password, const ImportOptions& options)
      : d_db(db), d_password(password), d_options(options) {}

  // Pairs each private key with its certificate or request, or with the
  // certificates stored without it; then the certificates and CRLs without
  // keys.  False when the input holds nothing new.
  bool classify(InputItems& items);
  // Names the record --label is for.
  void applyExplicitLabel();
  // Refuses, before anything is stored, what the tables would refuse; a
  // keyed certificate stored without its key joins it.
  void checkClashes();
  // A certificate that comes without its key takes a stored key pair's.
  void joinStoredKeyPairs();
  void assignLabels();
  void buildRecords();
  void write();

  const ImportSummary& summary() const { return d_summary; }
  bool nothingToWrite() const { return d_plan.empty(); }

 private:
  void pairKeys(InputItems& items, std::vector<bool>& certUsed);
  void takeAttributes(const InputItems& items);
  void joinKeyAlone(EVP_PKEY* key);
  // What the checks found of a record of the plan.
  enum class Found { kNothing, kStored, kInTheWay };
  Found checkCertificate(Planned& p);
  // A different record in the way of `p`: refused with `error`, or skipped
  // with --skip-existing.
  Found inTheWay(unsigned long error, const std::string& message);
  void writeOne(std::size_t i);
  // A key wrapped for a record, or why it could not be.
  struct WrappedKey {
    VELBuffer der;
    std::exception_ptr fault;
  };
  std::vector<WrappedKey> wrapKeys();

  FileDBManager& d_db;
  const Secret& d_password;
  const ImportOptions& d_options;
  ImportSummary d_summary;
  std::vector<Planned> d_plan;
  std::size_t d_withKeys = 0;           // the first records of the plan: those with a key
  bool d_keysEmpty = false;             // the key table held no record when the checks began
  std::vector<Ossl<X509>> d_storedCerts;  // of the records that keys join
  std::set<unsigned> d_joined;
  std::vector<StoredKeyPair> d_storedPairs;
  std::vector<std::unique_ptr<VELASNRecord>> d_records;
};

}  // namespace velkdb

#endif
