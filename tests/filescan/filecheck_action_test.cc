// Delete and move actions on real files in a private temporary tree.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <list>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "filecheck.h"
#include "ornixfs.h"
#include "test_util.h"
#include "save_sidecar.h"

namespace {

namespace fs = std::filesystem;

TEST(ModeString, LsForm) {
  const std::pair<mode_t, const char *> rows[] = {
      {S_IFREG | 04755, "-rwsr-xr-x"}, {S_IFREG | 02640, "-rw-r-S---"},
      {S_IFDIR | 01776, "drwxrwxrwT"}, {S_IFSOCK | 0755, "srwxr-xr-x"}, {0, "?---------"}};
  for (const auto &[mode, text] : rows) {
    char buf[11];
    get_mode_string(mode, buf);
    EXPECT_STREQ(buf, text);
  }
}

class ActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    save_ = root_ + "/save";
    mirror_ = save_ + root_ + "/a/b";
    ASSERT_EQ(mkdir(save_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root_ + "/a").c_str(), 0751), 0);
    ASSERT_EQ(mkdir((root_ + "/a/b").c_str(), 0705), 0);
    ASSERT_EQ(chown((root_ + "/a/b").c_str(), 12345, 23456), 0);
    file_ = root_ + "/a/b/c.txt";
    put(file_, "infected contents\n");
    ASSERT_EQ(chown(file_.c_str(), 4242, 4343), 0);
    struct timeval tv[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimes(file_.c_str(), tv), 0);
    saved_action_ = action;
    saved_save_ = save_dir;
    delete_file_num = move_file_num = 0;
  }
  void TearDown() override {
    for (int fd : dirs_) close(fd);
    action = saved_action_;
    save_dir = saved_save_;
  }
  static void put(const std::string &path, const std::string &data) {
    ornix_test::WriteFile(path, data);
  }
  static std::string get(const std::string &path) { return ornix_test::ReadFile(path); }
  static bool exists(const std::string &path) { return fs::exists(fs::symlink_status(path)); }
  static long entries(const std::string &dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
  }
  static long files(const std::string &dir) {
    long n = 0;
    for (const auto &e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file();
    return n;
  }
  // As the walk hands files over: the parent directory held open, the name in it.
  ScannedFile scanned(const std::string &path) {
    ScannedFile f;
    f.path = path.c_str();
    size_t slash = path.rfind('/');
    names_.push_back(path.substr(slash + 1));
    int dir = open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(dir, 0) << path;
    dirs_.push_back(dir);
    f.dirfd = dir;
    f.name = names_.back().c_str();
    return f;
  }
  void act(int what, const std::string &path, const std::string &save = "") {
    action = what;
    save_text_ = save.empty() ? save_ : save;
    save_dir = save_text_.c_str();
    object_action(scanned(path), 0, 0);
  }

  ornix_test::TempDir tmp_;
  std::string root_ = tmp_.path(), save_, mirror_, file_, save_text_;
  std::list<std::string> names_;
  std::vector<int> dirs_;
  int saved_action_;
  const char *saved_save_;
};

TEST_F(ActionTest, MoveMirrorsTheTreeAndAttributes) {
  act(2, file_);
  EXPECT_EQ(move_file_num, 1);
  EXPECT_FALSE(exists(file_));
  EXPECT_EQ(get(save_ + file_), "infected contents\n");
  struct stat st;
  ASSERT_EQ(stat((save_ + file_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0u);  // the default FileMoveMode 000
  EXPECT_TRUE(st.st_uid == 4242u && st.st_gid == 4343u && st.st_mtime == 1200000000);
  ASSERT_EQ(stat(mirror_.c_str(), &st), 0);
  EXPECT_TRUE(st.st_uid == 12345u && st.st_gid == 23456u);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 07777, 0705u & ~mask);
  EXPECT_EQ(entries(mirror_), 2);  // the copy and its record, no temporary file
}

// An earlier copy of the same path is never overwritten: later ones get .1, .2.
TEST_F(ActionTest, EarlierCopyIsKept) {
  const char *texts[] = {"infected contents\n", "second, longer sample\n", "3\n"};
  for (const char *t : texts) {
    put(file_, t);
    ASSERT_EQ(move_file(scanned(file_), save_.c_str(), 0400, 0), 0);
    EXPECT_FALSE(exists(file_));
  }
  EXPECT_EQ(get(save_ + file_), texts[0]);
  EXPECT_EQ(get(save_ + file_ + ".1"), texts[1]);
  EXPECT_EQ(get(save_ + file_ + ".2"), texts[2]);
  EXPECT_EQ(entries(mirror_), 6);  // with their records
}

TEST_F(ActionTest, FailuresLeaveTheOriginal) {
  act(2, file_, root_ + "/nosave");
  EXPECT_EQ(move_file_num, 0);
  EXPECT_EQ(get(file_), "infected contents\n");
  // Neither a directory nor a fifo (which would block) nor a missing file is copied.
  std::string dir = root_ + "/a/b/dir", fifo = root_ + "/a/b/pipe";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &p : {dir, fifo, root_ + "/a/b/gone"})
    EXPECT_EQ(move_file(scanned(p), save_.c_str(), 0, 0), -1) << p;
  EXPECT_TRUE(exists(dir) && exists(fifo));
  EXPECT_EQ(files(save_), 0);  // no partial copy
  // A save tree deeper than one path may be: built from descriptors, it works.
  std::string victim = root_ + "/" + std::string(250, 'd');
  ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
  victim += "/" + std::string(250, 'v');
  put(victim, "x");
  std::string huge_save = save_;
  while (huge_save.size() + victim.size() < 4200) {
    huge_save += "/" + std::string(200, 'u');
    ASSERT_EQ(mkdir(huge_save.c_str(), 0700), 0);
  }
  act(2, victim, huge_save);
  EXPECT_EQ(move_file_num, 1);
  EXPECT_FALSE(exists(victim));
}

