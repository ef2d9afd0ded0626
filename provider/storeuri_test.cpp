// Plan: the URI forms that name a database and a selection, the decoding of
// paths and values, and the refusals -- each naming what is wrong.
#include "storeuri.h"

#include <gtest/gtest.h>

#include "storeerror.h"

namespace velstore {
namespace {

using Select = StoreQuery::Select;

// The refusal's message for `uri`; fails the test when it is accepted.
std::string refusal(const std::string& uri) {
  try {
    parseStoreURI(uri);
  } catch (const StoreError& e) {
    EXPECT_EQ(e.reason(), Reason::kBadURI) << uri;
    return e.what();
  }
  ADD_FAILURE() << uri << " was accepted";
  return std::string();
}

TEST(StoreURI, BaseNameInEveryForm) {
  EXPECT_EQ(parseStoreURI("velkdb:/srv/keys/db").base, "/srv/keys/db");
  EXPECT_EQ(parseStoreURI("velkdb:///srv/keys/db").base, "/srv/keys/db");
  EXPECT_EQ(parseStoreURI("velkdb://localhost/srv/db").base, "/srv/db");
  EXPECT_EQ(parseStoreURI("VELKDB:relative/db").base, "relative/db");
  EXPECT_EQ(parseStoreURI("velkdb:/my%20keys/db%3Fx").base, "/my keys/db?x");
  const StoreQuery all = parseStoreURI("velkdb:/db");
  EXPECT_EQ(all.select, Select::kAll);
  EXPECT_TRUE(all.passwordFile.empty());
}

TEST(StoreURI, OneSelectionAndAPasswordFile) {
  StoreQuery q = parseStoreURI("velkdb:/db?label=web%20server%26co&password-file=/home/u/pw");
  EXPECT_EQ(q.select, Select::kLabel);
  EXPECT_EQ(q.label, "web server&co");
  EXPECT_EQ(q.passwordFile, "/home/u/pw");
  q = parseStoreURI("velkdb:/db?id=4294967295");
  EXPECT_EQ(q.select, Select::kID);
  EXPECT_EQ(q.id, 4294967295ul);
  q = parseStoreURI("velkdb:/db?fingerprint=ab:cd:" + std::string(36, '0'));
  EXPECT_EQ(q.select, Select::kFingerprint);
  EXPECT_EQ(q.fingerprint, "ABCD" + std::string(36, '0'));
  q = parseStoreURI("velkdb:/db?serial=00:0a:Ff&issuer=CN=Root,O=Example");
  EXPECT_EQ(q.select, Select::kSerial);
  EXPECT_EQ(q.serial, "AFF");
  EXPECT_EQ(q.issuer, "CN=Root,O=Example");
  EXPECT_EQ(parseStoreURI("velkdb:/db?trusted&password-file=pw").select, Select::kTrusted);
  EXPECT_EQ(parseStoreURI("velkdb:/db?crls").select, Select::kCRLs);
  EXPECT_EQ(parseStoreURI("velkdb:/db?&crls&").select, Select::kCRLs);
}

TEST(StoreURI, SerialNumbersCompareAsNumbers) {
  EXPECT_EQ(normalizeSerial("0000"), "0");
  EXPECT_EQ(normalizeSerial("01 a3"), "1A3");
  EXPECT_EQ(normalizeSerial("-00ff"), "-FF");
  EXPECT_EQ(normalizeSerial("-0"), "0");
  EXPECT_EQ(normalizeSerial("12g"), "");
  EXPECT_EQ(normalizeSerial(""), "");
  EXPECT_EQ(normalizeSerial(std::string(201, '1')), "");
}

TEST(StoreURI, RefusesWhatItCannotServe) {
  EXPECT_NE(refusal("file:/db").find("not a velkdb: URI"), std::string::npos);
  EXPECT_NE(refusal("/db").find("not a velkdb: URI"), std::string::npos);
  EXPECT_NE(refusal("velkdb:").find("names no database"), std::string::npos);
  EXPECT_NE(refusal("velkdb:?trusted").find("names no database"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/keys/").find("directory"), std::string::npos);
  EXPECT_NE(refusal("velkdb://server/db").find("\"server\""), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db#frag").find("fragment"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/d%2").find("two hexadecimal digits"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/d%zz").find("two hexadecimal digits"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/d%00b").find("zero byte"), std::string::npos);
}

TEST(StoreURI, RefusesBadParameters) {
  EXPECT_NE(refusal("velkdb:/db?password=secret").find("never goes into a URI"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?colour=blue").find("\"colour\""), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?label=a&label=b").find("twice"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?label=a&trusted").find("more than one selection"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?trusted&crls").find("more than one selection"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?label=").find("needs a value"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?label").find("needs a value"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?password-file=").find("needs a value"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?trusted=yes").find("takes no value"), std::string::npos);
  for (const char* id : {"0", "4294967296", "-1", "1x", "", "99999999999"}) {
    EXPECT_NE(refusal(std::string("velkdb:/db?id=") + id).find("record ID"), std::string::npos) << id;
  }
  EXPECT_NE(refusal("velkdb:/db?fingerprint=abcd").find("64 hex digits"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?fingerprint=" + std::string(40, 'g')).find("64 hex digits"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?serial=xyz").find("hexadecimal"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?issuer=CN=x").find("only with serial"), std::string::npos);
  EXPECT_NE(refusal("velkdb:/db?label=web&issuer=CN=x").find("only with serial"), std::string::npos);
}

}  // namespace
}  // namespace velstore
