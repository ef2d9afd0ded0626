#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>

#include "find.h"
#include "interrupt.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

void refusePassedExpiry(long long when, const std::string& text, bool force, const char* forceOption) {
  if (when == 0 || force || when > static_cast<long long>(std::time(nullptr))) return;
  throw UsageError("expiry \"" + text + "\" has passed: the password would be expired at once" +
                   (forceOption ? std::string(" (") + forceOption + " sets it)" : std::string()));
}

long long parseExpiry(const std::string& text) {
  if (text == "never" || text == "0") return 0;
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 6) throw UsageError("expiry \"" + text + "\": too many days");
    const long long when = static_cast<long long>(std::time(nullptr)) + std::stoll(text) * 86400LL;
    if (when > 0xFFFFFFFFLL) throw UsageError("expiry \"" + text + "\": past the year 2106");
    return when;
  }
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && y >= 1970 && m >= 1 && m <= 12 &&
      d >= 1 && d <= 31) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    const long long when = static_cast<long long>(timegm(&tm));
    // timegm carries 2026-02-30 over into March: a date that comes back
    // otherwise does not exist.
    struct tm back {};
    const std::time_t t = static_cast<std::time_t>(when);
    gmtime_r(&t, &back);
    if (back.tm_year != y - 1900 || back.tm_mon != m - 1 || back.tm_mday != d) {
      throw UsageError("expiry \"" + text + "\": no such date");
    }
    if (when <= 0 || when > 0xFFFFFFFFLL) throw UsageError("expiry \"" + text + "\": out of range");
    return when;
  }
  throw UsageError("expiry \"" + text + "\": give a number of days, never, or YYYY-MM-DD");
}

