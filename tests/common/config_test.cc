// File syntax, includes and groups of the configuration reader.
#include <dirent.h>

#include <string>

#include "config_test_util.h"

namespace {

int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n;
}

}  // namespace

TEST_F(ConfigTest, CommentsAndBlankLinesOnlyGiveOneDefaultGroup) {
  ASSERT_EQ(Read("# a comment\n\n   \n\t# indented\n;# also a comment\n"), 0);
  EXPECT_EQ(SectionList, nullptr);
  EXPECT_EQ(GroupOrder(), "default");
  EXPECT_EQ(DefaultGroup, GroupList);
  EXPECT_EQ(out_, "");
}

TEST_F(ConfigTest, SectionNameSpellingsAddressOneNode) {
  ASSERT_EQ(Read("[filescan:report]\nReportLevel=5\n[FILESCAN.Report]\nFacility=mail\n"
                 "[filescan.report] trailing words are ignored\nPriority=info\n"),
            0);
  ASSERT_NE(SectionList, nullptr);
  EXPECT_EQ(SectionList->next, nullptr);
  SSP *report = SectionList->LowerLevelSectionList;
  ASSERT_NE(report, nullptr);
  EXPECT_STREQ(report->SectionName, "report");
  EXPECT_EQ(report->SectionLevel, 1);
  EXPECT_EQ(Num("filescan.report", "ReportLevel"), 5);
  EXPECT_EQ(Str("filescan.report", "Facility"), "mail");
  EXPECT_EQ(Str("filescan.report", "Priority"), "info");
  // a header without its closing bracket runs to the end of the line
  ASSERT_EQ(Read("[general\nSMTPServer=mx\n"), 0);
  EXPECT_EQ(Str("general", "SMTPServer"), "mx");
}

