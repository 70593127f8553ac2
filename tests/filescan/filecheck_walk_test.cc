// Pure helpers of the walk: masks, ASCII names, the resolution of
// command-line paths, size texts and shell quoting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filecheck.h"
#include "ornix_lib.h"

namespace {

TEST(Match2, AlternativesSearchedAnywhere) {
  struct { const char *text, *mask; int want; } rows[] = {
      {"/home/user/a.exe", "\\.exe$", 1}, {"/home/user/a.exe.txt", "\\.exe$", 0},
      {"/home/user/a.txt", "\\.exe$:\\.txt$", 1}, {"/var/tmp/x", "tmp", 1},
      {"/var/log/x", "^/tmp", 0}, {"", "abc", 1}, {nullptr, "abc", 1}, {"/a", nullptr, 1},
      {"/a/1", "[[:digit:]]", 0},  // the colons split it: never a character class
      {"/a/(", "(", 0}, {"/a/\xff\xfe.exe", "\\.exe$", 1}, {"/a/new\nline", "line$", 1}};
  for (const auto &r : rows)
    EXPECT_EQ(match2(r.text, r.mask, 0), r.want) << (r.text ? r.text : "null") << " " << r.mask;
}

TEST(IsAsciiName, PrintableRangeOnly) {
  EXPECT_EQ(is_ascii_name("/home/user/a b~!$&'();.txt"), 1);
  for (const char *s : {"a\nb", "a\tb", "a\x7f", "\xe6\x97\xa5", "\x80"})
    EXPECT_EQ(is_ascii_name(s), 0) << s;
}

// Command-line paths: trailing slashes go, one leading ".." is taken from the
// working directory, other dotted names are names like any other, over-long
// results are refused (-2).
TEST(ResolveScanPath, Forms) {
  const std::string long_cwd = "/" + std::string(8000, 'c'), a300(300, 'a');
  struct { std::string arg, cwd, want; } rows[] = {
      {"/etc", "/home/user", "/etc"}, {"///", "/home/user", "/"},
      {".", "/home/user", "/home/user"}, {"dir///", "/home/user", "/home/user/dir"},
      {"./", "/home/user", "/home/user/."}, {"a/../b", "/home/user", "/home/user/a/../b"},
      {"..", "/home/user", "/home"}, {"..", "/home", "/"}, {"../x", "/home", "/x"},
      {"../x/../y", "/home/user", "/home/x/../y"}, {"..x", "/home/user", "/home/user/..x"},
      {"../", "/home/user", "/home"}, {"...", "/home/user", "/home/user/..."},
      {a300, long_cwd, "<-2>"}, {a300.substr(0, 100), long_cwd, long_cwd + "/" + a300.substr(0, 100)}};
  for (const auto &r : rows) {
    std::string p = r.arg, out;
    size_t len = p.size();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    int rc = resolve_scan_path(p.c_str(), len, r.cwd.c_str(), &out);
    if (rc != 0) out = "<" + std::to_string(rc) + ">";
    EXPECT_EQ(out, r.want) << r.arg.substr(0, 20);
  }
}

// Shown names keep one line each and read back unambiguously.
TEST(ShownName, ControlCharactersEscaped) {
  struct { const char *name, *want; } rows[] = {
      {"/a/plain name.txt", "/a/plain name.txt"}, {"a\nb", "a\\nb"}, {"a\tb", "a\\tb"},
      {"a\\nb", "a\\\\nb"}, {"\r\x1b[2K\x7f", "\\015\\033[2K\\177"},
      {"\xe6\x97\xa5\xff", "\xe6\x97\xa5\xff"}};
  for (const auto &r : rows) {
    EXPECT_EQ(shown_name(r.name), r.want);
    EXPECT_STREQ(ShownName(r.name).c_str(), r.want);
  }
}

TEST(SizeText, GroupsOfThree) {
  EXPECT_EQ(size_text(999), "999");
  EXPECT_EQ(size_text(1000), "1,000");
  EXPECT_EQ(size_text(5368709120LL), "5,368,709,120");
}

// The quoted words are given to the real shell, which must see them verbatim.
TEST(ShellQuote, SurvivesTheShell) {
  for (const char *s : {"it's", "a b", "$(touch /tmp/x)", "`id`;|&<>*?\"\\", "''"}) {
    FILE *p = popen(("printf %s " + shell_quote(s)).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, p);
    pclose(p);
    EXPECT_EQ(std::string(buf, n), s);
  }
}

}  // namespace
