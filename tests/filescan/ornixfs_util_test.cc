// Unit tests of the self-contained pieces of the ornixfs run and report.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ornix_common.h"
#include "ornixfs.h"
#include "ornixfs_json.h"

namespace {

std::string addresses(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += (i > from ? "," : "") + ("user" + std::to_string(i)) + "@example.org";
  return s;
}

TEST(SplitRecipients, Rows) {
  std::vector<std::string> forty;
  for (int i = 1; i <= 31; ++i) forty.push_back(addresses(i, i));
  forty.push_back(addresses(32, 40));  // the last entry keeps the rest, commas included
  const struct {
    std::string list;
    std::vector<std::string> want;
  } rows[] = {
      {addresses(1, 40), forty},
      {"a@b.c", {"a@b.c"}},
      {"a@b.c,d@e.f,g@h.i", {"a@b.c", "d@e.f", "g@h.i"}},
      {"a@b.c,,d@e.f", {"a@b.c", ",d@e.f"}},  // the character after a comma is not examined
      {"a@b.c,", {"a@b.c", ""}},              // stops at the terminator, never past it
  };
  for (const auto &row : rows) {
    std::vector<char> buf(row.list.begin(), row.list.end());
    buf.push_back('\0');
    char *rec[ORNIXFS_MAX_RECIPIENTS + 1];
    int n = split_recipients(buf.data(), rec, ORNIXFS_MAX_RECIPIENTS);
    ASSERT_EQ(n, static_cast<int>(row.want.size())) << row.list;
    for (int i = 0; i < n; ++i) EXPECT_EQ(rec[i], row.want[i]) << row.list;
    EXPECT_EQ(rec[n], nullptr);
  }
  char *rec[1];
  EXPECT_EQ(split_recipients(nullptr, rec, 0), 0);
  EXPECT_EQ(rec[0], nullptr);
}

TEST(TimeOfDay, DurationWrapsAtADay) {
  char t[9];
  time_of_day_text(25 * 3600 + 25 * 60 + 7, 1, t);
  EXPECT_STREQ(t, "01:25:07");
}

TEST(ProgramPath, AbsoluteRelativeAndTooLong) {
  char out[1024], cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(bin_path_from_argv0("/opt/ornix/bin/ornixfs", out, sizeof out), 0);
  EXPECT_STREQ(out, "/opt/ornix/bin");
  // A bare name was found through PATH: the executable's directory, never
  // the working directory, where a user could have put an "ornix" of his own.
  ASSERT_EQ(bin_path_from_argv0("ornixfs", out, sizeof out), 0);
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string self(exe, static_cast<size_t>(n));
  EXPECT_EQ(std::string(out), self.substr(0, self.rfind('/')));
  ASSERT_EQ(bin_path_from_argv0("bin/ornixfs", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), std::string(cwd) + "/bin");
  std::string lng = "/" + std::string(1500, 'p') + "/ornixfs";
  EXPECT_EQ(bin_path_from_argv0(lng.c_str(), out, sizeof out), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(Report, SpinnerAndLevels) {
  const char turn[] = "/-\\|/-";
  for (int i = 0; i < 6; ++i) EXPECT_EQ(spinner_char(i), turn[i]);
  EXPECT_EQ(spinner_char(-1), '|');  // never indexes before the table
  int saved = ShowLevel;
  const struct {
    int show, level, want;
  } rows[] = {{15, 8, 0}, {15, 256, -1}, {15, 0, -1}, {0, 255, -1}, {271, 256, 0}};
  for (const auto &r : rows) {
    ShowLevel = r.show;
    EXPECT_EQ(check_level(r.level), r.want) << r.show << " " << r.level;
  }
  ShowLevel = saved;
}

// Names are bytes: valid UTF-8 goes as it is, anything else also as Base64.
TEST(JsonName, LosslessForAnyBytes) {
  const struct {
    std::string name, want;
  } rows[] = {
      {"plain", R"("k":"plain")"},
      {"\xe6\x97\xa5\xf0\x9f\x98\x80", "\"k\":\"\xe6\x97\xa5\xf0\x9f\x98\x80\""},
      {"q\"b\\n\nt\tc\x01\x7f", R"("k":"q\"b\\n\nt\tc\u0001\u007f")"},
      {"caf\xe9", "\"k\":\"caf\xef\xbf\xbd\",\"k_base64\":\"Y2Fm6Q==\""},
      {"\xc0\xaf", "\"k\":\"\xef\xbf\xbd\xef\xbf\xbd\",\"k_base64\":\"wK8=\""},      // overlong "/"
      {"\xed\xa0\x80", "\"k\":\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"k_base64\":\"7aCA\""},  // surrogate
      {"\xf4\x90\x80\x80", "\"k\":\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"k_base64\":\"9JCAgA==\""},
      {"\xe6\x97", "\"k\":\"\xef\xbf\xbd\xef\xbf\xbd\",\"k_base64\":\"5pc=\""},   // cut short
  };
  for (const auto &r : rows) {
    std::string out;
    json_name(out, "k", r.name.data(), r.name.size());
    EXPECT_EQ(out, r.want) << r.name;
  }
}

}  // namespace