TEST_F(ConfigTest, LeadingPunctuationIsSkippedButDigitsAloneAreAnError) {
  ASSERT_EQ(Read("[general]\n1SMTPPort=26\n  ..SMTPServer=relay\n"), 0);
  EXPECT_EQ(Num("general", "SMTPPort"), 26);
  EXPECT_EQ(Str("general", "SMTPServer"), "relay");

  std::string path = Write("bad.conf", "[general]\n\n123\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 3));
  EXPECT_NE(Log().find("Read configuration error. Filename:" + path + ",Line:3\n"), std::string::npos);

  path = Write("punct.conf", "[general]\n-- ;; !!\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 2));
  // a key without "=" is refused by the parameter store
  path = Write("noeq.conf", "[general]\nSMTPServer\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 2));
}

TEST_F(ConfigTest, FailedReadLeavesTheLiveTreeAlone) {
  ASSERT_EQ(Read("[general]\nSMTPServer=first\n"), 0);
  SSP *live = SectionList;
  EXPECT_EQ(Read("[general]\nSMTPServer=second\n%%%\n"), -1);
  EXPECT_EQ(SectionList, live);
  EXPECT_EQ(Str("general", "SMTPServer"), "first");
}

TEST_F(ConfigTest, MissingOrUnnamedFile) {
  std::string path = dir_ + "/absent.conf";
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, "Could not open configuration file(" + path + ")\n");
  EXPECT_NE(Log().find("Could not open configuration file(" + path + ")\n"), std::string::npos);
  EXPECT_EQ(ReadConfigFile(nullptr), -1);
  // a directory opens but cannot be read: refused the same way
  EXPECT_EQ(ReadPath(dir_), -1);
  EXPECT_EQ(out_, "Could not open configuration file(" + dir_ + ")\n");
  // a name longer than the name buffer is refused, not cut
  std::string longname = dir_ + "/" + std::string(1100, 'n');
  EXPECT_EQ(ReadPath(longname), -1);
  EXPECT_NE(out_.find("Configuration file name too long"), std::string::npos);
}

TEST_F(ConfigTest, DirectiveSpellings) {
  Write("inc.conf", "SMTPPort=2525\n");
  ASSERT_EQ(Read("[general]\n_Include inc.conf\n_GROUP g1\n_End_Group   and words\n"), 0);
  EXPECT_EQ(Num("general", "SMTPPort"), 2525);
  EXPECT_EQ(GroupOrder(), "g1,default");
  ASSERT_EQ(Read("[general]\n_include\tinc.conf\n_group\tg2\n_end_group\n"), 0);
  EXPECT_EQ(GroupOrder(), "g2,default");

  const char *bad[] = {"_includefile\n", "_include\n", "_groupx a\n", "_group\n",
                       "_end_groupx\n",  "_foo\n",     "_\n",         "_incl x\n"};
  for (const char *line : bad) {
    std::string path = Write("bad.conf", std::string("[general]\n") + line);
    EXPECT_EQ(ReadPath(path), -1) << line;
    EXPECT_EQ(out_, ErrorLine(path, 2)) << line;
  }
}

TEST_F(ConfigTest, ParameterBeforeAnySectionIsAnError) {
  std::string path = Write("nosec.conf", "# head\nSMTPPort=25\n[general]\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, "Parameter outside of any section(SMTPPort)\n" + ErrorLine(path, 2));
  // an empty value stores nothing, so it needs no section
  EXPECT_EQ(Read("SMTPPort=\n"), 0);
}

TEST_F(ConfigTest, LongLinesAreReadInPartsOf8191) {
  // the first part ends exactly at 8191 characters; the rest is a line of its own
  std::string first = "OutputFileName=" + std::string(8191 - 15, 'x');
  ASSERT_EQ(first.size(), 8191u);
  ASSERT_EQ(Read("[filescan.display]\n" + first + "ShowLevel=9\n"), 0);
  EXPECT_EQ(Str("filescan.display", "OutputFileName"), std::string(8191 - 15, 'x'));
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 9);
  // each part counts as a line in error reports
  std::string path = Write("long.conf", "[general]\n" + first + "\n77\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 4));
}

TEST_F(ConfigTest, NulBytesAndBinaryGarbageDoNotCrash) {
  std::string garbage("[general]\nSMTPServer=a\0b\n\xff\xfe[x\n", 30);
  ASSERT_EQ(Read(garbage), 0);
  EXPECT_EQ(Str("general", "SMTPServer"), "a");
  std::string path = Write("bin.conf", std::string("[general]\n\x01\x02\x80\n", 14));
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 2));
}

TEST_F(ConfigTest, OverLongNamesAreRefusedWithAMessage) {
  std::string ok255(255, 's');
  ASSERT_EQ(Read("[" + ok255 + "]\nKey=1\n"), 0);
  std::string path = Write("sec.conf", "[general]\n[" + std::string(256, 's') + "]\nKey=1\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Section name too long"), std::string::npos);
  EXPECT_NE(out_.find(ErrorLine(path, 2)), std::string::npos);

  std::string deep16, deep17;
  for (int i = 0; i < 16; i++) deep16 += (i ? "." : "") + std::string("c") + std::to_string(i);
  deep17 = deep16 + ".c16";
  ASSERT_EQ(Read("[" + deep16 + "]\nKey=1\n"), 0);
  EXPECT_EQ(Num(deep16.c_str(), "Key"), 1);
  path = Write("deep.conf", "[" + deep17 + "]\nKey=1\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Section name has too many parts (at most 16)"), std::string::npos);
  EXPECT_EQ(out_.substr(out_.size() - ErrorLine(path, 1).size()), ErrorLine(path, 1));

  ASSERT_EQ(Read("_group " + std::string(127, 'g') + "\n"), 0);
  path = Write("grp.conf", "_group " + std::string(128, 'g') + "\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Group name too long"), std::string::npos);
  EXPECT_NE(out_.find(ErrorLine(path, 1)), std::string::npos);

  ASSERT_EQ(Read("[general]\n" + std::string(1024, 'K') + "=1\n"), 0);
  path = Write("key.conf", "[general]\n" + std::string(1025, 'K') + "=1\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Parameter name too long"), std::string::npos);
  EXPECT_NE(out_.find(ErrorLine(path, 2)), std::string::npos);

  path = Write("inc.conf", "[general]\n_include " + std::string(1100, 'i') + "\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Include file name too long"), std::string::npos);
  EXPECT_NE(out_.find(ErrorLine(path, 2)), std::string::npos);
}