// The mirrored directories belong to the originals' owners; a link one of
// them puts there must not take a later copy out of the save tree.
TEST_F(ActionTest, SymlinkPlantedInTheSaveTreeIsNotFollowed) {
  std::string elsewhere = root_ + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(move_file(scanned(file_), save_.c_str(), 0600, 0), 0);  // builds the mirror
  put(file_, "infected contents\n");
  fs::remove_all(mirror_);
  ASSERT_EQ(symlink(elsewhere.c_str(), mirror_.c_str()), 0);
  act(2, file_);
  EXPECT_EQ(move_file_num, 0);
  EXPECT_EQ(get(file_), "infected contents\n");
  EXPECT_EQ(entries(elsewhere), 0);
}

// Through the walk's directory and name, and only while they still are the
// file that was scanned: replaced or written to since, it is left alone.
TEST_F(ActionTest, MoveActsOnlyOnTheScannedFile) {
  const std::pair<const char *, std::function<void()>> rows[] = {
      {"unchanged", [] {}},
      {"replaced", [&] {
         put(root_ + "/a/b/new", "infected contents\n");
         ASSERT_EQ(rename((root_ + "/a/b/new").c_str(), file_.c_str()), 0);
       }},
      {"appended", [&] { std::ofstream(file_, std::ios::app) << "more\n"; }},
  };
  for (const auto &[what, change] : rows) {
    SCOPED_TRACE(what);
    fs::remove_all(save_ + root_);
    put(file_, "infected contents\n");
    ScannedFile f = scanned(file_);
    ASSERT_EQ(stat(file_.c_str(), &f.st), 0);
    change();
    bool same = std::string(what) == "unchanged";
    EXPECT_EQ(move_file(f, save_.c_str(), 0600, 0), same ? 0 : -1);
    if (!same) {
      EXPECT_EQ(errno, ESTALE);
    }
    EXPECT_EQ(exists(file_), !same);
    EXPECT_EQ(exists(save_ + file_), same);
  }
}

// Each copy has its record beside it, whatever bytes the original's name
// holds, and a name of a record's form is never given to a copy.
TEST_F(ActionTest, RecordBesideEachCopy) {
  const std::string names[] = {std::string("odd\n%41\x01\xff name"), sidecar_name("c.txt")};
  for (const std::string &n : names) {
    std::string path = root_ + "/a/b/" + n;
    put(path, "infected contents\n");
    ScannedFile f = scanned(path);
    f.detections = "Eicar-Test\nSignature";
    ASSERT_EQ(move_file(f, save_.c_str(), 0, 0), 0);
    std::string copy = is_sidecar_name(n) ? n + ".1" : n;
    int dir = open(mirror_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    SavedMeta m;
    std::string err;
    EXPECT_EQ(read_sidecar(dir, copy, &m, &err), 0) << err;
    close(dir);
    EXPECT_EQ(m.path, path);
    EXPECT_EQ(m.detections, f.detections);
    EXPECT_EQ(m.md5, "d23d346a09a372f1486ff7cdd60d51f1");
    EXPECT_EQ(m.size, 18);
  }
  EXPECT_EQ(entries(mirror_), 4);
}

TEST_F(ActionTest, DeleteAndSymlinks) {
  std::string target = root_ + "/a/target", link = root_ + "/a/link";
  put(target, "t");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  act(1, link);   // removes the link, keeps the target
  act(1, file_);
  act(1, file_);  // already gone: not counted
  EXPECT_EQ(delete_file_num, 2);
  EXPECT_FALSE(exists(link) || exists(file_));
  EXPECT_TRUE(exists(target));

  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  act(2, link);  // copies the target, removes the link
  EXPECT_EQ(move_file_num, 1);
  EXPECT_FALSE(exists(link));
  EXPECT_TRUE(exists(target));
  EXPECT_EQ(get(save_ + link), "t");
}

}  // namespace
