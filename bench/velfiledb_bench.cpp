// velfiledb_bench -- the key table against the floor its file format forces,
// and against an embedded SQL database holding the same records, in one run.
//
// Benchmark names have five parts, read by bench/report.py:
//   <impl>/<operation>/<version>/<sync>/<records>
//   impl      vel (the key table), floor (OpenSSL alone), peer (SQLite),
//             tool (the velkdb binary, run as a child process)
//   version   v3, v4, or - ; sync: off, normal, full, or -
// Every figure is wall-clock time per operation.  Work files are copies of
// fixtures made once per version and size; set-up between timed operations
// (re-inserting a deleted record, reopening, copying) is not timed.
//
// Bulk operations: tx_insert fills a new, empty database with <records>
// records in one transaction (one operation = the whole transaction, commit
// included); import is `velkdb import` of a PEM bundle of <records>
// certificates into a new database, process start to exit, and
// peer/pkcs12_export and peer/java_keystore build a store of the same
// bundle with other programs; list is `velkdb list` of such a database.
//
// Built without SQLite (no libsqlite3-dev), the peer's benchmarks are left
// out and the report says so.
//
// Environment: VELBENCH_SIZES (default "100,1000,10000"), VELBENCH_DIR (the
// scratch directory's parent, default $TMPDIR or /tmp), VELBENCH_MIN_TIME
// (seconds per benchmark, default 0.25), VELBENCH_KEEP (keep the scratch
// directory), VELBENCH_VELKDB (the velkdb binary, default the one beside
// this program), VELBENCH_IMPORT_TIMEOUT (seconds before an import is
// stopped, default 60).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef VELBENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "benchcorpus.h"
#include "filedbjournaledfile.h"
#include "filedbkeystorage.h"
#include "filedbmanager.h"
#include "filedbtransactionguard.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestpki.h"

#ifndef VELBENCH_SOURCE_DIR
#define VELBENCH_SOURCE_DIR "bench"
#endif

namespace {

using namespace VELBench;

std::string g_dir;
std::unique_ptr<Corpus> g_corpus;
std::size_t g_count = 0;  // records in the largest table
double g_minTime = 0.25;

const char* syncName(FileDBJournaledFile::SyncMode mode) {
  switch (mode) {
    case FileDBJournaledFile::SyncOff:
      return "off";
    case FileDBJournaledFile::SyncNormal:
      return "normal";
    default:
      return "full";
  }
}

std::string fixturePath(int version, std::size_t n) {
  return g_dir + "/fixture-v" + std::to_string(version) + "-" + std::to_string(n) + ".vkey";
}
std::string workPath() { return g_dir + "/work.vkey"; }

VELDBConnectInfo::FILE connectInfo(VELDBConnectInfo::ConnectType type) {
  return VELDBConnectInfo::FILE(g_dir + "/db", VELPasswordEncryptor(kPassword, std::strlen(kPassword)), type,
                                VELDBConnectInfo::ReadWrite);
}

// One connection to a key table, as the manager holds it.
struct Table {
  FileDBKeyStorage* storage = nullptr;
  std::string path;

  void open(const std::string& p) {
    path = p;
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    storage = FileDBKeyStorage::connectFile(connectInfo(VELDBConnectInfo::Open), p);
  }
  void close() {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    FileDBKeyStorage::disconnect(storage, false);
  }
  std::uint32_t slots() const { return storage->getFileHeader()->getRecordsAllocated(); }
  ~Table() {
    if (storage != nullptr) close();
  }
};

void makeFixtures(const std::vector<std::size_t>& sizes) {
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
  for (int version : {3, 4}) {
    for (std::size_t n : sizes) {
      const std::string path = fixturePath(version, n);
      const auto create = version == 4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create;
      FileDBKeyStorage::newFile(connectInfo(create), path);
      // One transaction: a fixture of ten thousand records is sealed once.
      Table table;
      table.open(path);
      table.storage->beginTransaction();
      for (std::size_t i = 0; i < n; ++i) table.storage->insertRecord(g_corpus->records[i]);
      table.storage->commitTransaction();
      if (table.storage->getRecordCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)) != n) {
        throw std::runtime_error("fixture " + path + " holds the wrong number of records");
      }
    }
  }
}

std::size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Record IDs in a fixture run from 1 to n in corpus order.
std::vector<std::uint32_t> targetIDs(std::size_t n, std::size_t count) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::uint32_t> pick(1, static_cast<std::uint32_t>(n));
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < count; ++i) ids.push_back(pick(random));
  return ids;
}

// A table keeps about n live records under a stream of inserts or deletes:
// deleted slots are compacted away by a reopen once they reach 5 %.
void compactIfGrown(Table& table, std::size_t n) {
  if (table.slots() > n + std::max<std::size_t>(4, n / 20)) {
    const std::string path = table.path;
    table.close();
    table.open(path);
  }
}

void setSync(FileDBJournaledFile::SyncMode mode) { FileDBJournaledFile::setSyncMode(mode); }

// --- the key table ------------------------------------------------------------

// The DER walk with the five digests of the first `n` records; false when a
// record does not walk.
bool walkCorpus(std::size_t n, EVP_MD_CTX* ctx, const EVP_MD* sha1) {
  Digests digests;
  for (std::size_t i = 0; i < n; ++i) {
    const VELBuffer& der = g_corpus->encodings[i];
    if (!walkAndDigest(der.data(), der.length(), ctx, sha1, digests)) return false;
    benchmark::DoNotOptimize(digests);
  }
  return true;
}