// ---- includes ----

TEST_F(ConfigTest, IncludesNestAndCarrySectionAndGroup) {
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  Write("sub/inner.conf", "ShowLevel=3\n[filescan.object]\nScanLevel=2\n");
  Write("outer.conf", "_include " + dir_ + "/sub/inner.conf\nOutputFileName=out\n");
  Write("grp.conf", "[smtpscan.group]\nAdminAddress=admin@a\n");
  ASSERT_EQ(Read("[filescan.display]\n_include outer.conf\nIncludeMask=*.exe\n"
                 "_group a\n_include grp.conf\n_end_group\n"),
            0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 3);
  EXPECT_EQ(Num("filescan.object", "ScanLevel"), 2);
  // the section named in the included file stays current afterwards
  EXPECT_EQ(Str("filescan.object", "OutputFileName"), "out");
  EXPECT_EQ(Str("filescan.object", "IncludeMask"), "*.exe");
  EXPECT_EQ(GStr(Group("a"), "smtpscan.group", "AdminAddress"), "admin@a");
}

TEST_F(ConfigTest, ErrorInIncludedFileNamesThatFileAndItsLine) {
  Write("inc.conf", "# 1\n# 2\n[general]\n# 4\n\n# 6\n4711\n# 8\n");
  std::string main = Write("main.conf", "[general]\n# two\n_include inc.conf\n");
  EXPECT_EQ(ReadPath(main), -1);
  EXPECT_EQ(out_, ErrorLine(dir_ + "/inc.conf", 7));
}

TEST_F(ConfigTest, MissingIncludeIsAnErrorAtTheIncludeLine) {
  std::string main = Write("main.conf", "[general]\n\n_include nowhere.conf\n");
  int before = open_fds();
  EXPECT_EQ(ReadPath(main), -1);
  EXPECT_EQ(out_, ErrorLine(main, 3));
  EXPECT_NE(Log().find("Could not open configuration file(" + dir_ + "/nowhere.conf)\n"), std::string::npos);
  EXPECT_EQ(open_fds(), before);
  // a directory is not a configuration file
  ASSERT_EQ(mkdir((dir_ + "/d").c_str(), 0700), 0);
  main = Write("main.conf", "[general]\n_include d\n");
  EXPECT_EQ(ReadPath(main), -1);
  EXPECT_EQ(out_, ErrorLine(main, 2));
}

TEST_F(ConfigTest, IncludeCyclesAreRefusedAtTheIncludeLine) {
  int before = open_fds();
  std::string self = Write("self.conf", "[general]\n_include self.conf\n");
  EXPECT_EQ(ReadPath(self), -1);
  EXPECT_EQ(out_, "Configuration file includes itself(" + dir_ + "/self.conf)\n" + ErrorLine(self, 2));

  Write("a.conf", "# a\n_include b.conf\n");
  Write("b.conf", "# b\n# b\n_include " + dir_ + "/./a.conf\n");
  std::string main = Write("main.conf", "[general]\n_include a.conf\n");
  EXPECT_EQ(ReadPath(main), -1);
  EXPECT_NE(out_.find(ErrorLine(dir_ + "/b.conf", 3)), std::string::npos);
  // a file included twice one after the other is no cycle
  Write("leaf.conf", "SMTPPort=1\n");
  ASSERT_EQ(Read("[general]\n_include leaf.conf\n_include leaf.conf\n"), 0);
  EXPECT_EQ(open_fds(), before);
}

// ---- groups ----

