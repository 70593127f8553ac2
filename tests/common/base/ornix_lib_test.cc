// Host, process and pattern utilities.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ornix_common.h"
#include "ornix_lib.h"

namespace {

// A private temporary directory, removed with its files at the end.
class ScratchDir {
 public:
  ScratchDir() {
    const char *base = getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/ornix_lib_test.XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  const char *put(const std::string &name, const std::string &data, mode_t mode = 0644) const {
    paths_.push_back(file(name));
    int fd = open(paths_.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    EXPECT_GE(fd, 0) << name << ": " << strerror(errno);
    EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(fchmod(fd, mode), 0);
    close(fd);
    return paths_.back().c_str();
  }

 private:
  std::string path_;
  mutable std::deque<std::string> paths_;  // stable: put() hands out c_str()
};

std::string read_file(const std::string &path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

mode_t mode_of(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

}  // namespace

TEST(Chomp, LineEndsAndBlanks) {
  struct Row {
    const char *in, *chomp, *chomp2;
  } rows[] = {{"abc\r\n\r\n", "abc", "abc"},     {"abc \t\n", "abc \t", "abc"}, {"a\nb\n", "a\nb", "a\nb"},
              {" a b \t \r\n", " a b \t ", " a b"}, {" \t\r\n", " \t", ""},         {"\r\n\n", "", ""}, {"", "", ""}};
  for (const Row &r : rows) {
    std::string a = r.in, b = r.in;
    chomp(a.data());
    chomp2(b.data());
    EXPECT_STREQ(a.c_str(), r.chomp) << r.in;
    EXPECT_STREQ(b.c_str(), r.chomp2) << r.in;
  }
  chomp(nullptr);  // tolerated
}

TEST(BuildCheck, WeightedComponentsAndMalformedText) {
  struct Row {
    const char *build;
    int expect;
  } rows[] = {{"check", 2},     {"chec", 0}, {"6.0.8.0", 1}, {"6.0.7.1", 0},      {"6.1", 1},
              {"6.0.7.10a", 0}, {"9.0.7.1000", 0}, {"9.0.0.0.1", 0}, {"9..1", 0}, {"-9", 0}, {nullptr, 0}};
  for (const Row &r : rows) EXPECT_EQ(build_check("6.0.7.1", r.build), r.expect) << (r.build ? r.build : "null");
  // the weights stay 1000/100/10/1 even for two-digit components
  EXPECT_EQ(build_check("2.0.0.0", "1.10.0.0"), 0);
  EXPECT_EQ(build_check("1.10.0.0", "2.0.0.0"), 0);
  EXPECT_EQ(build_check("1.9.9.9", "1.10.0.0"), 1);
}

TEST(Match, AlternativesCaseAndMissingArguments) {
  struct Row {
    const char *str, *pattern;
    int flag, expect;
  } rows[] = {{"bob@other.org", "^alice@example\\.com$,^bob@other\\.org$", 0, 1},
              {"carol@other.org", "^alice@example\\.com$,^bob@other\\.org$", 0, 0},
              {"USER@EXAMPLE.COM", "user@example", 2, 1}, {"USER@EXAMPLE.COM", "user@example", 0, 0},
              {"aaa", "a{1,3}", 0, 0},  // the comma splits it: never compiles, never matches
              {"anything", "", 0, 1}, {nullptr, "", 0, 0}, {"abc", nullptr, 0, 0}};
  for (const Row &r : rows)
    EXPECT_EQ(match(r.str, r.pattern, r.flag), r.expect) << (r.str ? r.str : "null") << " ~ "
                                                         << (r.pattern ? r.pattern : "null");
}

TEST(GetAvePid, LeadingNumberNeverAProcessGroup) {
  ScratchDir dir;
  struct Row {
    const char *content;
    int expect;
  } rows[] = {{"1234\n", 1234}, {"42 trailing text\nsecond line\n", 42}, {"777", 777}, {"pid\n", 0}, {"", -1},
              {"-1\n", 0},      {"-4321\n", 0},                          {"99999999999999999\n", 0},
              // only the first 19 characters are read
              {"0000000000000000001234\n", 1}};
  for (const Row &r : rows) EXPECT_EQ(get_ave_pid(dir.put("clamd.pid", r.content)), r.expect) << r.content;
  EXPECT_EQ(get_ave_pid(dir.file("missing.pid").c_str()), -1);
}

// The destination is replaced, never written through: a link planted there
// is removed, not followed.
TEST(Copy, ContentAndPermissionsReplaceTheDestination) {
  ScratchDir dir;
  std::string data;
  for (int i = 0; i < 30000; ++i) data += static_cast<char>(i * 7 + (i >> 8));  // several blocks
  const char *src = dir.put("src", data, 0750);
  const char *dst = dir.put("dst", std::string(40000, 'o'), 0644);
  mode_t old = umask(0);
  EXPECT_EQ(copy(src, dst), 0);
  umask(old);
  EXPECT_EQ(read_file(dst), data);
  EXPECT_EQ(mode_of(dst) & 0777, 0750u);
  EXPECT_EQ(copy(src, src), 0);  // onto itself: the content stays
  EXPECT_EQ(read_file(src), data);
  const char *victim = dir.put("victim", "precious");
  ASSERT_EQ(unlink(dst), 0);
  ASSERT_EQ(symlink(victim, dst), 0);
  EXPECT_EQ(copy(src, dst), 0);
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_TRUE(S_ISREG(mode_of(dst)));
}

TEST(Copy, Failures) {
  ScratchDir dir;
  const char *src = dir.put("src", "x");
  EXPECT_EQ(copy(dir.file("missing").c_str(), dir.file("dst").c_str()), -1);
  EXPECT_NE(access(dir.file("dst").c_str(), F_OK), 0) << "no destination without a source";
  // a directory where the destination goes is not replaced
  ASSERT_EQ(mkdir(dir.file("adir").c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy(src, dir.file("adir").c_str()), -1);
  EXPECT_TRUE(testing::internal::GetCapturedStdout().starts_with("could not create destination file("));
  EXPECT_EQ(isDir(dir.file("adir").c_str()), 1);
}

TEST(IsPrivIP, TextualPrefixes) {
  for (const char *ip : {"10.0.0.1", "127.0.0.1", "172.16.0.1", "172.31.255.255", "192.168.1.1"})
    EXPECT_EQ(IsPrivIP(ip), 1) << ip;
  for (const char *ip : {"172.32.0.1", "172.15.0.1", "127.0.0.2", "127.0.0.10", "8.8.8.8", "192.169.0.1", ""})
    EXPECT_EQ(IsPrivIP(ip), 0) << ip;
  EXPECT_EQ(IsPrivIP(nullptr), 0);
}

TEST(GetFqdn, AddressKeptWithoutResolving) {
  mail_obj plain{};
  plain.ip = const_cast<char *>("192.0.2.7");
  plain.fqdn = strdup("old");
  get_fqdn(&plain, 0);  // no resolving: the address itself
  EXPECT_STREQ(plain.fqdn, "192.0.2.7");
  free(plain.fqdn);

  mail_obj m{};
  m.ip = const_cast<char *>("not-an-ip");
  get_fqdn(&m, 1);
  EXPECT_STREQ(m.fqdn, "not-an-ip");
  free(m.fqdn);
}

TEST(GetFqdn, LoopbackNameIsConfirmedForward) {
  // the hosts file of any machine reverse-resolves 127.0.0.1; a name is kept
  // only when it resolves back to that address
  mail_obj lo{};
  lo.ip = const_cast<char *>("127.0.0.1");
  get_fqdn(&lo, 1);
  ASSERT_NE(lo.fqdn, nullptr);
  hostent *h = strcmp(lo.fqdn, "127.0.0.1") == 0 ? nullptr : gethostbyname(lo.fqdn);
  bool back = h == nullptr && strcmp(lo.fqdn, "127.0.0.1") == 0;
  for (char **a = h ? h->h_addr_list : nullptr; a && *a; a++)
    back |= reinterpret_cast<in_addr *>(*a)->s_addr == htonl(INADDR_LOOPBACK);
  EXPECT_TRUE(back) << lo.fqdn;
  free(lo.fqdn);
}