// The open's floor, once, in microseconds: the file's hash pass and the DER
// walk with digests of its records (the two "floor" rows of an open).
double openFloorPass(int version, std::size_t n, EVP_MD_CTX* ctx, const EVP_MD* sha1) {
  const auto start = std::chrono::steady_clock::now();
  hashFile(fixturePath(version, n), version == 4 ? "hmac" : "md5");
  if (!walkCorpus(n, ctx, sha1)) return -1;
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void velOpen(benchmark::State& state, int version, std::size_t n) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), false);
  Table table;
  EVP_MD* sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  double heap = 0;
  double floor = 0;
  // The heap is measured with the clock stopped: reading it walks the
  // allocator's lists.  The floor runs between the opens, clock stopped,
  // so that the machine's drift weighs on both sides of the ratio alike.
  std::size_t before = heapInUse();
  for (auto _ : state) {
    table.open(workPath());
    state.PauseTiming();
    heap = static_cast<double>(heapInUse() - before);
    table.close();
    const double pass = openFloorPass(version, n, ctx, sha1);
    if (pass < 0) {
      state.SkipWithError("record DER did not walk");
      break;
    }
    floor += pass;
    before = heapInUse();
    state.ResumeTiming();
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(sha1);
  state.counters["heap_bytes"] = heap;
  state.counters["file_bytes"] = static_cast<double>(fileSize(workPath()));
  state.counters["floor_us"] = state.iterations() > 0 ? floor / static_cast<double>(state.iterations()) : 0;
}

void velClose(benchmark::State& state, int version, std::size_t n) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), false);
  Table table;
  for (auto _ : state) {
    state.PauseTiming();
    table.open(workPath());
    state.ResumeTiming();
    table.close();
  }
}

void velCloseCompact(benchmark::State& state, int version, std::size_t n) {
  setSync(FileDBJournaledFile::SyncOff);
  Table table;
  std::uint32_t id = 0;
  for (auto _ : state) {
    state.PauseTiming();
    copyFile(fixturePath(version, n), workPath(), false);
    table.open(workPath());
    {
      VELMutexLocker guard(table.storage->getInstanceMutex());
      table.storage->deleteRecordByIndex(VELDBManager::KeyRecordID, VELASNInteger(1 + id++ % n));
    }
    state.ResumeTiming();
    table.close();
  }
}

void velInsert(benchmark::State& state, int version, std::size_t n, FileDBJournaledFile::SyncMode mode) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), true);
  setSync(mode);
  Table table;
  table.open(workPath());
  std::size_t spare = 0;
  for (auto _ : state) {
    VELASNKeyRecord& record = g_corpus->records[g_count + spare++ % kSpareRecords];
    {
      VELMutexLocker guard(table.storage->getInstanceMutex());
      table.storage->insertRecord(record);
    }
    state.PauseTiming();
    table.storage->deleteRecordByIndex(VELDBManager::KeyRecordID, record.getRecordID());
    compactIfGrown(table, n);
    state.ResumeTiming();
  }
}

void velUpdate(benchmark::State& state, int version, std::size_t n, FileDBJournaledFile::SyncMode mode) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), true);
  setSync(mode);
  // Each target is rewritten with a changed label, then with its own again.
  std::vector<VELASNKeyRecord> variants;
  for (std::uint32_t id : targetIDs(n, 32)) {
    for (int changed = 1; changed >= 0; --changed) {
      VELASNKeyRecord record(g_corpus->records[id - 1]);
      record.setRecordID(id);
      if (changed) record.setLabel(record.getLabel().getValue() + "-updated");
      variants.push_back(std::move(record));
    }
  }
  Table table;
  table.open(workPath());
  std::size_t i = 0;
  for (auto _ : state) {
    VELASNKeyRecord& record = variants[i++ % variants.size()];
    VELMutexLocker guard(table.storage->getInstanceMutex());
    table.storage->updateRecordByIndex(VELDBManager::KeyRecordID, record);
  }
}

void velDelete(benchmark::State& state, int version, std::size_t n, FileDBJournaledFile::SyncMode mode) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), true);
  setSync(mode);
  // Victims are deleted, then put back (under a new record ID) untimed.
  struct Victim {
    VELASNKeyRecord record;
    std::uint32_t id;
  };
  std::vector<Victim> victims;
  const std::size_t count = std::min<std::size_t>(32, n);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t id = static_cast<std::uint32_t>(1 + k * (n / count));
    victims.push_back(Victim{g_corpus->records[id - 1], id});
  }
  Table table;
  table.open(workPath());
  std::size_t i = 0;
  for (auto _ : state) {
    Victim& victim = victims[i++ % victims.size()];
    {
      VELMutexLocker guard(table.storage->getInstanceMutex());
      if (table.storage->deleteRecordByIndex(VELDBManager::KeyRecordID, VELASNInteger(victim.id)) != 1) {
        state.SkipWithError("victim not found");
        break;
      }
    }
    state.PauseTiming();
    table.storage->insertRecord(victim.record);
    victim.id = VELDBUtility::asnToRecordID(victim.record.getRecordID());
    compactIfGrown(table, n);
    state.ResumeTiming();
  }
}

void velChange(benchmark::State& state, int version, std::size_t n, FileDBJournaledFile::SyncMode mode,
               const std::string& op) {
  if (op == "insert") velInsert(state, version, n, mode);
  if (op == "update") velUpdate(state, version, n, mode);
  if (op == "delete") velDelete(state, version, n, mode);
}

// Every resize starts from the fixture and grows the record length one step.
void velResize(benchmark::State& state, int version, std::size_t n) {
  setSync(FileDBJournaledFile::SyncOff);
  Table table;
  for (auto _ : state) {
    state.PauseTiming();
    copyFile(fixturePath(version, n), workPath(), false);
    table.open(workPath());
    const std::uint32_t length = table.storage->getFileHeader()->getFixedRecordLength();
    state.ResumeTiming();
    {
      VELMutexLocker guard(table.storage->getInstanceMutex());
      table.storage->resize(length + 1);
    }
    state.PauseTiming();
    table.close();
    state.ResumeTiming();
  }
}

struct LookupKeys {
  std::vector<VELASNInteger> ids;
  std::vector<VELASNLabelString> labels;
  std::vector<VELASNIssuerAndSerialNumber> issuerAndSerials;
  std::vector<VELASNx500Name> subjects;
  explicit LookupKeys(std::size_t n) {
    for (std::uint32_t id : targetIDs(n, 256)) {
      const VELASNKeyRecord& record = g_corpus->records[id - 1];
      ids.emplace_back(id);
      labels.push_back(record.getLabel());
      issuerAndSerials.push_back(VELASNUtility::getIssuerAndSerialNumber(record.getCertificate()));
      subjects.push_back(record.getCertificate().getSubject());
    }
  }
};

