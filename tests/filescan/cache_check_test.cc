// The scan-result cache on real files in a private temporary directory:
// byte layout, chains, the record limit of a lookup, deletion, damaged files
// and concurrent writers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
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
  void TearDown() override {
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string file_of(const char *key) const {
    return dir_ + "/" + key[0] + key[1] + "/" + key[2] + key[3] + ".dat";
  }
  std::vector<char> read_all(const std::string &path) const {
    std::vector<char> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
  }
  void write_all(const std::string &path, const std::vector<char> &data) const {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    fclose(f);
  }
  static int32_t int_at(const std::vector<char> &d, size_t off) {
    int32_t v;
    memcpy(&v, d.data() + off, 4);
    return v;
  }
  static void set_int(std::vector<char> &d, size_t off, int32_t v) { memcpy(d.data() + off, &v, 4); }

  std::string root_, dir_;
};

// 32 hex digits: a fixed 6-digit head (file and bucket) and a numbered tail.
std::string key_with(const char *head6, unsigned n) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%s%026x", head6, n);
  return buf;
}

TEST(CacheHex, DigitsAndLetters) {
  EXPECT_EQ(hex2dec('0', '0'), 0);
  EXPECT_EQ(hex2dec('4', '5'), 0x45);
  EXPECT_EQ(hex2dec('f', 'f'), 255);
  EXPECT_EQ(hex2dec('a', '9'), 0xa9);
  EXPECT_EQ(hex2dec('G', '0'), -1);
  EXPECT_EQ(hex2dec('A', '0'), -1);  // keys are lower case only
}

TEST_F(CacheTest, FirstInsertionLayout) {
  const char *key = "0123456789abcdef0123456789abcdef";
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), key), 0);
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/01").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  std::vector<char> d = read_all(dir_ + "/01/23.dat");
  ASSERT_EQ(d.size(), 1056u);
  for (int b = 0; b < 256; b++) EXPECT_EQ(int_at(d, b * 4), b == 0x45 ? 1 : 0) << "bucket " << b;
  EXPECT_EQ(int_at(d, 1024), 0);
  EXPECT_EQ(std::string(d.data() + 1028, 26), std::string(key + 6, 26));
  ASSERT_EQ(stat((dir_ + "/01/23.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key), 0);
}

TEST_F(CacheTest, ChainAndBuckets) {
  std::string a = key_with("abcdef", 1), b = key_with("abcdef", 2), c = key_with("abcd00", 3);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), c.c_str()), 0);
  std::vector<char> d = read_all(file_of(a.c_str()));
  ASSERT_EQ(d.size(), 1024u + 3 * 32);
  EXPECT_EQ(int_at(d, 0xef * 4), 1);
  EXPECT_EQ(int_at(d, 0x00 * 4), 3);
  EXPECT_EQ(int_at(d, 1024), 2);       // record 1 links to record 2 in place
  EXPECT_EQ(int_at(d, 1024 + 32), 0);
  for (const auto &k : {a, b, c}) EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k.c_str()), 0) << k;
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("abcdef", 4).c_str()), -1);
}

TEST_F(CacheTest, MissCreatesNothing) {
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("123456", 1).c_str()), -1);
  struct stat st;
  EXPECT_NE(lstat(dir_.c_str(), &st), 0);
}

TEST_F(CacheTest, RefusesKeysThatAreNotDigests) {
  for (const char *bad : {"../../../../etc/passwd0000000000", "0123456789ABCDEF0123456789ABCDEF",
                          "0123", "0123456789abcdef0123456789abcdef0"}) {
    EXPECT_EQ(CDBadd_dir(dir_.c_str(), bad), -1) << bad;
    EXPECT_EQ(CDBcheck_dir(dir_.c_str(), bad), -1) << bad;
    EXPECT_EQ(CDBdel_dir(dir_.c_str(), bad), -1) << bad;
  }
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), nullptr), -1);
  struct stat st;
  EXPECT_NE(lstat(dir_.c_str(), &st), 0);
}

TEST_F(CacheTest, TableOnlyFile) {
  std::string k = key_with("aa0011", 7);
  ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir_ + "/aa").c_str(), 0700), 0);
  write_all(file_of(k.c_str()), std::vector<char>(1024, 0));
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k.c_str()), -1);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), k.c_str()), 0);
  std::vector<char> d = read_all(file_of(k.c_str()));
  ASSERT_EQ(d.size(), 1056u);
  EXPECT_EQ(int_at(d, 0x11 * 4), 1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k.c_str()), 0);
}