TEST_F(ConfigTest, DefaultGroupStaysLast) {
  ASSERT_EQ(Read("_group a\n_end_group\n_group b\n_end_group\n_group default\n_end_group\n"), 0);
  EXPECT_EQ(GroupOrder(), "a,b,default");
  ASSERT_EQ(Read("_group Default\n_end_group\n_group a\n_end_group\n_group b\n_end_group\n"), 0);
  EXPECT_EQ(GroupOrder(), "a,b,Default");
  EXPECT_STREQ(DefaultGroup->GroupName, "Default");
  ASSERT_EQ(Read("_group a\n_end_group\n_group b\n_end_group\n"), 0);
  EXPECT_EQ(GroupOrder(), "a,b,default");
  EXPECT_EQ(DefaultGroup, Group("default"));
}

TEST_F(ConfigTest, GroupDefinedTwiceIsAnError) {
  std::string path = Write("twice.conf", "_group a\n_end_group\n_group A\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 3));
  EXPECT_NE(Log().find("Group A already exist\n"), std::string::npos);
  path = Write("twice.conf", "_group default\n_end_group\n_group DEFAULT\n");
  EXPECT_EQ(ReadPath(path), -1);
}

TEST_F(ConfigTest, NewGroupHasOpenPatterns) {
  ASSERT_EQ(Read("_group g\n"), 0);
  GRP *g = Group("g");
  ASSERT_NE(g, nullptr);
  EXPECT_STREQ(g->Senders, ".*@.*");
  EXPECT_STREQ(g->Recipients, ".*@.*");
  EXPECT_EQ(g->SRcondition, 0);
  EXPECT_EQ(g->UsersDB, nullptr);
}

TEST_F(ConfigTest, GroupSectionsBelongToTheGroup) {
  ASSERT_EQ(Read("[smtpscan.options]\nMaxRecipient=10\n"
                 "_group a\n[smtpscan.filter]\nBySubject=buy\n[smtpscan.options]\nTimeout=99\n"
                 "[smtpscan.notify.infected]\nSubject=got one\n_end_group\n"
                 "Charset=after-end\n"
                 "_group b\n[smtpscan.filter]\nBySubject=sell\n_end_group\n"),
            0);
  GRP *a = Group("a"), *b = Group("b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(a->FilterSectionList, nullptr);
  EXPECT_EQ(a->FilterSectionList->SectionLevel, 1);
  EXPECT_EQ(GStr(a, "smtpscan.filter", "BySubject"), "buy");
  EXPECT_EQ(GStr(b, "smtpscan.filter", "BySubject"), "sell");
  // other smtpscan sections stay common, also when written inside a group
  EXPECT_EQ(Num("smtpscan.options", "Timeout"), 99);
  EXPECT_EQ(Num("smtpscan.options", "MaxRecipient"), 10);
  // without a group a group section resolves to nothing: the table default
  EXPECT_EQ(Str("smtpscan.filter", "BySubject"), "");
  // parameters after _end_group still go to the last section named
  EXPECT_EQ(GStr(a, "smtpscan.notify.infected", "Charset"), "after-end");
  EXPECT_EQ(GStr(a, "smtpscan.notify.infected", "Subject"), "got one");
}

TEST_F(ConfigTest, GroupSectionHeadersOutsideAGroup) {
  std::string path = Write("g.conf", "[general]\n[smtpscan.filter]\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 2));
  // deeper: accepted, its parameters reach nothing (and are not leaked)
  ASSERT_EQ(Read("[smtpscan.notify.infected]\nSubject=lost\n[smtpscan.notify.x.y.z]\nA=1\n"), 0);
  EXPECT_EQ(GStr(nullptr, "smtpscan.notify", "Subject"),
            "Alert! From %SENDER% to %RECIPIENT% %VIRUSNAME%");
  // sub-sections have no defaults of their own
  EXPECT_EQ(GStr(nullptr, "smtpscan.notify.infected", "Subject"), "<none>");
  EXPECT_EQ(CurrentSection, nullptr);
}

TEST_F(ConfigTest, GroupAttributeKeys) {
  ASSERT_EQ(Read("_group s\n[smtpscan.group]\nSenders=.*@a\\.example\n_end_group\n"
                 "_group r\n[smtpscan.group]\nRecipients=.*@b\\.example\n_end_group\n"
                 "_group d\n[smtpscan.group]\nDomains=a.example, b.example\n_end_group\n"
                 "_group d3\n[smtpscan.group]\nDomains=x.example,\t y.example,,z.example\n_end_group\n"
                 "_group u\n[smtpscan.group]\nUsers=/etc/opt/ornix/users.txt\n_end_group\n"
                 "_group u2\n[smtpscan.group]\nUsers=/etc/ornix.d/users\n_end_group\n"
                 "_group su\n[smtpscan.group]\nUsers=/x/list\nSenders=.*@c\n_end_group\n"),
            0);
  GRP *s = Group("s"), *r = Group("r"), *d = Group("d"), *d3 = Group("d3"), *u = Group("u"),
      *u2 = Group("u2"), *su = Group("su");
  EXPECT_STREQ(s->Senders, ".*@a\\.example");
  EXPECT_STREQ(s->Recipients, ".*@.*");
  EXPECT_EQ(s->SRcondition, 0);
  EXPECT_STREQ(r->Senders, ".*@.*");
  EXPECT_STREQ(r->Recipients, ".*@b\\.example");
  EXPECT_STREQ(d->Senders, ".*@a.example,.*@b.example");
  EXPECT_STREQ(d->Recipients, ".*@a.example,.*@b.example");
  EXPECT_EQ(d->SRcondition, 1);
  EXPECT_STREQ(d3->Senders, ".*@x.example,.*@y.example,,.*@z.example");
  EXPECT_STREQ(u->UsersDB, "/etc/opt/ornix/users.db");
  EXPECT_EQ(u->Senders, nullptr);
  EXPECT_EQ(u->Recipients, nullptr);
  EXPECT_EQ(u->SRcondition, 1);
  // only the file name's own extension is replaced
  EXPECT_STREQ(u2->UsersDB, "/etc/ornix.d/users.db");
  EXPECT_STREQ(su->Senders, ".*@c");
  EXPECT_EQ(su->UsersDB, nullptr);
  EXPECT_EQ(su->SRcondition, 0);
  // the attribute keys are stored as parameters too
  EXPECT_EQ(GStr(d, "smtpscan.group", "Domains"), "a.example, b.example");
}

TEST_F(ConfigTest, OverLongDomainsPatternIsRefused) {
  std::string many;
  for (int i = 0; i < 3000; i++) many += "d" + std::to_string(i) + "\n";
  std::string list = Write("domains", many);
  std::string path = Write("dom.conf", "_group g\n[smtpscan.group]\nDomains=file:" + list + "\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Domains value too long"), std::string::npos);
  EXPECT_NE(out_.find(ErrorLine(path, 3)), std::string::npos);
}

TEST_F(ConfigTest, DebugMessagesOfTreeBuilding) {
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=7\n"), 0);
  std::string log = Log();
  EXPECT_NE(log.find("[DEBUG] set param. (name=ShowLevel,val=7)\n"), std::string::npos);
  EXPECT_NE(log.find("[DEBUG] set param type. (type=NUM,name=ShowLevel,val=7)\n"), std::string::npos);
  EXPECT_NE(log.find(",name=display,level=1\n"), std::string::npos);
  EXPECT_NE(log.find("[DEBUG] create new group table: addr="), std::string::npos);
  // nothing of the tree building shows below its level
  LogLevel = 3;
  long before = static_cast<long>(Log().size());
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=7\n"), 0);
  EXPECT_EQ(static_cast<long>(Log().size()), before);
}

TEST_F(ConfigTest, GroupAttributeKeysOutsideAGroupAreOnlyParameters) {
  ASSERT_EQ(Read("[general]\nSenders=.*@x\nUsers=/x/u.txt\n_group g\n_end_group\n"), 0);
  EXPECT_EQ(Str("general", "Senders"), ".*@x");
  EXPECT_STREQ(Group("g")->Senders, ".*@.*");
  EXPECT_STREQ(DefaultGroup->Senders, ".*@.*");
  EXPECT_EQ(DefaultGroup->UsersDB, nullptr);
}