void velLookup(benchmark::State& state, int version, std::size_t n, const std::string& by) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), false);
  const LookupKeys keys(n);
  Table table;
  table.open(workPath());
  FileDBKeyStorage& s = *table.storage;
  std::size_t i = 0, found = 0;
  for (auto _ : state) {
    const std::size_t k = i++ % keys.ids.size();
    VELMutexLocker guard(s.getInstanceMutex());
    if (by == "subject") {
      std::unique_ptr<VELASNKeyRecordContainer> c(s.getRecordByIndex(VELDBManager::KeySubjectName, keys.subjects[k]));
      found += c->size();
      continue;
    }
    std::unique_ptr<VELASNKeyRecord> record;
    if (by == "id") record.reset(s.getRecordByIndex(VELDBManager::KeyRecordID, keys.ids[k]));
    if (by == "label") record.reset(s.getRecordByIndex(VELDBManager::KeyLabel, keys.labels[k]));
    if (by == "issuer_serial") {
      record.reset(s.getRecordByIndex(VELDBManager::KeyIssuerAndSerialNumber, keys.issuerAndSerials[k]));
    }
    found += record ? 1 : 0;
  }
  if (found < static_cast<std::size_t>(state.iterations())) state.SkipWithError("a lookup found nothing");
}

void velWalk(benchmark::State& state, int version, std::size_t n) {
  setSync(FileDBJournaledFile::SyncOff);
  copyFile(fixturePath(version, n), workPath(), false);
  Table table;
  table.open(workPath());
  FileDBKeyStorage& s = *table.storage;
  for (auto _ : state) {
    VELMutexLocker guard(s.getInstanceMutex());
    FileDBIterator iterator(FileDBKeyStorage::getClassName());
    std::size_t seen = 0;
    for (;;) {
      std::unique_ptr<VELASNKeyRecord> record(s.getRecordAt(iterator));
      if (!record) break;
      ++iterator.d_index;
      ++seen;
    }
    if (seen != n) {
      state.SkipWithError("walk saw the wrong number of records");
      break;
    }
  }
}

// --- floors -------------------------------------------------------------------

void floorHash(benchmark::State& state, int version, std::size_t n, const std::string& kind) {
  const std::string path = fixturePath(version, n);
  std::uint64_t bytes = 0;
  for (auto _ : state) bytes = hashFile(path, kind);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

void floorDER(benchmark::State& state, std::size_t n) {
  EVP_MD* sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    if (!walkCorpus(n, ctx, sha1)) {
      state.SkipWithError("record DER did not walk");
      break;
    }
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(sha1);
}

// --- one transaction, and the command-line import ------------------------------

std::string bulkBase() { return g_dir + "/bulk"; }

VELDBConnectInfo::FILE bulkConnectInfo(VELDBConnectInfo::ConnectType type) {
  return VELDBConnectInfo::FILE(bulkBase(), VELPasswordEncryptor(kPassword, std::strlen(kPassword)), type,
                                VELDBConnectInfo::ReadWrite);
}

// Removes every file of the bulk database: its three tables, their journals
// and any transaction file (all named "bulk." and more).
void removeBulkDatabase() {
  DIR* dir = ::opendir(g_dir.c_str());
  if (dir == nullptr) return;
  while (const struct dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, "bulk.", 5) == 0) ::unlink((g_dir + "/" + entry->d_name).c_str());
  }
  ::closedir(dir);
}

// Writes back what earlier benchmarks left dirty in the page cache, so that
// a timed sync pays for its own writes only.
void settleScratch() {
  const int fd = ::open(g_dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::syncfs(fd);
    ::close(fd);
  }
}

// n records into a new, empty database in one transaction of the manager.
void velTxInsert(benchmark::State& state, int version, std::size_t n, FileDBJournaledFile::SyncMode mode) {
  const auto create = version == 4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create;
  for (auto _ : state) {
    state.PauseTiming();
    setSync(mode);
    removeBulkDatabase();
    std::unique_ptr<FileDBManager> db(new FileDBManager(bulkConnectInfo(create)));
    settleScratch();
    state.ResumeTiming();
    {
      FileDBTransactionGuard transaction(*db);
      for (std::size_t i = 0; i < n; ++i) db->insertKey(g_corpus->records[i]);
      transaction.commit();
    }
    state.PauseTiming();
    const unsigned long long count = db->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0));
    db.reset();
    state.ResumeTiming();
    if (count != n) {
      state.SkipWithError("the transaction left the wrong number of records");
      break;
    }
  }
  state.counters["records"] = static_cast<double>(n);
  state.counters["file_bytes"] = static_cast<double>(fileSize(bulkBase() + ".vkey"));
}

std::string bundlePath(std::size_t n) { return g_dir + "/bundle-" + std::to_string(n) + ".pem"; }
std::string passwordPath() { return g_dir + "/password"; }

// The certificates of the first n records as one PEM bundle, and the
// password file velkdb reads.
void writeBundle(std::size_t n) {
  std::ofstream out(bundlePath(n), std::ios::binary | std::ios::trunc);
  std::vector<unsigned char> base64;
  for (std::size_t i = 0; i < n; ++i) {
    const VELBuffer der = VELASNUtility::getDEREncoding(g_corpus->records[i].getCertificate());
    out << "-----BEGIN CERTIFICATE-----\n";
    for (std::size_t at = 0; at < der.length(); at += 48) {
      const std::size_t chunk = std::min<std::size_t>(48, der.length() - at);
      base64.resize(4 * ((chunk + 2) / 3) + 1);
      const int length = EVP_EncodeBlock(base64.data(), der.data() + at, static_cast<int>(chunk));
      out.write(reinterpret_cast<const char*>(base64.data()), length);
      out << "\n";
    }
    out << "-----END CERTIFICATE-----\n";
  }
  std::ofstream password(passwordPath(), std::ios::trunc);
  password << kPassword << "\n";
  password.close();
  // Readable by its owner only, or velkdb warns about it.
  if (!out || !password || ::chmod(passwordPath().c_str(), 0600) != 0) {
    throw std::runtime_error("could not write the import bundle");
  }
}

