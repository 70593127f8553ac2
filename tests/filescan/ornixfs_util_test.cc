// Unit tests of the self-contained pieces of the ornixfs run and report.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ornix_common.h"
#include "ornixfs.h"

namespace {

std::string make_list(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) {
    if (i > 1) s += ",";
    s += "user" + std::to_string(i) + "@example.org";
  }
  return s;
}

TEST(SplitRecipients, FortyAddressesGiveThirtyTwoEntries) {
  std::string list = make_list(40);
  std::vector<char> buf(list.begin(), list.end());
  buf.push_back('\0');
  char *rec[ORNIXFS_MAX_RECIPIENTS + 1];
  int n = split_recipients(buf.data(), rec, ORNIXFS_MAX_RECIPIENTS);
  EXPECT_EQ(n, 32);
  EXPECT_STREQ(rec[0], "user1@example.org");
  EXPECT_STREQ(rec[30], "user31@example.org");
  // The 32nd entry keeps the rest of the list, commas included.
  std::string rest;
  for (int i = 32; i <= 40; ++i) rest += (i > 32 ? "," : "") + std::string("user") +
                                        std::to_string(i) + "@example.org";
  EXPECT_EQ(std::string(rec[31]), rest);
  EXPECT_EQ(rec[32], nullptr);
}

TEST(SplitRecipients, SmallListsAndEdges) {
  char one[] = "a@b.c";
  char *rec[ORNIXFS_MAX_RECIPIENTS + 1];
  EXPECT_EQ(split_recipients(one, rec, 32), 1);
  EXPECT_STREQ(rec[0], "a@b.c");
  EXPECT_EQ(rec[1], nullptr);

  char three[] = "a@b.c,d@e.f,g@h.i";
  EXPECT_EQ(split_recipients(three, rec, 32), 3);
  EXPECT_STREQ(rec[1], "d@e.f");
  EXPECT_STREQ(rec[2], "g@h.i");
  EXPECT_EQ(rec[3], nullptr);

  // The first character after a comma is not examined for a comma itself.
  char dbl[] = "a@b.c,,d@e.f";
  EXPECT_EQ(split_recipients(dbl, rec, 32), 2);
  EXPECT_STREQ(rec[0], "a@b.c");
  EXPECT_STREQ(rec[1], ",d@e.f");

  // A trailing comma starts an empty entry and the walk stops at the end of
  // the text instead of stepping over the terminator.
  char trail[] = "a@b.c,";
  EXPECT_EQ(split_recipients(trail, rec, 32), 2);
  EXPECT_STREQ(rec[1], "");
  EXPECT_EQ(rec[2], nullptr);

  EXPECT_EQ(split_recipients(nullptr, rec, 32), 0);
  EXPECT_EQ(rec[0], nullptr);
}

TEST(TimeOfDay, DurationWrapsAtADay) {
  char t[9];
  time_of_day_text(25 * 3600, 1, t);
  EXPECT_STREQ(t, "01:00:00");
  time_of_day_text(0, 1, t);
  EXPECT_STREQ(t, "00:00:00");
  time_of_day_text(3 * 3600 + 25 * 60 + 7, 1, t);
  EXPECT_STREQ(t, "03:25:07");
}

TEST(TimeOfDay, LocalTimeMatchesStrftime) {
  time_t now = 1700000000;
  char t[9], expect[16];
  struct tm lt;
  localtime_r(&now, &lt);
  strftime(expect, sizeof expect, "%H:%M:%S", &lt);
  time_of_day_text(now, 0, t);
  EXPECT_STREQ(t, expect);
}

// Runs cmd through the shell the way system() does and returns its output.
std::string run_shell(const std::string &cmd) {
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::string out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(EngineCommand, EveryArgumentIsOneShellWord) {
  char cmd[1024];
  ASSERT_EQ(build_engine_command(cmd, sizeof cmd, "/opt/ornix/bin", "root", "/etc/o.conf"), 0);
  EXPECT_STREQ(cmd, "'/opt/ornix/bin/ornix' -u 'root' -c '/etc/o.conf'");

  // Blanks, quotes and shell syntax stay data: replace the program by printf
  // through a directory holding a printf link, then check the words arrive.
  char dir[] = "/tmp/ornixfs cmd $(x);'q'XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/ornix";
  const char script[] = "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\n";
  int fd = open(link.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0700);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, script, sizeof script - 1), static_cast<ssize_t>(sizeof script - 1));
  close(fd);
  const char *conf = "/x y/it's `id` & $HOME;.conf";
  ASSERT_EQ(build_engine_command(cmd, sizeof cmd, dir, "us'er", conf), 0);
  EXPECT_EQ(run_shell(cmd), std::string("[-u][us'er][-c][") + conf + "]");
  unlink(link.c_str());
  rmdir(dir);
}

