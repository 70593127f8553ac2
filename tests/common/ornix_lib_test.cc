// Host, process and pattern utilities.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "ornix_common.h"
#include "ornix_lib.h"

namespace {

// A private temporary directory, removed with its files at the end.
class ScratchDir {
 public:
  ScratchDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ornix_lib_test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = buf.data();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &data, mode_t mode = 0644) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ASSERT_EQ(fchmod(fd, mode), 0);
  close(fd);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Sends the log channel to a temporary file for the life of the object.
class LogCapture {
 public:
  explicit LogCapture(int level) {
    fp_ = tmpfile();
    saved_log_ = OrnixLog;
    saved_level_ = LogLevel;
    OrnixLog = fp_;
    LogLevel = level;
  }
  ~LogCapture() {
    OrnixLog = saved_log_;
    LogLevel = saved_level_;
    if (fp_) fclose(fp_);
  }
  std::string text() {
    fflush(fp_);
    rewind(fp_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  FILE *fp_;
  FILE *saved_log_;
  int saved_level_;
};

std::string chomped(const std::string &in, void (*fn)(char *)) {
  std::vector<char> buf(in.begin(), in.end());
  buf.push_back('\0');
  fn(buf.data());
  return buf.data();
}

}  // namespace

TEST(Chomp, RemovesOnlyLineEnds) {
  EXPECT_EQ(chomped("abc\r\n\r\n", chomp), "abc");
  EXPECT_EQ(chomped("abc \t\n", chomp), "abc \t");
  EXPECT_EQ(chomped("a\nb\n", chomp), "a\nb");
  EXPECT_EQ(chomped("\r\n\n", chomp), "");
  EXPECT_EQ(chomped("", chomp), "");
  chomp(nullptr);  // tolerated
}

TEST(Chomp, Chomp2AlsoRemovesBlanksAndTabs) {
  EXPECT_EQ(chomped("abc \t\n", chomp2), "abc");
  EXPECT_EQ(chomped("abc\r\n\r\n", chomp2), "abc");
  EXPECT_EQ(chomped(" a b \t \r\n", chomp2), " a b");
  EXPECT_EQ(chomped(" \t\r\n", chomp2), "");
  EXPECT_EQ(chomped("", chomp2), "");
}

TEST(BuildCheck, ComparesWeightedComponents) {
  EXPECT_EQ(build_check("6.0.7.1", "checkonly"), 2);
  EXPECT_EQ(build_check("6.0.7.1", "check"), 2);
  EXPECT_EQ(build_check("6.0.7.1", "6.0.8.0"), 1);
  EXPECT_EQ(build_check("6.0.7.1", "6.0.7.1"), 0);
  EXPECT_EQ(build_check("6.0.7.1", "6.1"), 1);
  EXPECT_EQ(build_check("6.0.7.1", "5.9.9.9"), 0);
  EXPECT_EQ(build_check("6.0.7.1", "6.0.7.2"), 1);
  EXPECT_EQ(build_check("6.0.7.1", "7"), 1);
  // the weights stay 1000/100/10/1 even for three-digit components
  EXPECT_EQ(build_check("2.0.0.0", "1.10.0.0"), 0);
  EXPECT_EQ(build_check("1.10.0.0", "2.0.0.0"), 0);
  EXPECT_EQ(build_check("1.9.9.9", "1.10.0.0"), 1);
}

TEST(BuildCheck, MalformedTextIsNotNewer) {
  EXPECT_EQ(build_check("6.0.7.1", "6.0.7.10a"), 0);
  EXPECT_EQ(build_check("6.0.7.1", "9.0.7.1000"), 0);  // four digits
  EXPECT_EQ(build_check("6.0.7.1", "9.0.0.0.1"), 0);   // five components
  EXPECT_EQ(build_check("6.0.7.1", "9..1"), 0);
  EXPECT_EQ(build_check("6.0.7.1", "-9"), 0);
  EXPECT_EQ(build_check("6.0.7.1", ""), 0);
  EXPECT_EQ(build_check("6.0.7.1", "chec"), 0);
  EXPECT_EQ(build_check("6.0.7.1", nullptr), 0);
}

TEST(Match, CommaSeparatedAlternatives) {
  EXPECT_EQ(match("user@example.com", "^.*@.*\\..*", 2), 1);
  EXPECT_EQ(match("nobody", "^.*@.*\\..*", 2), 0);
  // only the second pattern of the list matches
  EXPECT_EQ(match("bob@other.org", "^alice@example\\.com$,^bob@other\\.org$", 0), 1);
  EXPECT_EQ(match("carol@other.org", "^alice@example\\.com$,^bob@other\\.org$", 0), 0);
}

TEST(Match, CaseFlag) {
  EXPECT_EQ(match("USER@EXAMPLE.COM", "user@example", 2), 1);
  EXPECT_EQ(match("USER@EXAMPLE.COM", "user@example", 0), 0);
  EXPECT_EQ(match("user@example.com", "user@example", 0), 1);
}

TEST(Match, EmptyAndMissingArguments) {
  EXPECT_EQ(match("anything", "", 0), 1);
  EXPECT_EQ(match("", "", 2), 1);
  EXPECT_EQ(match(nullptr, "abc", 0), 0);
  EXPECT_EQ(match(nullptr, "", 0), 0);
  EXPECT_EQ(match("abc", nullptr, 0), 0);
}

TEST(Match, IntervalBreaksOnCommaWithLevelOneMessage) {
  LogCapture log(1);
  // "a{1,3}" becomes "a{1|3}", which does not compile
  EXPECT_EQ(match("aaa", "a{1,3}", 0), 0);
  std::string text = log.text();
  EXPECT_NE(text.find("REGEXP error: error="), std::string::npos) << text;
  EXPECT_NE(text.find(",msg="), std::string::npos) << text;
  EXPECT_EQ(text.find("[DEBUG]"), std::string::npos) << "debug lines need level 16384";
}

TEST(Match, DebugTrace) {
  LogCapture log(16384);
  EXPECT_EQ(match("a@b.c", "x,y", 0), 0);
  std::string text = log.text();
  EXPECT_NE(text.find("[DEBUG] match: str=a@b.c,pattern=x,y,flag=0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[DEBUG] buf=x|y\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[DEBUG] regcomp=0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[DEBUG] regexec=1\n"), std::string::npos) << text;
}

TEST(GetAvePid, ReadsLeadingNumber) {
  ScratchDir dir;
  std::string pf = dir.file("clamd.pid");
  write_file(pf, "1234\n");
  EXPECT_EQ(get_ave_pid(pf.c_str()), 1234);
  write_file(pf, "42 trailing text\nsecond line\n");
  EXPECT_EQ(get_ave_pid(pf.c_str()), 42);
  write_file(pf, "777");  // no line feed
  EXPECT_EQ(get_ave_pid(pf.c_str()), 777);
  write_file(pf, "pid\n");
  EXPECT_EQ(get_ave_pid(pf.c_str()), 0);
  write_file(pf, "");
  EXPECT_EQ(get_ave_pid(pf.c_str()), -1);
  EXPECT_EQ(get_ave_pid(dir.file("missing.pid").c_str()), -1);
}

TEST(GetAvePid, NeverYieldsAProcessGroup) {
  ScratchDir dir;
  std::string pf = dir.file("clamd.pid");
  write_file(pf, "-1\n");
  EXPECT_EQ(get_ave_pid(pf.c_str()), 0);
  write_file(pf, "-4321\n");
  EXPECT_EQ(get_ave_pid(pf.c_str()), 0);
  write_file(pf, "99999999999999999\n");  // would overflow an int
  EXPECT_EQ(get_ave_pid(pf.c_str()), 0);
  // only the first 19 characters are read
  write_file(pf, "0000000000000000001234\n");
  EXPECT_EQ(get_ave_pid(pf.c_str()), 1);
}

TEST(Copy, CopiesContentAndPermissions) {
  ScratchDir dir;
  std::string src = dir.file("src"), dst = dir.file("dst");
  std::string data;
  for (int i = 0; i < 30000; ++i) data += static_cast<char>(i * 7 + (i >> 8));  // > 3 blocks
  write_file(src, data, 0750);
  mode_t old = umask(0);
  EXPECT_EQ(copy(src.c_str(), dst.c_str()), 0);
  umask(old);
  EXPECT_EQ(read_file(dst), data);
  struct stat st;
  ASSERT_EQ(stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(Copy, OverwritesAnExistingDestination) {
  ScratchDir dir;
  std::string src = dir.file("src"), dst = dir.file("dst");
  write_file(src, "new", 0600);
  write_file(dst, "a much longer old content", 0644);
  EXPECT_EQ(copy(src.c_str(), dst.c_str()), 0);
  EXPECT_EQ(read_file(dst), "new");
  struct stat st;
  ASSERT_EQ(stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Copy, EmptySourceGivesEmptyFile) {
  ScratchDir dir;
  write_file(dir.file("src"), "", 0644);
  EXPECT_EQ(copy(dir.file("src").c_str(), dir.file("dst").c_str()), 0);
  EXPECT_EQ(read_file(dir.file("dst")), "");
}

TEST(Copy, DoesNotWriteThroughAPlantedSymlink) {
  ScratchDir dir;
  std::string src = dir.file("src"), dst = dir.file("dst"), victim = dir.file("victim");
  write_file(src, "payload", 0644);
  write_file(victim, "precious", 0644);
  ASSERT_EQ(symlink(victim.c_str(), dst.c_str()), 0);
  EXPECT_EQ(copy(src.c_str(), dst.c_str()), 0);
  EXPECT_EQ(read_file(victim), "precious");
  struct stat st;
  ASSERT_EQ(lstat(dst.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(dst), "payload");
}

TEST(Copy, Failures) {
  ScratchDir dir;
  write_file(dir.file("src"), "x", 0644);
  EXPECT_EQ(copy(dir.file("missing").c_str(), dir.file("dst").c_str()), -1);
  EXPECT_NE(access(dir.file("dst").c_str(), F_OK), 0) << "no destination without a source";

  // destination in a directory that does not exist: message on standard output
  testing::internal::CaptureStdout();
  int rc = copy(dir.file("src").c_str(), dir.file("nodir/dst").c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, std::string("could not create destination file(") + strerror(ENOENT) + ")\n");

  // a directory as the source: the read fails
  EXPECT_EQ(copy(dir.file("").c_str(), dir.file("dst2").c_str()), -1);
  // a directory where the destination goes cannot be replaced
  ASSERT_EQ(mkdir(dir.file("adir").c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy(dir.file("src").c_str(), dir.file("adir").c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("could not create destination file("),
            std::string::npos);
  EXPECT_EQ(isDir(dir.file("adir").c_str()), 1);
}

TEST(Copy, SourceAndDestinationTheSame) {
  ScratchDir dir;
  write_file(dir.file("f"), "same file", 0640);
  EXPECT_EQ(copy(dir.file("f").c_str(), dir.file("f").c_str()), 0);
  EXPECT_EQ(read_file(dir.file("f")), "same file");
}

TEST(IsDir, FileTypes) {
  ScratchDir dir;
  write_file(dir.file("f"), "x");
  ASSERT_EQ(mkdir(dir.file("d").c_str(), 0700), 0);
  ASSERT_EQ(symlink(dir.file("d").c_str(), dir.file("ld").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  EXPECT_EQ(isDir(dir.file("d").c_str()), 1);
  EXPECT_EQ(isDir(dir.file("ld").c_str()), 1);  // links are followed
  EXPECT_EQ(isDir(dir.file("f").c_str()), 0);
  EXPECT_EQ(isDir("/dev/null"), 0);
  EXPECT_EQ(isDir(dir.file("gone").c_str()), -1);
  EXPECT_EQ(isDir(dir.file("dangling").c_str()), -1);
  EXPECT_EQ(isDir(nullptr), -1);
}

TEST(IsPrivIP, TextualPrefixes) {
  EXPECT_EQ(IsPrivIP("10.0.0.1"), 1);
  EXPECT_EQ(IsPrivIP("127.0.0.1"), 1);
  EXPECT_EQ(IsPrivIP("172.16.0.1"), 1);
  EXPECT_EQ(IsPrivIP("172.31.255.255"), 1);
  EXPECT_EQ(IsPrivIP("192.168.1.1"), 1);
  EXPECT_EQ(IsPrivIP("172.32.0.1"), 0);
  EXPECT_EQ(IsPrivIP("172.15.0.1"), 0);
  EXPECT_EQ(IsPrivIP("127.0.0.2"), 0);
  EXPECT_EQ(IsPrivIP("127.0.0.10"), 0);
  EXPECT_EQ(IsPrivIP("100.1.2.3"), 0);
  EXPECT_EQ(IsPrivIP("8.8.8.8"), 0);
  EXPECT_EQ(IsPrivIP("192.169.0.1"), 0);
  EXPECT_EQ(IsPrivIP(""), 0);
  EXPECT_EQ(IsPrivIP(nullptr), 0);
}

TEST(SetHostname, MatchesTheSystemName) {
  memset(MailHostName, 'x', sizeof MailHostName);
  set_hostname();
  ASSERT_NE(memchr(MailHostName, '\0', sizeof MailHostName), nullptr) << "terminated";
  char expect[256] = {0};
  if (gethostname(expect, sizeof expect - 1) != 0 || expect[0] == '\0' ||
      strcmp(expect, "(none)") == 0)
    strcpy(expect, "localhost");
  EXPECT_STREQ(MailHostName, expect);
  EXPECT_GT(strlen(MailHostName), 0u);
}

TEST(GetFqdn, NoResolveCopiesTheAddress) {
  mail_obj m{const_cast<char *>("192.0.2.7"), strdup("old")};
  get_fqdn(&m, 0);
  EXPECT_STREQ(m.fqdn, "192.0.2.7");
  free(m.fqdn);
}

TEST(GetFqdn, NotDottedAddressIsKept) {
  LogCapture log(8192);
  mail_obj m{const_cast<char *>("not-an-ip"), nullptr};
  get_fqdn(&m, 1);
  EXPECT_STREQ(m.fqdn, "not-an-ip");
  std::string text = log.text();
  EXPECT_NE(text.find("[DEBUG] IP is not a.b.c.d(not-an-ip)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[DEBUG] Get FQDN from IP address.(not-an-ip => not-an-ip)\n"),
            std::string::npos)
      << text;
  free(m.fqdn);
}

TEST(GetFqdn, LoopbackIsConfirmedOrKept) {
  // 127.0.0.1 reverse-resolves through the hosts file of any machine; the
  // answer is confirmed forward, otherwise the address stays.
  mail_obj m{const_cast<char *>("127.0.0.1"), nullptr};
  get_fqdn(&m, 1);
  ASSERT_NE(m.fqdn, nullptr);
  std::string name = m.fqdn;
  EXPECT_FALSE(name.empty());
  if (name != "127.0.0.1") {
    mail_obj again{m.fqdn, nullptr};  // the name resolves to a loopback address
    get_fqdn(&again, 1);
    EXPECT_STREQ(again.fqdn, m.fqdn) << "not a dotted address: kept";
    free(again.fqdn);
  }
  free(m.fqdn);
}