std::string velkdbPath() {
  if (const char* given = std::getenv("VELBENCH_VELKDB")) return given;
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "velkdb";
  std::string path(self, static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + "velkdb";
}

struct ChildResult {
  bool finished = false;  // false: stopped at the deadline
  int status = -1;        // exit status when it finished
  double cpuSeconds = 0;  // its user and system time
  std::string output;     // its standard output and error
};

// The program `name` on $PATH; "" when there is none.
std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

// Runs `program` with `args` under VELFILEDB_SYNC=`sync`, waiting at most
// `timeout` seconds; its output goes to `outputPath`, and unless that is
// /dev/null it is read back.
ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const char* sync,
                     double timeout, const std::string& outputPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("VELFILEDB_SYNC=", 0) == 0 || entry.rfind("VELKDB_", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back(std::string("VELFILEDB_SYNC=") + sync);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  ChildResult result;
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (fd < 0 || devnull < 0) ::_exit(126);
    ::dup2(devnull, 0);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  for (;;) {
    int status = 0;
    struct rusage usage;
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) {
      result.finished = true;
      result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                          1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  if (outputPath == "/dev/null") return result;
  std::ifstream in(outputPath);
  std::stringstream text;
  text << in.rdbuf();
  result.output = text.str();
  return result;
}

ChildResult runVelkdb(const std::vector<std::string>& args, const char* sync, double timeout) {
  return runChild(velkdbPath(), args, sync, timeout, g_dir + "/velkdb.out");
}

double importTimeout() {
  const char* text = std::getenv("VELBENCH_IMPORT_TIMEOUT");
  const double value = text != nullptr ? std::atof(text) : 0;
  return value > 0 ? value : 60;
}

// `velkdb import` of an n-certificate bundle into a new database, as a user
// runs it: process start, PEM parse, checks, inserts, exit.
void toolImport(benchmark::State& state, int version, std::size_t n, FileDBJournaledFile::SyncMode mode) {
  if (::access(velkdbPath().c_str(), X_OK) != 0) {
    state.SkipWithError("velkdb is not built beside the benchmark");
    return;
  }
  if (::access(bundlePath(n).c_str(), R_OK) != 0) writeBundle(n);
  const std::string base = bulkBase();
  const double timeout = importTimeout();
  double cpuSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    removeBulkDatabase();
    const ChildResult created = runVelkdb(
        {"create", "-d", base, "--version", std::to_string(version), "--password-file", passwordPath()},
        syncName(mode), timeout);
    settleScratch();
    if (!created.finished || created.status != 0) {
      state.SkipWithError(("velkdb create failed: " + created.output).c_str());
      break;
    }
    state.ResumeTiming();
    const ChildResult imported =
        runVelkdb({"import", "-d", base, "--password-file", passwordPath(), bundlePath(n)}, syncName(mode), timeout);
    state.PauseTiming();
    if (!imported.finished) {
      // bench/report.py reads this message: the import took longer than the limit.
      char message[96];
      std::snprintf(message, sizeof message, "stopped at the time limit of %.0f s", timeout);
      state.SkipWithError(message);
      break;
    }
    const std::string expected = "imported " + std::to_string(n) + " certificates";
    if (imported.status != 0 || imported.output.find(expected) == std::string::npos) {
      state.SkipWithError(("velkdb import: " + imported.output).c_str());
      break;
    }
    cpuSeconds += imported.cpuSeconds;
    state.ResumeTiming();
  }
  state.counters["records"] = static_cast<double>(n);
  // The child's CPU time per import: the benchmark's own CPU time leaves it out.
  state.counters["child_cpu_s"] = state.iterations() > 0 ? cpuSeconds / static_cast<double>(state.iterations()) : 0;
}

// The database `velkdb list` reads: the n-certificate bundle imported into
// `base` once (not timed).
bool makeListDatabase(benchmark::State& state, int version, std::size_t n, const std::string& base) {
  if (::access((base + ".vkey").c_str(), R_OK) == 0) return true;
  if (::access(bundlePath(n).c_str(), R_OK) != 0) writeBundle(n);
  const double timeout = importTimeout();
  const ChildResult created = runVelkdb(
      {"create", "-d", base, "--version", std::to_string(version), "--password-file", passwordPath()}, "off", timeout);
  const ChildResult imported =
      created.status == 0 ? runVelkdb({"import", "-d", base, "--password-file", passwordPath(), bundlePath(n)}, "off",
                                      timeout)
                          : created;
  if (!imported.finished || imported.status != 0) {
    state.SkipWithError(("making the database to list: " + imported.output).c_str());
    return false;
  }
  return true;
}

// `velkdb list` of an n-certificate database, its output to a file:
// process start, open, every record decoded and printed, exit.
void toolList(benchmark::State& state, int version, std::size_t n) {
  if (::access(velkdbPath().c_str(), X_OK) != 0) {
    state.SkipWithError("velkdb is not built beside the benchmark");
    return;
  }
  const std::string base = g_dir + "/list-v" + std::to_string(version) + "-" + std::to_string(n);
  if (!makeListDatabase(state, version, n, base)) return;
  const double timeout = importTimeout();
  double cpuSeconds = 0;
  for (auto _ : state) {
    const ChildResult listed = runVelkdb({"list", "-d", base, "--password-file", passwordPath()}, "off", timeout);
    state.PauseTiming();
    const std::string expected = "keys: " + std::to_string(n) + " records\n";
    if (!listed.finished || listed.status != 0 || listed.output.compare(0, expected.size(), expected) != 0) {
      state.SkipWithError(("velkdb list: " + listed.output.substr(0, 200)).c_str());
      break;
    }
    cpuSeconds += listed.cpuSeconds;
    state.ResumeTiming();
  }
  state.counters["records"] = static_cast<double>(n);
  state.counters["child_cpu_s"] = state.iterations() > 0 ? cpuSeconds / static_cast<double>(state.iterations()) : 0;
}

// The peers of the import: other programs that build a password-protected
// store of the same bundle's certificates.  `openssl pkcs12 -export -nokeys`
// writes a PKCS#12 file of the certificates alone (no private key), with
// OpenSSL's defaults: the certificates encrypted (PBES2, AES-256-CBC) and
// the file MACed (HMAC-SHA256), both keyed from the password.  The Java
// program (bench/KeyStoreBuild.java) reads the bundle with
// CertificateFactory and stores every certificate as a trusted-certificate
// entry of a PKCS12 KeyStore, JVM start included.
void peerStoreBuild(benchmark::State& state, const std::string& peer, std::size_t n) {
  if (::access(bundlePath(n).c_str(), R_OK) != 0) writeBundle(n);
  const std::string out = g_dir + "/peer-store.p12";
  std::string program;
  std::vector<std::string> args;
  if (peer == "pkcs12_export") {
    program = onPath("openssl");
    if (program.empty()) {
      state.SkipWithError("skipped: the openssl command is not installed");
      return;
    }
    args = {"pkcs12", "-export", "-nokeys", "-in", bundlePath(n), "-out", out, "-passout", "file:" + passwordPath()};
  } else {
    program = onPath("java");
    const std::string javac = onPath("javac");
    if (program.empty() || javac.empty()) {
      state.SkipWithError("skipped: java (and javac) are not installed");
      return;
    }
    const std::string classes = g_dir + "/java";
    if (::access((classes + "/KeyStoreBuild.class").c_str(), R_OK) != 0) {
      ::mkdir(classes.c_str(), 0700);
      const ChildResult compiled =
          runChild(javac, {"-d", classes, VELBENCH_SOURCE_DIR "/KeyStoreBuild.java"}, "off", 120, g_dir + "/javac.out");
      if (!compiled.finished || compiled.status != 0) {
        state.SkipWithError(("javac KeyStoreBuild.java: " + compiled.output).c_str());
        return;
      }
    }
    args = {"-cp", classes, "KeyStoreBuild", bundlePath(n), out, passwordPath()};
  }
  const double timeout = importTimeout();
  double cpuSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(out.c_str());
    settleScratch();
    state.ResumeTiming();
    const ChildResult built = runChild(program, args, "off", timeout, g_dir + "/peer.out");
    state.PauseTiming();
    if (!built.finished || built.status != 0 || fileSize(out) == 0) {
      state.SkipWithError((peer + ": " + built.output.substr(0, 300)).c_str());
      break;
    }
    cpuSeconds += built.cpuSeconds;
    state.ResumeTiming();
  }
  state.counters["records"] = static_cast<double>(n);
  state.counters["child_cpu_s"] = state.iterations() > 0 ? cpuSeconds / static_cast<double>(state.iterations()) : 0;
  state.counters["file_bytes"] = static_cast<double>(fileSize(out));
}

