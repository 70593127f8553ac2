// The safe-file layer on real files in a private temporary directory: planted
// links and swapped names are refused, temporary files are exclusive, and an
// atomic replacement leaves the old file or the new, never half of one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "safe_file.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

class SafeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dfd_ = open_dir(dir_.c_str());
    ASSERT_TRUE(dfd_.ok());
  }
  std::string at(const std::string &name) const { return dir_ + "/" + name; }
  static void put(const std::string &path, const std::string &data) {
    ornix_test::WriteFile(path, data);
  }
  static std::string get(const std::string &path) { return ornix_test::ReadFile(path); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator(dir_)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

  ornix_test::TempDir tmp_;
  std::string dir_ = tmp_.path();
  UniqueFd dfd_;
};

TEST_F(SafeFile, PlantedLinksAreNeverFollowed) {
  put(at("victim"), "precious");
  ASSERT_EQ(mkdir(at("real").c_str(), 0700), 0);
  ASSERT_EQ(symlink(at("victim").c_str(), at("file").c_str()), 0);
  ASSERT_EQ(symlink(at("real").c_str(), at("dir").c_str()), 0);
  EXPECT_FALSE(open_at(dfd_.get(), "file", O_RDONLY).ok());
  EXPECT_FALSE(create_private_at(dfd_.get(), "file", O_WRONLY).ok());
  std::string leaf;
  EXPECT_FALSE(open_parent(dfd_.get(), "/dir/x", &leaf).ok());
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(open_parent_from_root(at("dir/x"), &leaf).ok());
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_TRUE(open_parent_from_root(at("real/x"), &leaf).ok());
  EXPECT_EQ(leaf, "x");
  put(at("real/x"), "x");
  EXPECT_TRUE(open_beneath(dfd_.get(), "real/x", O_RDONLY).ok());
  // Out and back in again by "..": a plain openat would find real/x.
  const std::string round = "real/../../" + fs::path(dir_).filename().string() + "/real/x";
  for (const std::string &rel : {std::string("dir/x"), std::string("file"), round})
    EXPECT_FALSE(open_beneath(dfd_.get(), rel, O_RDONLY).ok()) << rel;
  // The type is checked after the open, too.
  EXPECT_FALSE(open_at(dfd_.get(), "real", O_RDONLY, FileKind::kRegular).ok());
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(get(at("victim")), "precious");
}

TEST_F(SafeFile, WalkCreatesOnRequestAndNeverLeavesItsBase) {
  ASSERT_EQ(mkdir(at("base").c_str(), 0700), 0);
  UniqueFd base = open_dir(at("base").c_str());
  std::vector<std::string> made;
  DirWalk walk;
  walk.create = [&](int parent, const char *name, const std::string &prefix) {
    made.push_back(prefix);
    return mkdirat(parent, name, 0700);
  };
  std::string leaf;
  UniqueFd d = open_parent(base.get(), "//a/./b/../../../../c/f", &leaf, &walk);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(leaf, "f");
  EXPECT_EQ(made, (std::vector<std::string>{"//a", "//a/./b", "//a/./b/../../../../c"}));
  EXPECT_TRUE(fs::is_directory(at("base/c")));
  EXPECT_FALSE(fs::exists(at("c")));
  EXPECT_FALSE(open_parent(base.get(), "a/", &leaf).ok());
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(open_parent(base.get(), "missing/f", &leaf).ok());
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(SafeFile, ANameSwappedAfterTheLookIsNotRemoved) {
  put(at("f"), "first");
  FileId seen;
  ASSERT_EQ(name_id(dfd_.get(), "f", &seen), 0);
  ASSERT_EQ(rename(at("f").c_str(), at("kept").c_str()), 0);
  put(at("f"), "swapped in");
  EXPECT_EQ(unlink_at(dfd_.get(), "f", &seen), -1);
  EXPECT_EQ(errno, ESTALE);
  EXPECT_EQ(get(at("f")), "swapped in");
  // The same inode changed since (another ctime) counts as well.
  ASSERT_EQ(name_id(dfd_.get(), "f", &seen), 0);
  FileId changed = seen;
  changed.ctime.tv_nsec ^= 1;
  EXPECT_EQ(check_id(dfd_.get(), "f", changed), -1);
  EXPECT_EQ(unlink_at(dfd_.get(), "f", &seen), 0);
}

TEST_F(SafeFile, TemporaryFilesAreExclusiveAndPrivate) {
  umask(0);
  std::string n1, n2;
  UniqueFd a = create_temp_at(dfd_.get(), "t_", &n1), b = create_temp_at(dfd_.get(), "t_", &n2);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(n1, n2);
  EXPECT_EQ(n1.size(), 16u);
  struct stat st;
  ASSERT_EQ(fstat(a.get(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(create_private_at(dfd_.get(), n1.c_str(), O_WRONLY).ok());
  EXPECT_EQ(errno, EEXIST);
  umask(022);
}

// A name planted where the program writes its temporary file: a link (even a
// dangling one) or a hard link to somebody's file is refused and left alone;
// only a plain leftover file of our own is replaced.
TEST_F(SafeFile, PrivateFileRefusesPlantedNames) {
  const std::string path = at(".ornixfs.1"), victim = at("victim");
  put(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  EXPECT_EQ(create_private_file(path.c_str(), O_RDWR), -1);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink(at("nowhere").c_str(), path.c_str()), 0);
  EXPECT_EQ(create_private_file(path.c_str(), O_WRONLY), -1);
  EXPECT_FALSE(fs::exists(at("nowhere")));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(link(victim.c_str(), path.c_str()), 0);
  EXPECT_EQ(create_private_file(path.c_str(), O_RDWR), -1);
  EXPECT_EQ(get(victim), "precious");
  ASSERT_EQ(unlink(path.c_str()), 0);

  put(path, "old run");
  UniqueFd fd(create_private_file(path.c_str(), O_WRONLY));
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(write_all(fd.get(), "new", 3));
  EXPECT_EQ(get(path), "new");
}

TEST_F(SafeFile, AtomicReplaceWritesThroughNoLinkAndLeavesNothingBeside) {
  put(at("victim"), "precious\n");
  ASSERT_EQ(symlink(at("victim").c_str(), at("conf").c_str()), 0);
  std::string err;
  ASSERT_EQ(atomic_replace(at("conf").c_str(), "new\n", 0644, &err), 0) << err;
  EXPECT_EQ(get(at("conf")), "new\n");
  EXPECT_EQ(get(at("victim")), "precious\n");
  struct stat st;
  ASSERT_EQ(lstat(at("conf").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(names(), (std::vector<std::string>{"conf", "victim"}));
}

// A full disk, made real with the file-size limit, keeps the old file whole.
TEST_F(SafeFile, AtomicReplaceFailingKeepsTheOldFile) {
  put(at("conf"), "old contents\n");
  struct rlimit saved, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ign = {}, old_sa = {};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ign, &old_sa), 0);
  small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string err;
  int rc = atomic_replace(at("conf").c_str(), std::string(1000, 'n'), 0644, &err);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old_sa, nullptr);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, "write(" + at("conf") + ".tmp." + std::to_string(getpid()) +
                     ".0): File too large");
  EXPECT_EQ(get(at("conf")), "old contents\n");
  EXPECT_EQ(names(), std::vector<std::string>{"conf"});
  EXPECT_EQ(atomic_replace(at("no/conf").c_str(), "x", 0644, &err), -1);
  EXPECT_EQ(err.rfind("create(" + at("no/conf") + ".tmp.", 0), 0u) << err;
}

}  // namespace
