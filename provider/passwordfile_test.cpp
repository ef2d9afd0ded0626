// Plan: a password file of the user's own gives its first line; one that
// is not the user's secret (readable by group or others, a directory,
// empty, missing) is refused before it is read.
#include "passwordfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "storeerror.h"

namespace velstore {
namespace {

class PasswordFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/velstore-pw-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    d_dir = dir;
  }
  void TearDown() override { std::system(("rm -rf '" + d_dir + "'").c_str()); }

  // A file `name` holding `content` with `mode`; its path.
  std::string write(const std::string& name, const std::string& content, mode_t mode) {
    const std::string path = d_dir + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    chmod(path.c_str(), mode);
    return path;
  }

  // The refusal's message for `path`.
  std::string refusal(const std::string& path) {
    try {
      readPasswordFile(path);
    } catch (const StoreError& e) {
      EXPECT_EQ(e.reason(), Reason::kPasswordFile);
      return e.what();
    }
    ADD_FAILURE() << path << " was accepted";
    return std::string();
  }

  std::string d_dir;
};

TEST_F(PasswordFile, FirstLineWithoutItsEnd) {
  EXPECT_EQ(std::string(readPasswordFile(write("a", "s3cret pass\nsecond\n", 0600)).data()), "s3cret pass");
  const SecretBytes crlf = readPasswordFile(write("b", "windows\r\n", 0400));
  EXPECT_EQ(std::string(crlf.data(), crlf.size()), "windows");
  const SecretBytes noEnd = readPasswordFile(write("c", "no line end", 0600));
  EXPECT_EQ(std::string(noEnd.data(), noEnd.size()), "no line end");
  // A long password read in several pieces.
  const std::string longOne(10000, 'p');
  const SecretBytes big = readPasswordFile(write("d", longOne + "\n", 0600));
  EXPECT_EQ(std::string(big.data(), big.size()), longOne);
}

TEST_F(PasswordFile, RefusesFilesOthersMaySee) {
  EXPECT_NE(refusal(write("g", "pw\n", 0640)).find("readable by its group (mode 0640)"), std::string::npos);
  EXPECT_NE(refusal(write("o", "pw\n", 0604)).find("readable by others (mode 0604)"), std::string::npos);
  EXPECT_NE(refusal(write("go", "pw\n", 0644)).find("readable by others"), std::string::npos);
  // Writable by group alone is nobody's reading.
  EXPECT_NO_THROW(readPasswordFile(write("gw", "pw\n", 0620)));
}

TEST_F(PasswordFile, RefusesWhatHoldsNoPassword) {
  EXPECT_NE(refusal(d_dir + "/missing").find("No such file"), std::string::npos);
  EXPECT_NE(refusal(d_dir).find("is a directory"), std::string::npos);
  EXPECT_NE(refusal(write("empty", "", 0600)).find("empty"), std::string::npos);
  EXPECT_NE(refusal(write("blank", "\nsecond\n", 0600)).find("empty"), std::string::npos);
  EXPECT_NE(refusal(write("huge", std::string(70 * 1024, 'x'), 0600)).find("longer than"), std::string::npos);
  EXPECT_NE(refusal("/dev/null").find("not a regular file"), std::string::npos);
}

TEST_F(PasswordFile, FifoWithoutWriterEndsAtOnce) {
  const std::string path = d_dir + "/fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_NE(refusal(path).find("empty"), std::string::npos);
}

}  // namespace
}  // namespace velstore
