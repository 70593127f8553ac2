// The cache directory's signature generation on real files: what a change
// of generation drops and keeps, and a run of the old generation that is
// still adding while another run replaces the generation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "cache_check.h"
#include "cache_generation.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

const char kOld[] = "0123456789abcdef0123456789abcdef";
const char kNew[] = "0123456789abcdef0123456789abcde0";

// rc 1: signature files too new for the engine to have surely taken them.
std::function<int(std::string *)> generation(const std::string &g, int rc = 0) {
  return [g, rc](std::string *out) {
    if (g.empty()) return -1;  // the engine did not answer
    *out = g;
    return rc;
  };
}

class GenerationTest : public ::testing::Test {
 protected:
  std::string recorded() const { return ornix_test::ReadFile(dir_ + "/" CACHE_GENERATION_FILE); }
  bool hit(const char *key) const { return CDBcheck_dir(dir_.c_str(), key) == 0; }

  ornix_test::TempDir tmp_;
  std::string dir_ = tmp_.file("cache");
};

TEST_F(GenerationTest, ChangeDropsTheTreeAndKeepsTheRest) {
  CacheBinding a;
  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G1\n"), &a), 0);  // dir made
  EXPECT_EQ(recorded(), "G1\n");
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), kOld), 0);
  ornix_test::WriteFile(dir_ + "/notes.txt", "an administrator's file\n");
  fs::create_directories(dir_ + "/.old.crashed/01");  // left by a run that died
  ornix_test::WriteFile(dir_ + "/.old.crashed/01/23.dat", "x");

  CacheBinding again;
  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G1\n"), &again), 0);
  EXPECT_TRUE(hit(kOld));
  EXPECT_TRUE(fs::exists(dir_ + "/.old.crashed"));  // removed only on a change

  CacheBinding none;
  EXPECT_EQ(cache_bind(dir_.c_str(), generation(""), &none), -1);
  EXPECT_TRUE(hit(kOld));

  CacheBinding b;
  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G2\n"), &b), 0);
  EXPECT_FALSE(hit(kOld));
  EXPECT_EQ(recorded(), "G2\n");
  std::set<std::string> left;
  for (const auto &e : fs::directory_iterator(dir_)) left.insert(e.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{CACHE_GENERATION_FILE, "notes.txt"}));

  // Files not surely taken yet: the old tree still goes, nothing is added.
  // A shorter record after a longer one: no tail of the old one survives.
  ASSERT_EQ(CDBadd_dir(dir_.c_str(), kOld), 0);
  CacheBinding c;
  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G\n", 1), &c), 0);
  EXPECT_EQ(recorded(), "G\n");
  EXPECT_FALSE(hit(kOld));
  EXPECT_EQ(cache_hold(b), 1);
  EXPECT_EQ(cache_hold(c), 1);
  CacheBinding d;
  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G\n"), &d), 0);
  EXPECT_EQ(cache_hold(d), 0);
  cache_release(d);
}

// Runs A and B each with their own open generation file, as two processes
// have: flock orders them the same way within one process, so no timing
// decides the outcome.
TEST_F(GenerationTest, OldRunStillAddingAcrossAChangeLosesNothing) {
  setenv("ORNIX_WAIT_SCALE", "0.001", 1);  // B's wait for the lock: 30 ms
  CacheBinding a;
  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G1\n"), &a), 0);
  // Run A scanned a file under G1 and is adding it when run B, which found
  // G2, starts: B cannot replace the generation meanwhile (it gives up after
  // its wait and uses no cache).
  ASSERT_EQ(cache_hold(a), 0);
  CacheBinding b;
  EXPECT_EQ(cache_bind(dir_.c_str(), generation("G2\n"), &b), -1);
  EXPECT_EQ(recorded(), "G1\n");
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), kOld), 0);
  cache_release(a);

  ASSERT_EQ(cache_bind(dir_.c_str(), generation("G2\n"), &b), 0);
  EXPECT_FALSE(hit(kOld));  // A's G1 verdict went with the G1 tree
  ASSERT_EQ(cache_hold(b), 0);
  EXPECT_EQ(CDBadd_dir(dir_.c_str(), kNew), 0);
  cache_release(b);
  // A goes on: its next verdict is refused; the record and B's entry stay.
  EXPECT_EQ(cache_hold(a), 1);
  EXPECT_EQ(recorded(), "G2\n");
  EXPECT_TRUE(hit(kNew));
  unsetenv("ORNIX_WAIT_SCALE");
}

}  // namespace
