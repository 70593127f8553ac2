// File syntax, limits, includes and groups of the configuration reader.
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "config_test_util.h"

namespace {

int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) n++;
  if (d != nullptr) closedir(d);
  return n;
}

std::string dotted(int parts) {
  std::string s;
  for (int i = 0; i < parts; i++) s += (i ? ".c" : "c") + std::to_string(i);
  return s;
}

}  // namespace

TEST_F(ConfigTest, AcceptedSyntax) {
  ASSERT_EQ(Read("SMTPPort=\n# a comment\n\n   \n\t# indented\n;# also a comment\n"), 0);
  EXPECT_EQ(SectionList, nullptr);
  EXPECT_EQ(GroupOrder(), "default");
  EXPECT_EQ(out_, "");
  // ":" and "." separate alike, case is ignored, so are words after the bracket
  ASSERT_EQ(Read("[filescan:report]\nReportLevel=5\n[FILESCAN.Report] trailing words\n1Priority=info\n"), 0);
  EXPECT_EQ(Num("filescan.report", "ReportLevel"), 5);
  EXPECT_EQ(Str("filescan.report", "Priority"), "info");
  // an unclosed header runs to the end of its line; a NUL ends the value
  static const char garbage[] = "[general\n  ..SMTPServer=a\0b\n\xff\xfe[x\n";
  ASSERT_EQ(Read(std::string(garbage, sizeof garbage - 1)), 0);
  EXPECT_EQ(Str("general", "SMTPServer"), "a");
  // names at their longest still fit
  for (const std::string &text : {"[" + std::string(255, 's') + "]\nKey=1\n", "_group " + std::string(127, 'g') + "\n",
                                  "[general]\n" + std::string(1024, 'K') + "=1\n", "[" + dotted(16) + "]\nKey=1\n"})
    EXPECT_EQ(Read(text), 0) << out_;
  EXPECT_EQ(Num(dotted(16).c_str(), "Key"), 1);
  // a long line is read in parts of 8191 characters, the rest as a line of its own
  ASSERT_EQ(Read("[filescan.display]\nOutputFileName=" + std::string(8191 - 15, 'x') + "ShowLevel=9\n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 9);
}

// Every refused file reports the offending file and line, after the reason
// where the reader gives one. The live tree stays and no file stays open.
TEST_F(ConfigTest, RefusedFilesNameFileAndLine) {
  std::string many;
  for (int i = 0; i < 3000; i++) many += "d" + std::to_string(i) + "\n";
  std::string domains = Write("domains", many), big = Write("big", "ok\n" + std::string(1024, 'p') + "\n");
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  const std::vector<std::pair<std::string, std::string>> rows = {  // text, reason + ":" + line
      {"[general]\n\n123\n", ":3"},
      {"[general]\n_includefile\n", ":2"},
      {"[general]\nOutputFileName=" + std::string(8191 - 15, 'x') + "\n77\n", ":4"},
      {"# head\nSMTPPort=25\n[general]\n", "Parameter outside of any section(SMTPPort)\n:2"},
      {"_group a\n_end_group\n_group A\n", ":3"},
      {"_group default\n_end_group\n_group DEFAULT\n", ":3"},
      {"[general]\n[smtpscan.filter]\n", ":2"},
      {"[general]\n[" + std::string(256, 's') + "]\nKey=1\n", "Section name too long (at most 255 characters):2"},
      {"[" + dotted(17) + "]\nKey=1\n", "Section name has too many parts (at most 16):1"},
      {"_group " + std::string(128, 'g') + "\n", "Group name too long (at most 127 characters):1"},
      {"[general]\n" + std::string(1025, 'K') + "=1\n", "Parameter name too long (at most 1024 characters):2"},
      {"[general]\n_include " + std::string(1100, 'i') + "\n", "Include file name too long:2"},
      {"_group g\n[smtpscan.group]\nDomains=file:" + domains + "\n", "Domains value too long:3"},
      {"[filescan.object]\nExcludeMask=file:" + big + "\n", "Line too long in parameta file(ExcludeMask," + big + ",line 2)\n:2"},
      {"[filescan.object]\nExcludeMask=file:" + dir_ + "/nope\n", ":2"},
      // an include or a "file:" value is a regular file, never a fifo (a read would block) or a directory
      {"[general]\n_include fifo\n", ":2"},
      {"[general]\n_include " + dir_ + "\n", ":2"},
      {"[filescan.object]\nExcludeMask=file:" + dir_ + "/fifo\n", ":2"},
  };
  ASSERT_EQ(Read("[general]\nSMTPPort=2525\n"), 0);
  SSP *live = SectionList;
  int fds = open_fds();
  for (const auto &[text, says] : rows) {
    std::string path = Write("bad.conf", text), reason = says.substr(0, says.rfind(':'));
    EXPECT_EQ(ReadPath(path), -1) << reason;
    EXPECT_TRUE(out_.starts_with(reason)) << out_;
    EXPECT_TRUE(out_.ends_with(ErrorLine(path, std::stoi(says.substr(says.rfind(':') + 1))))) << out_;
  }
  EXPECT_EQ(SectionList, live);
  EXPECT_EQ(Num("general", "SMTPPort"), 2525);
  EXPECT_EQ(open_fds(), fds);
  EXPECT_NE(Log().find("Could not open parameta file(ExcludeMask," + dir_ + "/nope,No such file or directory)\n"),
            std::string::npos);
}

TEST_F(ConfigTest, MissingOrUnnamedFile) {
  std::string path = dir_ + "/absent.conf";
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, "Could not open configuration file(" + path + ")\n");
  EXPECT_NE(Log().find("Could not open configuration file(" + path + ")\n"), std::string::npos);
  EXPECT_EQ(LoadConfigFile(nullptr), -1);
  EXPECT_EQ(ReadPath(dir_), -1);  // a directory opens but cannot be read
  EXPECT_EQ(out_, "Could not open configuration file(" + dir_ + ")\n");
  EXPECT_EQ(ReadPath(dir_ + "/" + std::string(1100, 'n')), -1);
  EXPECT_TRUE(out_.starts_with("Configuration file name too long")) << out_;
}

TEST_F(ConfigTest, IncludesNestCarryTheSectionAndStopAtCycles) {
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  Write("sub/inner.conf", "ShowLevel=3\n[filescan.object]\nScanLevel=2\n");
  Write("outer.conf", "_include " + dir_ + "/sub/inner.conf\nOutputFileName=out\n");
  Write("grp.conf", "[smtpscan.group]\nAdminAddress=admin@a\n");
  ASSERT_EQ(Read("[filescan.display]\n_Include outer.conf\nIncludeMask=*.exe\n_GROUP a\n_include grp.conf\n_end_group\n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 3);
  // the section named in the included file stays current afterwards
  EXPECT_EQ(Str("filescan.object", "OutputFileName"), "out");
  EXPECT_EQ(Str("filescan.object", "IncludeMask"), "*.exe");
  EXPECT_EQ(GStr(Group("a"), "smtpscan.group", "AdminAddress"), "admin@a");

  int before = open_fds();
  Write("inc.conf", "# 1\n[general]\n# 3\n4711\n");
  EXPECT_EQ(ReadPath(Write("main.conf", "[general]\n# two\n_include inc.conf\n")), -1);
  EXPECT_EQ(out_, ErrorLine(dir_ + "/inc.conf", 4));
  std::string main = Write("main.conf", "[general]\n\n_include nowhere.conf\n");
  EXPECT_EQ(ReadPath(main), -1);
  EXPECT_EQ(out_, ErrorLine(main, 3));
  std::string self = Write("self.conf", "[general]\n_include self.conf\n");
  EXPECT_EQ(ReadPath(self), -1);
  EXPECT_EQ(out_, "Configuration file includes itself(" + dir_ + "/self.conf)\n" + ErrorLine(self, 2));
  // a cycle through another file, reached by a different spelling of the name
  Write("a.conf", "# a\n_include b.conf\n");
  Write("b.conf", "# b\n# b\n_include " + dir_ + "/./a.conf\n");
  EXPECT_EQ(ReadPath(Write("main.conf", "[general]\n_include a.conf\n")), -1);
  EXPECT_TRUE(out_.ends_with(ErrorLine(dir_ + "/b.conf", 3))) << out_;
  // the same file twice in a row is no cycle
  Write("leaf.conf", "SMTPPort=1\n");
  EXPECT_EQ(Read("[general]\n_include leaf.conf\n_include leaf.conf\n"), 0);
  EXPECT_EQ(open_fds(), before);
}

TEST_F(ConfigTest, Groups) {
  ASSERT_EQ(Read("[smtpscan.notify.infected]\nSubject=lost\n[general]\nSenders=.*@x\n"
                 "_group a\n[smtpscan.filter]\nBySubject=buy\n[smtpscan.options]\nTimeout=99\n"
                 "[smtpscan.notify.infected]\nSubject=got one\n_end_group\nCharset=after-end\n"
                 "_group b\n[smtpscan.filter]\nBySubject=sell\n_end_group\n"),
            0);
  EXPECT_EQ(GroupOrder(), "a,b,default");
  EXPECT_EQ(DefaultGroup, Group("default"));
  EXPECT_EQ(GStr(Group("b"), "smtpscan.filter", "BySubject"), "sell");
  // other smtpscan sections stay common, also when written inside a group
  EXPECT_EQ(Num("smtpscan.options", "Timeout"), 99);
  EXPECT_EQ(Str("smtpscan.filter", "BySubject"), "");
  // parameters after _end_group still go to the last section named
  EXPECT_EQ(GStr(Group("a"), "smtpscan.notify.infected", "Charset"), "after-end");
  // outside a group, group sections reach nothing and group keys are plain parameters
  EXPECT_EQ(GStr(nullptr, "smtpscan.notify.infected", "Subject"), "<none>");
  EXPECT_EQ(Str("general", "Senders"), ".*@x");

  // the group attribute keys; a default group written first still comes last, in its own spelling
  std::string doms = Write("doms", "a.example\nb.example\n");
  ASSERT_EQ(Read("_group Default\n_end_group\n_group s\n[smtpscan.group]\nSenders=.*@a\n_end_group\n"
                 "_group d\n[smtpscan.group]\nDomains=x.example,\t y.example,,z\n_end_group\n"
                 "_group f\n[smtpscan.group]\nDomains=file:" + doms + "\n_end_group\n"
                 "_group u\n[smtpscan.group]\nUsers=/etc/ornix.d/users\n_end_group\n"
                 "_group v\n[smtpscan.group]\nUsers=/x/u.txt\n_end_group\n"),
            0);
  EXPECT_EQ(GroupOrder(), "s,d,f,u,v,Default");
  auto attributes = [](const char *name) {
    GRP *g = Group(name);
    auto text = [](const char *s) { return std::string(s ? s : "-"); };
    return text(g->Senders) + " " + text(g->Recipients) + " " + text(g->UsersDB) + " " + std::to_string(g->SRcondition);
  };
  EXPECT_EQ(attributes("Default"), ".*@.* .*@.* - 0");
  EXPECT_EQ(attributes("s"), ".*@a .*@.* - 0");
  EXPECT_EQ(attributes("d"), ".*@x.example,.*@y.example,,.*@z .*@x.example,.*@y.example,,.*@z - 1");
  EXPECT_EQ(attributes("f"), ".*@a.example,.*@b.example .*@a.example,.*@b.example - 1");
  EXPECT_EQ(attributes("u"), "- - /etc/ornix.d/users.db 1");  // only the name's own extension is replaced
  EXPECT_EQ(attributes("v"), "- - /x/u.db 1");
  EXPECT_EQ(GStr(Group("d"), "smtpscan.group", "Domains"), "x.example,\t y.example,,z");
}