#ifdef VELBENCH_HAVE_SQLITE

// --- the peer -------------------------------------------------------------------

std::string peerFixturePath(std::size_t n) { return g_dir + "/peer-" + std::to_string(n) + ".sqlite"; }
std::string peerWorkPath() { return g_dir + "/peer-work.sqlite"; }

void sqlCheck(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string("sqlite: ") + what + ": " + (db ? sqlite3_errmsg(db) : "?"));
  }
}

// The same records with the same unique and multi indexes; unless the caller
// opens one, every change is its own transaction.
class Peer {
 public:
  Peer(const std::string& path, const char* synchronous, const char* journalMode = "WAL") {
    sqlCheck(sqlite3_open_v2(path.c_str(), &d_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), d_db,
             "open");
    exec(std::string("PRAGMA journal_mode=") + journalMode);
    exec(std::string("PRAGMA synchronous=") + synchronous);
    exec(
        "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, label BLOB NOT NULL UNIQUE,"
        " signature BLOB NOT NULL UNIQUE, tbs BLOB NOT NULL UNIQUE, issuer_serial BLOB NOT NULL UNIQUE,"
        " subject BLOB NOT NULL, spki BLOB NOT NULL, record BLOB NOT NULL)");
    exec("CREATE INDEX IF NOT EXISTS keys_subject ON keys(subject)");
    exec("CREATE INDEX IF NOT EXISTS keys_spki ON keys(spki)");
    d_insert = prepare("INSERT INTO keys VALUES(?1,?2,?3,?4,?5,?6,?7,?8)");
    d_update = prepare(
        "UPDATE keys SET label=?2, signature=?3, tbs=?4, issuer_serial=?5, subject=?6, spki=?7, record=?8"
        " WHERE id=?1");
    d_delete = prepare("DELETE FROM keys WHERE id=?1");
    d_byID = prepare("SELECT record FROM keys WHERE id=?1");
    d_byLabel = prepare("SELECT record FROM keys WHERE label=?1");
    d_byIssuerSerial = prepare("SELECT record FROM keys WHERE issuer_serial=?1");
    d_bySubject = prepare("SELECT record FROM keys WHERE subject=?1");
    d_all = prepare("SELECT record FROM keys ORDER BY id");
    d_md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    d_ctx = EVP_MD_CTX_new();
  }
  ~Peer() {
    for (sqlite3_stmt* s : {d_insert, d_update, d_delete, d_byID, d_byLabel, d_byIssuerSerial, d_bySubject, d_all}) {
      sqlite3_finalize(s);
    }
    sqlite3_close(d_db);
    EVP_MD_CTX_free(d_ctx);
    EVP_MD_free(d_md);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void exec(const std::string& sql) { sqlCheck(sqlite3_exec(d_db, sql.c_str(), nullptr, nullptr, nullptr), d_db, sql.c_str()); }

  // Stores `record` under `id` (a new row, or the row `id` when `update`).
  void put(VELASNKeyRecord& record, std::uint32_t id, bool update) {
    record.setRecordID(id);
    const VELBuffer der = record.write();
    Digests d;
    if (!walkAndDigest(der.data(), der.length(), d_ctx, d_md, d)) throw std::runtime_error("peer: record DER");
    const VELBuffer label = VELDBUtility::asnToLabelBuffer(record.getLabel());
    sqlite3_stmt* s = update ? d_update : d_insert;
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_blob(s, 2, label.data(), static_cast<int>(label.length()), SQLITE_STATIC);
    sqlite3_bind_blob(s, 3, d.signature, 20, SQLITE_STATIC);
    sqlite3_bind_blob(s, 4, d.tbs, 20, SQLITE_STATIC);
    sqlite3_bind_blob(s, 5, d.issuerAndSerial, 20, SQLITE_STATIC);
    sqlite3_bind_blob(s, 6, d.subject, 20, SQLITE_STATIC);
    sqlite3_bind_blob(s, 7, d.spki, 20, SQLITE_STATIC);
    sqlite3_bind_blob(s, 8, der.data(), static_cast<int>(der.length()), SQLITE_STATIC);
    step(s);
  }
  void remove(std::uint32_t id) {
    sqlite3_bind_int64(d_delete, 1, id);
    step(d_delete);
  }
  std::size_t byID(std::uint32_t id) {
    sqlite3_bind_int64(d_byID, 1, id);
    return fetch(d_byID);
  }
  std::size_t byKey(const std::string& index, const VELBuffer& key) {
    sqlite3_stmt* s = index == "label" ? d_byLabel : index == "issuer_serial" ? d_byIssuerSerial : d_bySubject;
    sqlite3_bind_blob(s, 1, key.data(), static_cast<int>(key.length()), SQLITE_STATIC);
    return fetch(s);
  }
  std::size_t all() { return fetch(d_all); }

 private:
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlCheck(sqlite3_prepare_v2(d_db, sql, -1, &s, nullptr), d_db, sql);
    return s;
  }
  void step(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    sqlCheck(rc, d_db, "step");
  }
  // Hands every row's record to the caller as the key table does: decoded.
  std::size_t fetch(sqlite3_stmt* s) {
    std::size_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const void* blob = sqlite3_column_blob(s, 0);
      const int length = sqlite3_column_bytes(s, 0);
      std::unique_ptr<VELASNKeyRecord> record(new VELASNKeyRecord(0));
      VELASNUtility::setDEREncoding(*record, VELASNCBuffer(blob, static_cast<std::uint64_t>(length)));
      ++rows;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    sqlCheck(rc, d_db, "select");
    return rows;
  }