TEST(EngineCommand, TooLongIsRefused) {
  std::string longdir(1100, 'd');
  char cmd[1024];
  EXPECT_EQ(build_engine_command(cmd, sizeof cmd, longdir.c_str(), "root", "/c"), -1);
  EXPECT_STREQ(cmd, "");
  // Quoting counts: a path of quotes grows fourfold.
  std::string quotes(300, '\'');
  EXPECT_EQ(build_engine_command(cmd, sizeof cmd, "/b", "root", quotes.c_str()), -1);
  std::string fits(900, 'c');
  EXPECT_EQ(build_engine_command(cmd, sizeof cmd, "/b", "root", fits.c_str()), 0);
}

TEST(ProgramPath, AbsoluteRelativeAndTooLong) {
  char out[1024];
  EXPECT_STREQ(base_name("/usr/bin/ornixfs"), "ornixfs");
  EXPECT_STREQ(base_name("ornixfs"), "ornixfs");
  ASSERT_EQ(bin_path_from_argv0("/opt/ornix/bin/ornixfs", out, sizeof out), 0);
  EXPECT_STREQ(out, "/opt/ornix/bin");
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(bin_path_from_argv0("./bin/ornixfs", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), std::string(cwd) + "/./bin");
  ASSERT_EQ(bin_path_from_argv0("ornixfs", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), std::string(cwd));
  std::string lng = "/" + std::string(1500, 'p') + "/ornixfs";
  EXPECT_EQ(bin_path_from_argv0(lng.c_str(), out, sizeof out), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

class PrivateFile : public ::testing::Test {
 protected:
  void SetUp() override {
    snprintf(dir_, sizeof dir_, "/tmp/ornixfs_pf_XXXXXX");
    ASSERT_NE(mkdtemp(dir_), nullptr);
    path_ = std::string(dir_) + "/.ornixfs.1";
    target_ = std::string(dir_) + "/victim";
  }
  void TearDown() override {
    unlink(path_.c_str());
    unlink(target_.c_str());
    rmdir(dir_);
  }
  std::string read(const std::string &p) {
    FILE *f = fopen(p.c_str(), "r");
    if (f == nullptr) return "<missing>";
    std::string s;
    int c;
    while ((c = fgetc(f)) != EOF) s += static_cast<char>(c);
    fclose(f);
    return s;
  }
  char dir_[64];
  std::string path_, target_;
};

TEST_F(PrivateFile, CreatedWithMode0600) {
  umask(022);
  int fd = create_private_file(path_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  close(fd);
}

TEST_F(PrivateFile, PlantedSymlinkIsNeverWrittenThrough) {
  FILE *v = fopen(target_.c_str(), "w");
  ASSERT_NE(v, nullptr);
  fputs("precious", v);
  fclose(v);
  ASSERT_EQ(symlink(target_.c_str(), path_.c_str()), 0);
  errno = 0;
  EXPECT_EQ(create_private_file(path_.c_str(), O_RDWR), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read(target_), "precious");
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));  // the planted name is left alone

  // A dangling link (to a name that does not exist yet) is refused too.
  unlink(target_.c_str());
  EXPECT_EQ(create_private_file(path_.c_str(), O_WRONLY), -1);
  EXPECT_NE(access(target_.c_str(), F_OK), 0);
}

TEST_F(PrivateFile, HardLinkedLeftoverIsRefused) {
  FILE *v = fopen(target_.c_str(), "w");
  ASSERT_NE(v, nullptr);
  fputs("precious", v);
  fclose(v);
  ASSERT_EQ(link(target_.c_str(), path_.c_str()), 0);
  EXPECT_EQ(create_private_file(path_.c_str(), O_RDWR), -1);
  EXPECT_EQ(read(target_), "precious");
}

TEST_F(PrivateFile, OwnStaleLeftoverIsReplaced) {
  FILE *v = fopen(path_.c_str(), "w");
  ASSERT_NE(v, nullptr);
  fputs("old run", v);
  fclose(v);
  int fd = create_private_file(path_.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "new", 3), 3);
  close(fd);
  EXPECT_EQ(read(path_), "new");
}