TEST_F(CacheTest, LookupReadsAtMost512Records) {
  for (unsigned i = 1; i <= 600; i++)
    ASSERT_EQ(CDBadd_dir(dir_.c_str(), key_with("777777", i).c_str()), 0);
  EXPECT_EQ(read_all(file_of("7777")).size(), 1024u + 600 * 32);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("777777", 1).c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("777777", 512).c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("777777", 513).c_str()), -1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("777777", 600).c_str()), -1);
}

TEST_F(CacheTest, DeleteUnlinksFirstOfChain) {
  std::string a = key_with("55aa33", 1), b = key_with("55aa33", 2);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);
  ASSERT_EQ(CDBdel_dir(dir_.c_str(), a.c_str()), 0);
  std::vector<char> d = read_all(file_of(a.c_str()));
  ASSERT_EQ(d.size(), 1024u + 64);       // the record stays in the file
  EXPECT_EQ(int_at(d, 0x33 * 4), 2);
  EXPECT_EQ(int_at(d, 1024), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), -1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), 0);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), a.c_str()), -1);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), key_with("000000", 1).c_str()), -1);  // no file
}

TEST_F(CacheTest, DeleteInMiddleKeepsRest) {
  std::string k[3] = {key_with("121212", 1), key_with("121212", 2), key_with("121212", 3)};
  for (auto &x : k) ASSERT_EQ(CDBadd_dir(dir_.c_str(), x.c_str()), 0);
  ASSERT_EQ(CDBdel_dir(dir_.c_str(), k[1].c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k[0].c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k[1].c_str()), -1);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), k[2].c_str()), 0);
}

TEST_F(CacheTest, LinksOutsideTheFileEndTheChain) {
  std::string a = key_with("beef01", 1), b = key_with("beef01", 2);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  std::vector<char> d = read_all(file_of(a.c_str()));
  set_int(d, 1024, 99999);              // record 1 points far past the end
  write_all(file_of(a.c_str()), d);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), 0);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), -1);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);  // appended unlinked
  d = read_all(file_of(a.c_str()));
  ASSERT_EQ(d.size(), 1024u + 64);
  EXPECT_EQ(int_at(d, 1024), 99999);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), -1);

  set_int(d, 0x01 * 4, -5);             // a negative table entry
  write_all(file_of(a.c_str()), d);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), -1);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), a.c_str()), -1);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), key_with("beef01", 3).c_str()), 0);
}

TEST_F(CacheTest, LoopedChainEnds) {
  std::string a = key_with("c0ffee", 1), b = key_with("c0ffee", 2);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);
  std::vector<char> d = read_all(file_of(a.c_str()));
  set_int(d, 1024 + 32, 1);             // record 2 links back to record 1
  write_all(file_of(a.c_str()), d);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("c0ffee", 9).c_str()), -1);
  EXPECT_EQ(CDBdel_dir(dir_.c_str(), key_with("c0ffee", 9).c_str()), -1);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), key_with("c0ffee", 9).c_str()), 0);
  EXPECT_EQ(read_all(file_of(a.c_str())).size(), 1024u + 96);
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
  // The next record replaces the torn one, and the file is whole again.
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), b.c_str()), 0);
  EXPECT_EQ(read_all(file_of(a.c_str())).size(), 1024u + 64);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), b.c_str()), 0);

  d.resize(500);                        // a torn table
  write_all(file_of(a.c_str()), d);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), -1);
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), a.c_str()), 0);
  d = read_all(file_of(a.c_str()));
  EXPECT_EQ(d.size(), 1056u);
  EXPECT_EQ(CDBcheck_dir(dir_.c_str(), a.c_str()), 0);
}

TEST_F(CacheTest, ConcurrentWritersLoseNoRecord) {
  const int kProcs = 6, kKeys = 60;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; p++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      for (int i = 0; i < kKeys; i++)
        if (CDBadd_dir(dir_.c_str(), key_with("fafafa", p * 1000 + i).c_str()) != 0) bad++;
      _exit(bad == 0 ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(read_all(file_of("fafa")).size(), 1024u + 32u * kProcs * kKeys);
  for (int p = 0; p < kProcs; p++)
    for (int i = 0; i < kKeys; i++)
      EXPECT_EQ(CDBcheck_dir(dir_.c_str(), key_with("fafafa", p * 1000 + i).c_str()), 0);
}

TEST_F(CacheTest, GlobalCacheDirectory) {
  const char *saved = cache_dir;
  cache_dir = dir_.c_str();
  std::string k = key_with("010203", 5);
  EXPECT_EQ(CDBcheck(k.c_str()), -1);
  EXPECT_EQ(CDBadd(k.c_str()), 0);
  EXPECT_EQ(CDBcheck(k.c_str()), 0);
  EXPECT_EQ(CDBdel(k.c_str()), 0);
  EXPECT_EQ(CDBcheck(k.c_str()), -1);
  cache_dir = saved;
}

}  // namespace