std::string expiryText(long long time) {
  if (time == 0) return "never";
  const std::time_t t = static_cast<std::time_t>(time);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

void testCrashPoint(const char* step, std::size_t count) {
  const char* hook = std::getenv("VELKDB_TEST_CRASH");
  if (hook == nullptr) return;
  const std::string want = std::string(step) + ":" + std::to_string(count);
  if (want == hook) {
    std::cerr << "velkdb: stopping at " << want << " (VELKDB_TEST_CRASH)\n";
    _exit(99);
  }
}

void checkNewLabel(const std::string& label) {
  const std::string fault = labelFault(label);
  if (fault.empty()) return;
  // A label too long to be one is not repeated whole.
  std::string shown = label;
  if (shown.size() > 60) {
    std::size_t cut = 60;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = shown.substr(0, cut) + "...";
  }
  throw UsageError("the label \"" + printable(shown) + "\" " + fault);
}


// --- finding records ----------------------------------------------------------

namespace {

bool tableEnabled(FileDBManager& db, Table t) {
  return t == Table::Key ? db.isKeyEnabled() : t == Table::KeyPair ? db.isKeyPairEnabled() : db.isCRLEnabled();
}

template <typename RECORD, typename NEXT>
void walk(VELDBIterator* iterator, NEXT next, const std::function<void(RECORD&)>& visit) {
  std::unique_ptr<VELDBIterator> it(iterator);
  while (std::unique_ptr<RECORD> r{next(*it)}) {
    checkInterrupt();
    visit(*r);
  }
}

}  // namespace

unsigned idOf(const VELASNRecord& r) { return VELDBUtility::asnToRecordID(r.getRecordID()); }

void forEachKey(FileDBManager& db, const std::function<void(VELASNKeyRecord&)>& visit) {
  walk<VELASNKeyRecord>(db.getKeyIterator(), [&](VELDBIterator& it) { return db.getKeyNextRecord(it); }, visit);
}
void forEachKeyPair(FileDBManager& db, const std::function<void(VELASNKeyPairRecord&)>& visit) {
  if (!db.isKeyPairEnabled()) return;
  walk<VELASNKeyPairRecord>(db.getKeyPairIterator(), [&](VELDBIterator& it) { return db.getKeyPairNextRecord(it); },
                            visit);
}
void forEachCRL(FileDBManager& db, const std::function<void(VELASNCRLRecord&)>& visit) {
  if (!db.isCRLEnabled()) return;
  walk<VELASNCRLRecord>(db.getCRLIterator(), [&](VELDBIterator& it) { return db.getCRLNextRecord(it); }, visit);
}

std::vector<Match> findRecords(FileDBManager& db, const Selector& s) {
  std::vector<Match> found;
  if (!s.serial.empty() || !s.fingerprint.empty()) {
    findCertificates(db, s, found);
    return found;
  }
  for (Table t : kTables) {
    if ((s.hasTable && t != s.table) || !tableEnabled(db, t)) continue;
    if (!s.label.empty() || s.hasId) {
      const VELASNLabelString label(s.label);
      const VELASNInteger id = VELDBUtility::recordIDToASN(s.id);
      std::unique_ptr<VELASNRecord> r;
      if (t == Table::Key) {
        r.reset(s.hasId ? db.getKeyByIndex(VELDBManager::KeyRecordID, id)
                        : db.getKeyByIndex(VELDBManager::KeyLabel, label));
      } else if (t == Table::KeyPair) {
        r.reset(s.hasId ? db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, id)
                        : db.getKeyPairByIndex(VELDBManager::KeyPairLabel, label));
      } else {
        r.reset(s.hasId ? db.getCRLByIndex(VELDBManager::CRLRecordID, id)
                        : db.getCRLByIndex(VELDBManager::CRLLabel, label));
      }
      if (r) found.push_back({t, idOf(*r), r->getLabel().getValue()});
      continue;
    }
    const VELASNx500Name name(parseName(s.subject.empty() ? s.issuer : s.subject).get());
    std::set<unsigned> ids;
    if (t == Table::Key && !s.subject.empty()) {
      // The index finds names encoded exactly so; the walk below finds the
      // same name in other encodings.
      std::unique_ptr<VELASNKeyRecordContainer> c(db.getKeyByIndex(VELDBManager::KeySubjectName, name));
      for (std::size_t i = 0; i < c->size(); ++i) {
        if (ids.insert(idOf((*c)[i])).second) found.push_back({t, idOf((*c)[i]), (*c)[i].getLabel().getValue()});
      }
    }
    if (t == Table::Key) {
      forEachKey(db, [&](VELASNKeyRecord& r) {
        if (!r.hasCertificate()) return;
        const VELASNx500Name other = s.subject.empty() ? r.getCertificate().getIssuer() : r.getCertificate().getSubject();
        if (other.compare(name) == 0 && ids.insert(idOf(r)).second) found.push_back({t, idOf(r), r.getLabel().getValue()});
      });
    } else if (t == Table::KeyPair && !s.subject.empty()) {
      forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
        if (r.hasCertificationRequest() && r.getCertificationRequest().getSubject().compare(name) == 0) {
          found.push_back({t, idOf(r), r.getLabel().getValue()});
        }
      });
    } else if (t == Table::CRL && !s.issuer.empty()) {
      forEachCRL(db, [&](VELASNCRLRecord& r) {
        if (r.hasCRL() && r.getCRL().getIssuer().compare(name) == 0) found.push_back({t, idOf(r), r.getLabel().getValue()});
      });
    }
  }
  return found;
}

std::vector<Match> requireRecords(FileDBManager& db, const Selector& s, bool onlyOne) {
  std::vector<Match> found = findRecords(db, s);
  if (found.empty()) VELDB_THROW(VELDBError::kNoMatchingRecord, "no record matches");
  if (onlyOne && found.size() > 1) {
    std::string where;
    for (const Match& m : found) where += std::string(where.empty() ? "" : ", ") + tableName(m.table) + " #" + std::to_string(m.id);
    VELDB_THROW(VELDBError::kBadArgument, std::to_string(found.size()) + " records match (" + where +
                                              "): name one with --table and --id");
  }
  return found;
}

}  // namespace velkdb
