// Pure helpers of the walk: masks, ASCII names, temporary names, the
// resolution of command-line paths, size texts and shell quoting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "filecheck.h"
#include "ornix_lib.h"

namespace {

TEST(Match2, MasksAreAlternativesSearchedAnywhere) {
  EXPECT_EQ(match2("/home/user/a.exe", "\\.exe$", 0), 1);
  EXPECT_EQ(match2("/home/user/a.exe.txt", "\\.exe$", 0), 0);
  EXPECT_EQ(match2("/home/user/a.txt", "\\.exe$:\\.txt$", 0), 1);
  EXPECT_EQ(match2("/var/tmp/x", "tmp", 0), 1);  // no implicit anchoring
  EXPECT_EQ(match2("/var/log/x", "^/tmp", 0), 0);
}

TEST(Match2, EmptyTextOrMaskMatches) {
  EXPECT_EQ(match2("", "abc", 0), 1);
  EXPECT_EQ(match2(nullptr, "abc", 0), 1);
  EXPECT_EQ(match2("/a", "", 0), 1);
  EXPECT_EQ(match2("/a", nullptr, 0), 1);
}

TEST(Match2, ColonsNeverStayInAnExpression) {
  // "[[:digit:]]" becomes "[[|digit|]]", which no longer means a digit.
  EXPECT_EQ(match2("/a/1", "[[:digit:]]", 0), 0);
  EXPECT_EQ(match2("/a/(", "(", 0), 0);
}

TEST(Match2, BytesOutsideUtf8) {
  EXPECT_EQ(match2("/a/\xff\xfe.exe", "\\.exe$", 0), 1);
  EXPECT_EQ(match2("/a/new\nline", "line$", 0), 1);
}

TEST(IsAsciiName, PrintableRangeOnly) {
  EXPECT_EQ(is_ascii_name(""), 1);
  EXPECT_EQ(is_ascii_name("/home/user/a b~!$&'();.txt"), 1);
  EXPECT_EQ(is_ascii_name("a\nb"), 0);
  EXPECT_EQ(is_ascii_name("a\tb"), 0);
  EXPECT_EQ(is_ascii_name("a\x7f"), 0);
  EXPECT_EQ(is_ascii_name("\xe6\x97\xa5\xe6\x9c\xac"), 0);
  EXPECT_EQ(is_ascii_name("\x80"), 0);
  EXPECT_EQ(is_ascii_name("~"), 1);
  EXPECT_EQ(is_ascii_name(" "), 1);
}

TEST(TempName, FormAndAlphabet) {
  srand(42);
  std::set<std::string> seen;
  for (int i = 0; i < 200; i++) {
    char *n = temp_name("/var/tmp", "fs");
    ASSERT_NE(n, nullptr);
    std::string s(n);
    free(n);
    ASSERT_EQ(s.size(), strlen("/var/tmp/fs_") + 14);
    EXPECT_EQ(s.rfind("/var/tmp/fs_", 0), 0u);
    for (char c : s.substr(12)) {
      EXPECT_NE(strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZ-abcdefghijklmnopqrstuvwxyz_0123456789", c),
                nullptr)
          << c;
      EXPECT_NE(c, '.');
    }
    seen.insert(s);
  }
  EXPECT_GT(seen.size(), 190u);
}

std::string resolve(const char *arg, const char *cwd, int *rc = nullptr) {
  std::string p(arg);
  size_t len = p.size();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::string out;
  int r = resolve_scan_path(p.c_str(), len, cwd, &out);
  if (rc) *rc = r;
  return r == 0 ? out : "<" + std::to_string(r) + ">";
}

TEST(ResolveScanPath, Forms) {
  EXPECT_EQ(resolve("/etc", "/home/user"), "/etc");
  EXPECT_EQ(resolve("/", "/home/user"), "/");
  EXPECT_EQ(resolve("///", "/home/user"), "/");
  EXPECT_EQ(resolve(".", "/home/user"), "/home/user");
  EXPECT_EQ(resolve("dir///", "/home/user"), "/home/user/dir");
  EXPECT_EQ(resolve("./dir", "/home/user"), "/home/user/dir");
  EXPECT_EQ(resolve(".hidden", "/home/user"), "/home/user/.hidden");
  EXPECT_EQ(resolve("./", "/home/user"), "/home/user/.");
  EXPECT_EQ(resolve("a/../b", "/home/user"), "/home/user/a/../b");
}

TEST(ResolveScanPath, OneLeadingParent) {
  EXPECT_EQ(resolve("..", "/home/user"), "/home");
  EXPECT_EQ(resolve("..", "/home"), "/");
  EXPECT_EQ(resolve("../x", "/home/user"), "/home/x");
  EXPECT_EQ(resolve("../x", "/home"), "/x");
  EXPECT_EQ(resolve("../x/../y", "/home/user"), "/home/x/../y");
  EXPECT_EQ(resolve("..x", "/home/user"), "<-1>");
  EXPECT_EQ(resolve("../", "/home/user"), "<-1>");
  EXPECT_EQ(resolve("...", "/home/user"), "<-1>");
}

TEST(ResolveScanPath, TooLongIsRefused) {
  std::string cwd = "/" + std::string(8000, 'c');
  std::string arg(300, 'a');
  EXPECT_EQ(resolve(arg.c_str(), cwd.c_str()), "<-2>");
  EXPECT_EQ(resolve(arg.substr(0, 100).c_str(), cwd.c_str()).size(), cwd.size() + 101);
}

TEST(SizeText, GroupsOfThree) {
  EXPECT_EQ(size_text(0), "0");
  EXPECT_EQ(size_text(999), "999");
  EXPECT_EQ(size_text(1000), "1,000");
  EXPECT_EQ(size_text(1234567), "1,234,567");
  EXPECT_EQ(size_text(5368709120LL), "5,368,709,120");
}

// The quoted words are given to the real shell, which must see them verbatim.
TEST(ShellQuote, SurvivesTheShell) {
  for (const char *s : {"plain", "it's", "a b", "$(touch /tmp/x)", "`id`;|&<>*?\"\\", "''"}) {
    std::string cmd = "printf %s " + shell_quote(s);
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, p);
    pclose(p);
    EXPECT_EQ(std::string(buf, n), s);
  }
}

}  // namespace