  sqlite3* d_db = nullptr;
  sqlite3_stmt *d_insert, *d_update, *d_delete, *d_byID, *d_byLabel, *d_byIssuerSerial, *d_bySubject, *d_all;
  EVP_MD* d_md;
  EVP_MD_CTX* d_ctx;
};

const char* peerSync(FileDBJournaledFile::SyncMode mode) {
  return mode == FileDBJournaledFile::SyncOff ? "OFF" : mode == FileDBJournaledFile::SyncNormal ? "NORMAL" : "FULL";
}

void removePeerFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
}

void makePeerFixtures(const std::vector<std::size_t>& sizes) {
  for (std::size_t n : sizes) {
    const std::string path = peerFixturePath(n);
    removePeerFiles(path);
    Peer peer(path, "OFF");
    peer.exec("BEGIN");
    for (std::size_t i = 0; i < n; ++i) {
      VELASNKeyRecord record(g_corpus->records[i]);
      peer.put(record, static_cast<std::uint32_t>(i + 1), false);
    }
    peer.exec("COMMIT");
    peer.exec("PRAGMA wal_checkpoint(TRUNCATE)");
  }
}

void peerWorkCopy(std::size_t n, bool sync) {
  removePeerFiles(peerWorkPath());
  copyFile(peerFixturePath(n), peerWorkPath(), sync);
}

void peerOpen(benchmark::State& state, std::size_t n) {
  peerWorkCopy(n, false);
  for (auto _ : state) {
    std::unique_ptr<Peer> peer(new Peer(peerWorkPath(), "NORMAL"));
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
}

void peerClose(benchmark::State& state, std::size_t n) {
  peerWorkCopy(n, false);
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<Peer> peer(new Peer(peerWorkPath(), "NORMAL"));
    state.ResumeTiming();
    peer.reset();
  }
}

void peerChange(benchmark::State& state, std::size_t n, FileDBJournaledFile::SyncMode mode, const std::string& op) {
  peerWorkCopy(n, true);
  Peer peer(peerWorkPath(), peerSync(mode));
  std::vector<VELASNKeyRecord> variants;
  std::vector<std::uint32_t> targets = targetIDs(n, 32);
  for (std::uint32_t id : targets) {
    for (int changed = 1; changed >= 0; --changed) {
      VELASNKeyRecord record(g_corpus->records[id - 1]);
      if (changed) record.setLabel(record.getLabel().getValue() + "-updated");
      variants.push_back(std::move(record));
    }
  }
  std::uint32_t nextID = static_cast<std::uint32_t>(n + 1);
  std::size_t i = 0;
  for (auto _ : state) {
    if (op == "insert") {
      VELASNKeyRecord& record = g_corpus->records[g_count + i++ % kSpareRecords];
      const std::uint32_t id = nextID++;
      peer.put(record, id, false);
      state.PauseTiming();
      peer.remove(id);
      state.ResumeTiming();
    } else if (op == "update") {
      const std::size_t k = i++ % variants.size();
      peer.put(variants[k], targets[k / 2], true);
    } else {
      const std::uint32_t id = targets[i++ % targets.size()];
      VELASNKeyRecord& record = g_corpus->records[id - 1];
      peer.remove(id);
      state.PauseTiming();
      VELASNKeyRecord copy(record);
      peer.put(copy, id, false);
      state.ResumeTiming();
    }
  }
}

