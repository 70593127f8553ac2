// The scan-result cache on real files in a private temporary directory:
// byte layout, chains, the record limit of a lookup, deletion, damaged files,
// planted links and concurrent writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cache_check.h"
#include "ornixfs.h"

namespace {

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ornix-cache-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ + "/cache";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string file_of(const char *key) const {
    return dir_ + "/" + key[0] + key[1] + "/" + key[2] + key[3] + ".dat";
  }
  static std::vector<char> read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }
  static void write_all(const std::string &path, const std::vector<char> &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), data.size());
  }
  static int32_t int_at(const std::vector<char> &d, size_t off) {
    int32_t v;
    memcpy(&v, d.data() + off, 4);
    return v;
  }
  // Writes one 32-bit link of a cache file in place, as damage would.
  void poke(const std::string &key, size_t off, int32_t v) const {
    std::vector<char> d = read_all(file_of(key.c_str()));
    memcpy(d.data() + off, &v, 4);
    write_all(file_of(key.c_str()), d);
  }

  std::string root_, dir_;
};

// 32 hex digits: a fixed 6-digit head (file and bucket) and a numbered tail.
std::string key_with(const char *head6, unsigned n) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%s%026x", head6, n);
  return buf;
}

TEST_F(CacheTest, FirstInsertionLayout) {
  const char *key = "0123456789abcdef0123456789abcdef";
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), key), 0);
  std::vector<char> d = read_all(dir_ + "/01/23.dat");
  ASSERT_EQ(d.size(), 1056u);
  for (int b = 0; b < 256; b++) EXPECT_EQ(int_at(d, b * 4), b == 0x45 ? 1 : 0) << "bucket " << b;
  EXPECT_EQ(int_at(d, 1024), 0);
  EXPECT_EQ(std::string(d.data() + 1028, 26), std::string(key + 6, 26));
  struct stat st;
  for (const char *p : {"", "/01", "/01/23.dat"}) {
    ASSERT_EQ(stat((dir_ + p).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << p;
  }
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key), 0);
  // A link planted in place of the file or its directory is never used.
  std::string victim = root_ + "/victim";
  write_all(victim, std::vector<char>(1056, 0));
  ASSERT_EQ(rename(file_of(key).c_str(), (root_ + "/saved").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), file_of(key).c_str()), 0);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), key), -1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key), -1);
  ASSERT_EQ(rename((dir_ + "/01").c_str(), (root_ + "/01").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "/01").c_str(), (dir_ + "/01").c_str()), 0);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), key), -1);
  EXPECT_EQ(read_all(victim), std::vector<char>(1056, 0));
}

TEST_F(CacheTest, ChainsBucketsAndTheLookupLimit) {
  std::string a = key_with("abcdef", 1), b = key_with("abcdef", 2), c = key_with("abcd00", 3);
  for (const auto &k : {a, b, c}) ASSERT_EQ(CDBadd_dir(dir_.c_str(), k.c_str()), 0);
  std::vector<char> d = read_all(file_of(a.c_str()));
  ASSERT_EQ(d.size(), 1024u + 3 * 32);
  EXPECT_EQ(int_at(d, 0xef * 4), 1);
  EXPECT_EQ(int_at(d, 0x00 * 4), 3);
  EXPECT_EQ(int_at(d, 1024), 2);       // record 1 links to record 2 in place
  EXPECT_EQ(int_at(d, 1024 + 32), 0);
  for (const auto &k : {a, b, c}) EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k.c_str()), 0) << k;
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("abcdef", 4).c_str()), -1);

  for (unsigned i = 1; i <= 600; i++)
    ASSERT_EQ(CDBadd_dir(dir_.c_str(), key_with("777777", i).c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("777777", 512).c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("777777", 513).c_str()), -1);
}

