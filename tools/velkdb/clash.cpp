#include "clash.h"

#include <memory>

#include "text.h"
#include "velasnutility.h"
#include "veldbutility.h"

namespace velkdb {

std::string describeRecord(FileDBManager& db, Table table, unsigned id) {
  const VELASNInteger key = VELDBUtility::recordIDToASN(id);
  std::string what;
  std::string label;
  if (table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, key));
    if (!r) return "";
    label = r->getLabel().getValue();
    if (r->hasCertificate()) what = "subject " + r->getCertificate().getSubject().toText();
  } else if (table == Table::KeyPair) {
    if (!db.isKeyPairEnabled()) return "";
    std::unique_ptr<VELASNKeyPairRecord> r(db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, key));
    if (!r) return "";
    label = r->getLabel().getValue();
    if (r->hasCertificationRequest()) what = "request of " + r->getCertificationRequest().getSubject().toText();
  } else {
    if (!db.isCRLEnabled()) return "";
    std::unique_ptr<VELASNCRLRecord> r(db.getCRLByIndex(VELDBManager::CRLRecordID, key));
    if (!r) return "";
    label = r->getLabel().getValue();
    if (r->hasCRL()) what = "CRL of " + r->getCRL().getIssuer().toText();
  }
  return std::string(tableName(table)) + " #" + std::to_string(id) + " \"" + label + "\"" +
         (what.empty() ? "" : " (" + what + ")");
}

std::string recordWithLabel(FileDBManager& db, Table table, const std::string& label) {
  const VELASNLabelString key(label);
  std::unique_ptr<VELASNRecord> r;
  if (table == Table::Key) {
    r.reset(db.getKeyByIndex(VELDBManager::KeyLabel, key));
  } else if (table == Table::KeyPair) {
    if (db.isKeyPairEnabled()) r.reset(db.getKeyPairByIndex(VELDBManager::KeyPairLabel, key));
  } else if (db.isCRLEnabled()) {
    r.reset(db.getCRLByIndex(VELDBManager::CRLLabel, key));
  }
  return r ? describeRecord(db, table, idOf(*r)) : "";
}

std::string recordWithIssuerAndSerial(FileDBManager& db, const VELASNCertificate& cert) {
  const VELASNIssuerAndSerialNumber key = VELASNUtility::getIssuerAndSerialNumber(cert);
  std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyIssuerAndSerialNumber, key));
  return r ? describeRecord(db, Table::Key, idOf(*r)) : "";
}

void requireLabelFree(FileDBManager& db, Table table, const std::string& label, unsigned self) {
  const VELASNLabelString key(label);
  std::unique_ptr<VELASNRecord> r;
  if (table == Table::Key) {
    r.reset(db.getKeyByIndex(VELDBManager::KeyLabel, key));
  } else if (table == Table::KeyPair) {
    if (db.isKeyPairEnabled()) r.reset(db.getKeyPairByIndex(VELDBManager::KeyPairLabel, key));
  } else if (db.isCRLEnabled()) {
    r.reset(db.getCRLByIndex(VELDBManager::CRLLabel, key));
  }
  if (!r || (self != 0 && idOf(*r) == self)) return;
  const unsigned long labelTaken = 0x8C245;
  VELDB_THROW(labelTaken, "the label \"" + label + "\" is in use: " + describeRecord(db, table, idOf(*r)));
}

}  // namespace velkdb
