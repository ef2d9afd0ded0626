// The text listing of a table larger than the batches it is formatted in,
// on a second thread: every record once, in the table's order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "commands.h"
#include "pki.h"
#include "veldbconnectinfo.h"

using namespace velkdb;

namespace {

TEST(VelkdbOutput, ListingOfManyRecordsKeepsTheirOrder) {
  const std::string base = ::testing::TempDir() + "velkdb_many_" + std::to_string(getpid());
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
  const int kRecords = 1300;  // more than two batches
  {
    FileDBManager db(VELDBConnectInfo::FILE(base, toEncryptor(Secret("many")), VELDBConnectInfo::CreateV4,
                                            VELDBConnectInfo::ReadWrite));
    Ossl<EVP_PKEY> key = makeECKey();
    db.beginTransaction();
    for (int i = 1; i <= kRecords; ++i) {
      Ossl<X509> cert = makeCertificate(key.get(), "/CN=n" + std::to_string(i), nullptr, nullptr, 1, false, "");
      VELASNKeyRecord record;
      record.setCertificate(VELASNCertificate(cert.get()));
      record.setLabel("n" + std::to_string(i));
      db.insertKey(record);
    }
    db.commitTransaction();

    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    printList(db, base, false, true, Table::Key);
    std::cout.rdbuf(saved);

    std::istringstream lines(out.str());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "keys: " + std::to_string(kRecords) + " records");
    int next = 1;
    while (std::getline(lines, line)) {
      if (line.compare(0, 15, "      subject: ") != 0) continue;
      ASSERT_EQ(line, "      subject: CN=n" + std::to_string(next)) << "after " << next - 1 << " records";
      ++next;
    }
    EXPECT_EQ(next, kRecords + 1);
  }
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
}

}  // namespace