TEST_F(CacheTest, MissesAndBadKeysCreateNothing) {
  for (const char *bad : {"../../../../etc/passwd0000000000", "0123456789ABCDEF0123456789ABCDEF",
                          "0123", "0123456789abcdef0123456789abcdef0"}) {
    EXPECT_EQ(CDBadd_dir(dir_.c_str(), bad), -1) << bad;
    EXPECT_EQ(CDBdel_dir(dir_.c_str(), bad), -1) << bad;
  }
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), nullptr), -1);
  struct stat st;
  EXPECT_NE(lstat(dir_.c_str(), &st), 0);
}

TEST_F(CacheTest, DeleteUnlinksButKeepsTheRecord) {
  std::string k[3] = {key_with("55aa33", 1), key_with("55aa33", 2), key_with("55aa33", 3)};
  for (auto &x : k) ASSERT_EQ(CDBadd_dir(dir_.c_str(), x.c_str()), 0);
  ASSERT_EQ(CDBdel_dir(dir_.c_str(), k[1].c_str()), 0);   // in the middle
  ASSERT_EQ(CDBdel_dir(dir_.c_str(), k[0].c_str()), 0);   // the head
  std::vector<char> d = read_all(file_of(k[0].c_str()));
  ASSERT_EQ(d.size(), 1024u + 96);
  EXPECT_EQ(int_at(d, 0x33 * 4), 3);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k[0].c_str()), -1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k[1].c_str()), -1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k[2].c_str()), 0);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), k[0].c_str()), -1);
}

// Damaged files: every link is checked against the file before it is read.
TEST_F(CacheTest, LinksOutsideTheFileAndLoopsEndTheChain) {
  std::string a = key_with("beef01", 1), b = key_with("beef01", 2);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  poke(a, 1024, 99999);                 // record 1 points far past the end
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), -1);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);  // appended unlinked
  std::vector<char> d = read_all(file_of(a.c_str()));
  ASSERT_EQ(d.size(), 1024u + 64);
  EXPECT_EQ(int_at(d, 1024), 99999);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), -1);

  poke(a, 1024, 2);
  poke(a, 1024 + 32, 1);                // record 2 links back to record 1
  std::string c = key_with("beef01", 9);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), c.c_str()), -1);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), c.c_str()), -1);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), c.c_str()), 0);
  EXPECT_EQ(read_all(file_of(a.c_str())).size(), 1024u + 96);

  poke(a, 0x01 * 4, -5);                // a negative table entry
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), -1);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), a.c_str()), -1);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), key_with("beef01", 3).c_str()), 0);
}

TEST_F(CacheTest, TruncatedFiles) {
  std::string a = key_with("d00d00", 1), b = key_with("d00d00", 2);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);
  std::vector<char> d = read_all(file_of(a.c_str()));
  d.resize(1024 + 32 + 10);             // record 2 torn in half
  write_all(file_of(a.c_str()), d);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), -1);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);  // replaces the torn record
  EXPECT_EQ(read_all(file_of(a.c_str())).size(), 1024u + 64);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), 0);

  for (size_t size : {1024, 500}) {     // a table alone, a torn table
    d.resize(size);
    std::fill(d.begin(), d.end(), 0);
    write_all(file_of(a.c_str()), d);
    EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), -1) << size;
    ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
    d = read_all(file_of(a.c_str()));
    EXPECT_EQ(d.size(), 1056u) << size;
    EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), 0) << size;
  }
}

TEST_F(CacheTest, ConcurrentWritersLoseNoRecord) {
  const int kProcs = 6, kKeys = 60;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; p++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      for (int i = 0; i < kKeys; i++) bad |= CDBadd_dir(dir_.c_str(), key_with("fafafa", p * 1000 + i).c_str());
      _exit(bad ? 1 : 0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = -1;
    EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(read_all(file_of("fafa")).size(), 1024u + 32u * kProcs * kKeys);
  for (int p = 0; p < kProcs; p++)
    for (int i = 0; i < kKeys; i++)
      EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("fafafa", p * 1000 + i).c_str()), 0);
}

}  // namespace