void peerLookup(benchmark::State& state, std::size_t n, const std::string& by) {
  peerWorkCopy(n, false);
  Peer peer(peerWorkPath(), "NORMAL");
  const LookupKeys keys(n);
  std::size_t i = 0, found = 0;
  for (auto _ : state) {
    const std::size_t k = i++ % keys.ids.size();
    if (by == "id") {
      found += peer.byID(VELDBUtility::asnToRecordID(keys.ids[k]));
    } else if (by == "label") {
      found += peer.byKey(by, VELDBUtility::asnToLabelBuffer(keys.labels[k]));
    } else if (by == "issuer_serial") {
      found += peer.byKey(by, VELDBUtility::getSHA1Digest(keys.issuerAndSerials[k], nullptr));
    } else {
      found += peer.byKey(by, VELDBUtility::getSHA1Digest(keys.subjects[k], nullptr));
    }
  }
  if (found < static_cast<std::size_t>(state.iterations())) state.SkipWithError("a peer lookup found nothing");
}

void peerWalk(benchmark::State& state, std::size_t n) {
  peerWorkCopy(n, false);
  Peer peer(peerWorkPath(), "NORMAL");
  for (auto _ : state) {
    if (peer.all() != n) {
      state.SkipWithError("peer walk saw the wrong number of records");
      break;
    }
  }
}

// n records into a new, empty database in one transaction, with a rollback
// journal (journal_mode=DELETE) as the key table keeps one; the digests are
// computed per record, as the table computes them.
void peerTxInsert(benchmark::State& state, std::size_t n, FileDBJournaledFile::SyncMode mode) {
  const std::string path = g_dir + "/peer-bulk.sqlite";
  for (auto _ : state) {
    state.PauseTiming();
    removePeerFiles(path);
    std::unique_ptr<Peer> peer(new Peer(path, peerSync(mode), "DELETE"));
    settleScratch();
    state.ResumeTiming();
    peer->exec("BEGIN");
    for (std::size_t i = 0; i < n; ++i) peer->put(g_corpus->records[i], static_cast<std::uint32_t>(i + 1), false);
    peer->exec("COMMIT");
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.counters["records"] = static_cast<double>(n);
  state.counters["file_bytes"] = static_cast<double>(fileSize(path));
}

#endif  // VELBENCH_HAVE_SQLITE

// --- registration and the machine's description ---------------------------------

// `weight` lengthens the run of a figure that a target is judged on and
// that takes tens of milliseconds, so that it averages more iterations.
void add(const std::string& name, std::function<void(benchmark::State&)> fn, double weight = 1) {
  benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& s) { fn(s); })
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond)
      ->MinTime(g_minTime * weight);
}

// A bulk operation takes from milliseconds to seconds and is set up anew
// each time: a fixed number of runs instead of a minimum time.
int bulkRuns(std::size_t n) { return n <= 100 ? 20 : n <= 1000 ? 5 : 3; }
void addBulk(const std::string& name, std::function<void(benchmark::State&)> fn, int runs) {
  benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& s) { fn(s); })
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(runs);
}

std::string name(const std::string& impl, const std::string& op, const std::string& version, const std::string& sync,
                 std::size_t n) {
  return impl + "/" + op + "/" + version + "/" + sync + "/" + std::to_string(n);
}

void registerAll(const std::vector<std::size_t>& sizes) {
  const FileDBJournaledFile::SyncMode modes[] = {FileDBJournaledFile::SyncOff, FileDBJournaledFile::SyncNormal,
                                                 FileDBJournaledFile::SyncFull};
  for (std::size_t n : sizes) {
    for (int v : {3, 4}) {
      const std::string ver = "v" + std::to_string(v);
      const char* hash = v == 4 ? "hmac_sha1" : "md5";
      // Each ratio's two sides run seconds apart: the machine's load drifts.
      add(name("floor", hash, ver, "-", n), [v, n](benchmark::State& s) { floorHash(s, v, n, v == 4 ? "hmac" : "md5"); },
          4);
      for (const char* op : {"insert", "update", "delete"}) {
        const std::string o = op;
        const auto mode = FileDBJournaledFile::SyncOff;
        add(name("vel", o, ver, "off", n), [v, n, o](benchmark::State& s) { velChange(s, v, n, mode, o); });
      }
      add(name("floor", "der_digests", ver, "-", n), [n](benchmark::State& s) { floorDER(s, n); }, 4);
      add(name("vel", "open", ver, "-", n), [v, n](benchmark::State& s) { velOpen(s, v, n); }, 4);
      add(name("vel", "close", ver, "-", n), [v, n](benchmark::State& s) { velClose(s, v, n); });
      add(name("vel", "close_compact", ver, "off", n), [v, n](benchmark::State& s) { velCloseCompact(s, v, n); });
      add(name("vel", "resize", ver, "off", n), [v, n](benchmark::State& s) { velResize(s, v, n); });
      for (const char* by : {"id", "label", "issuer_serial", "subject"}) {
        const std::string key = by;
        add(name("vel", "lookup_" + key, ver, "-", n), [v, n, key](benchmark::State& s) { velLookup(s, v, n, key); });
      }
      add(name("floor", "read", ver, "-", n), [v, n](benchmark::State& s) { floorHash(s, v, n, "read"); });
      add(name("vel", "walk", ver, "-", n), [v, n](benchmark::State& s) { velWalk(s, v, n); });
      for (auto mode : {FileDBJournaledFile::SyncNormal, FileDBJournaledFile::SyncFull}) {
        for (const char* op : {"insert", "update", "delete"}) {
          const std::string o = op;
          add(name("vel", o, ver, syncName(mode), n), [v, n, mode, o](benchmark::State& s) { velChange(s, v, n, mode, o); });
        }
      }
    }
#ifdef VELBENCH_HAVE_SQLITE
    add(name("peer", "open", "-", "-", n), [n](benchmark::State& s) { peerOpen(s, n); });
    add(name("peer", "close", "-", "-", n), [n](benchmark::State& s) { peerClose(s, n); });
    for (const char* by : {"id", "label", "issuer_serial", "subject"}) {
      const std::string key = by;
      add(name("peer", "lookup_" + key, "-", "-", n), [n, key](benchmark::State& s) { peerLookup(s, n, key); });
    }
    add(name("peer", "walk", "-", "-", n), [n](benchmark::State& s) { peerWalk(s, n); });
    for (auto mode : modes) {
      for (const char* op : {"insert", "update", "delete"}) {
        const std::string o = op;
        add(name("peer", o, "-", syncName(mode), n), [n, mode, o](benchmark::State& s) { peerChange(s, n, mode, o); });
      }
    }
#endif
  }
  // Whole transactions, each side of a ratio beside the other.
  for (std::size_t n : sizes) {
    for (auto mode : modes) {
      for (int v : {3, 4}) {
        addBulk(name("vel", "tx_insert", "v" + std::to_string(v), syncName(mode), n),
                [v, n, mode](benchmark::State& s) { velTxInsert(s, v, n, mode); }, bulkRuns(n));
      }
#ifdef VELBENCH_HAVE_SQLITE
      addBulk(name("peer", "tx_insert", "-", syncName(mode), n),
              [n, mode](benchmark::State& s) { peerTxInsert(s, n, mode); }, bulkRuns(n));
#endif
    }
  }
  // The import of the largest size, as a user runs it, beside the peers
  // that build a store of the same bundle; then the listing of it.
  const std::size_t n = g_count;
  for (int v : {3, 4}) {
    const auto mode = FileDBJournaledFile::SyncFull;
    addBulk(name("tool", "import", "v" + std::to_string(v), syncName(mode), n),
            [v, n, mode](benchmark::State& s) { toolImport(s, v, n, mode); }, 2);
  }
  for (const char* peer : {"pkcs12_export", "java_keystore"}) {
    const std::string p = peer;
    addBulk(name("peer", p, "-", "-", n), [p, n](benchmark::State& s) { peerStoreBuild(s, p, n); }, 2);
  }
  for (int v : {3, 4}) {
    addBulk(name("tool", "list", "v" + std::to_string(v), "-", n), [v, n](benchmark::State& s) { toolList(s, v, n); },
            5);
  }
}