TEST(Spinner, CharactersInTurn) {
  EXPECT_EQ(spinner_char(0), '/');
  EXPECT_EQ(spinner_char(1), '-');
  EXPECT_EQ(spinner_char(2), '\\');
  EXPECT_EQ(spinner_char(3), '|');
  EXPECT_EQ(spinner_char(4), '/');
  EXPECT_EQ(spinner_char(5), '-');
  EXPECT_EQ(spinner_char(-1), '|');  // never indexes before the table
}

TEST(CheckLevel, SharedBitsOnly) {
  int saved = ShowLevel;
  ShowLevel = 15;
  EXPECT_EQ(check_level(8), 0);
  EXPECT_EQ(check_level(256), -1);
  EXPECT_EQ(check_level(0), -1);
  ShowLevel = 0;
  EXPECT_EQ(check_level(0), -1);
  EXPECT_EQ(check_level(255), -1);
  ShowLevel = 271;
  EXPECT_EQ(check_level(256), 0);
  ShowLevel = saved;
}

std::string slurp(FILE *fp) {
  rewind(fp);
  std::string s;
  int c;
  while ((c = fgetc(fp)) != EOF) s += static_cast<char>(c);
  return s;
}

TEST(OutputWriter, ReportAndMailGetTheSameTextFilteredByLevel) {
  FILE *rep = tmpfile();
  FILE *mail = tmpfile();
  ASSERT_NE(rep, nullptr);
  ASSERT_NE(mail, nullptr);
  int saved = ShowLevel;
  FILE *saved_mail = Mail, *saved_report = Report;
  ShowLevel = 8;
  Mail = mail;
  Report = rep;
  Output(rep, 8, "File: %s %d\n", "/x", 7);
  Output(rep, 256, "clean %s\n", "/y");
  Output(rep, 4, "summary\n");
  // Report is a file: spinner and erase sequences never reach it.
  guruguru(1, "/spin");
  erase_line();
  EXPECT_EQ(slurp(rep), "File: /x 7\n");
  EXPECT_EQ(slurp(mail), "File: /x 7\n");
  ShowLevel = saved;
  Mail = saved_mail;
  Report = saved_report;
  fclose(rep);
  fclose(mail);
}

TEST(MailHead, FixedLinesInOrder) {
  FILE *fp = tmpfile();
  ASSERT_NE(fp, nullptr);
  snprintf(MailHostName, sizeof MailHostName, "%s", "scanner.example");
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_EQ(write_mail_head(fp, "Résultat", "ornix@localhost", "a@b.c,d@e.f", 1755318521), 0);
  std::string pid = std::to_string(getpid());
  std::string expect =
      "Subject: Résultat\n"
      "From: Ornix Filescanner <ornix@localhost>\n"
      "To: a@b.c,d@e.f\n"
      "Date: Sat, 16 Aug 2025 04:28:41 +0000\n"
      "Message-ID: <20250816042841." + pid + ".ornix@scanner.example>\n"
      "MIME-Version: 1.0\n"
      "Content-Type: text/plain; charset=UTF-8\n"
      "Content-Transfer-Encoding: 8bit\n"
      "X-Mailer: Ornix File scanner Ver.6.0.7.1\n"
      "X-Priority: 3 (normal)\n"
      "\n"
      "\xe2\x89\xaaOrnix\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab\xe3\x83\xbb"
      "\xe3\x82\xb9\xe3\x82\xad\xe3\x83\xa3\xe3\x83\xb3\xe7\xb5\x90\xe6\x9e\x9c\xe2\x89\xab\n\n"
      "\xe4\xbb\xa5\xe4\xb8\x8b\xe3\x81\xae\xe9\x80\x9a\xe3\x82\x8a\xe3\x83\x95\xe3\x82\xa1"
      "\xe3\x82\xa4\xe3\x83\xab\xe3\x82\x92\xe3\x82\xb9\xe3\x82\xad\xe3\x83\xa3\xe3\x83\xb3"
      "\xe3\x81\x97\xe3\x81\x9f\xe7\xb5\x90\xe6\x9e\x9c\xe3\x82\x92\xe9\x80\x81\xe4\xbb\x98"
      "\xe3\x81\x97\xe3\x81\xbe\xe3\x81\x99\xe3\x80\x82\n\n";
  EXPECT_EQ(slurp(fp), expect);
  fclose(fp);
}

}  // namespace