std::string firstLine(const std::string& path, const std::string& prefix) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      const std::size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

std::string filesystemOf(const std::string& path) {
  struct statfs fs;
  if (::statfs(path.c_str(), &fs) != 0) return "unknown";
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:
      return "ext4";
    case 0x01021994:
      return "tmpfs";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x794C7630:
      return "overlayfs";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(fs.f_type));
      return hex;
    }
  }
}

void describeMachine() {
  struct utsname u;
  if (::uname(&u) == 0) benchmark::AddCustomContext("kernel", std::string(u.sysname) + " " + u.release);
  benchmark::AddCustomContext("cpu_model", firstLine("/proc/cpuinfo", "model name"));
  benchmark::AddCustomContext("memory", firstLine("/proc/meminfo", "MemTotal"));
  benchmark::AddCustomContext("scratch_filesystem", filesystemOf(g_dir));
  benchmark::AddCustomContext("compiler", std::string("gcc ") + __VERSION__);
  benchmark::AddCustomContext("openssl", OpenSSL_version(OPENSSL_VERSION));
#ifdef VELBENCH_HAVE_SQLITE
  benchmark::AddCustomContext("sqlite", sqlite3_libversion());
#else
  benchmark::AddCustomContext("sqlite", "not built (no SQLite development files): peer figures left out");
#endif
  benchmark::AddCustomContext("corpus_ca_certificates", std::to_string(g_corpus->caCertificates));
  benchmark::AddCustomContext("corpus_records", std::to_string(g_count));
  char avg[32];
  std::snprintf(avg, sizeof avg, "%.0f", g_corpus->averageCertificateBytes);
  benchmark::AddCustomContext("corpus_average_certificate_bytes", avg);
  benchmark::AddCustomContext("record_length", std::to_string(FileDBStorage::kInitialRecordLength));
}

std::vector<std::size_t> sizesFromEnvironment() {
  const char* text = std::getenv("VELBENCH_SIZES");
  std::vector<std::size_t> sizes;
  std::stringstream in(text != nullptr ? text : "100,1000,10000");
  std::string item;
  while (std::getline(in, item, ',')) {
    const long long value = std::atoll(item.c_str());
    if (value > 0 && static_cast<std::size_t>(value) <= kMaxRecords) sizes.push_back(static_cast<std::size_t>(value));
  }
  if (sizes.empty()) sizes = {100, 1000, 10000};
  return sizes;
}

void removeScratch() {
  if (g_dir.empty() || std::getenv("VELBENCH_KEEP") != nullptr) return;
  const std::string command = "rm -rf '" + g_dir + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", g_dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (const char* t = std::getenv("VELBENCH_MIN_TIME")) g_minTime = std::max(0.01, std::atof(t));
  const char* parent = std::getenv("VELBENCH_DIR");
  if (parent == nullptr) parent = std::getenv("TMPDIR");
  std::string pattern = std::string(parent != nullptr ? parent : "/tmp") + "/velbench-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  g_dir = pattern;
  int rc = 0;
  try {
    const std::vector<std::size_t> sizes = sizesFromEnvironment();
    g_count = *std::max_element(sizes.begin(), sizes.end());
    std::fprintf(stderr, "making %zu records and the fixtures in %s ...\n", g_count, g_dir.c_str());
    // About one real certificate in seventy, as in a store of mostly own keys.
    g_corpus.reset(new Corpus(g_count, VELTestPKI::loadSystemCABundle(), 70));
    makeFixtures(sizes);
#ifdef VELBENCH_HAVE_SQLITE
    makePeerFixtures(sizes);
#endif
    describeMachine();
    registerAll(sizes);
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velfiledb_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  removeScratch();
  return rc;
}
