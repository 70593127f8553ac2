// Typed values, "file:" values, lookups with defaults and fallbacks, the
// catalogue, the sample configuration and reload.
#include <climits>
#include <set>
#include <string>

#include "config_test_util.h"

namespace {

// The single stored entry of a section, by key.
SSV *entry(const char *section, const char *key) {
  SSP *s = parse_section(nullptr, section, 0, SectionList);
  if (s == nullptr) return nullptr;
  for (SSV *v = s->SectionValueList; v != nullptr; v = v->next)
    if (strcmp(v->ParamName, key) == 0) return v;
  return nullptr;
}

uint64_t stored_num(SSV *v) { return *static_cast<uint64_t *>(v->ParamValue); }

}  // namespace

TEST_F(ConfigTest, DigitsStoreNumbersAndAnythingElseText) {
  ASSERT_EQ(Read("[filescan.report]\nReportLevel=3\n[updater.report]\nReportLevel= 3\n"
                 "[aveserver]\nReportLevel=+3\n[locale]\nKey =5\nTimeFormat=%H=%M   \n"),
            0);
  SSV *v = entry("filescan.report", "ReportLevel");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->ValueType, NUM);
  EXPECT_EQ(stored_num(v), 3u);
  v = entry("updater.report", "ReportLevel");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->ValueType, STR);
  EXPECT_STREQ(static_cast<char *>(v->ParamValue), " 3");
  EXPECT_EQ(entry("aveserver", "ReportLevel")->ValueType, STR);
  // the key keeps its blank; the lookup by the plain name still finds it
  ASSERT_NE(entry("locale", "Key "), nullptr);
  EXPECT_EQ(Num("locale", "Key"), 5);
  // the value may hold "="; trailing blanks are dropped
  EXPECT_EQ(Str("locale", "TimeFormat"), "%H=%M");
}

TEST_F(ConfigTest, SizeKeysTakeSuffixes) {
  ASSERT_EQ(Read("[filescan.options]\nMaxSize=10M\nMaxRatio=10M\n"
                 "[smtpscan.options]\nMaxArchiveSize=2g\n"
                 "[onaccess.options]\nMaxFileSize=3K\nMaxSize=abc\nmaxsize=7\n"
                 "_group g\n[smtpscan.filter]\nBySize=100k\n_end_group\n"
                 "[x]\nMaxSize=-1G\nMaxFileSize=12X\n"),
            0);
  SSV *v = entry("filescan.options", "MaxSize");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->ValueType, NUM);
  EXPECT_EQ(stored_num(v), 10485760u);
  EXPECT_EQ(entry("filescan.options", "MaxRatio")->ValueType, STR);
  EXPECT_EQ(Str("filescan.options", "MaxRatio"), "10M");
  EXPECT_EQ(Lnum("smtpscan.options", "MaxArchiveSize"), 2147483648LL);
  EXPECT_EQ(Lnum("onaccess.options", "MaxFileSize"), 3072);
  // a size that is no number stores its leading digits, or 0
  EXPECT_EQ(entry("onaccess.options", "MaxSize")->ValueType, NUM);
  EXPECT_EQ(Lnum("onaccess.options", "MaxSize"), 0);
  EXPECT_EQ(Lnum("x", "MaxFileSize"), 12);
  // a negative count does not wrap into a huge size
  EXPECT_EQ(Lnum("x", "MaxSize"), 0);
  off_t by = 0;
  ASSERT_EQ(GetGroupConfigValue(Group("g"), "smtpscan.filter", "BySize", LNUM, &by), 0);
  EXPECT_EQ(by, 102400);
  // asked as text, a size answers what was written
  EXPECT_EQ(Str("filescan.options", "MaxSize"), "10M");
}

TEST_F(ConfigTest, LargeNumbers) {
  ASSERT_EQ(Read("[filescan.options]\nMaxSize=5G\nMaxScanTime=99999999999999999999999\n"
                 "ReadTimeout=4294967297\n"),
            0);
  EXPECT_EQ(Lnum("filescan.options", "MaxSize"), 5368709120LL);
  // NUM answers the low 32 bits of the stored number
  EXPECT_EQ(Num("filescan.options", "MaxSize"), 1073741824);
  EXPECT_EQ(Num("filescan.options", "ReadTimeout"), 1);
  // overflow saturates; as a size it is the largest off_t, never negative
  EXPECT_EQ(stored_num(entry("filescan.options", "MaxScanTime")), UINT64_MAX);
  EXPECT_EQ(Lnum("filescan.options", "MaxScanTime"), LLONG_MAX);
}

TEST_F(ConfigTest, EmptyValueStoresNothing) {
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=\nShowLevel=4\n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 4);
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=   \n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 15);
}

TEST_F(ConfigTest, FirstDefinitionWins) {
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=1\nShowLevel=7\n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 1);
}

TEST_F(ConfigTest, CrlfFileKeepsTheCarriageReturn) {
  ASSERT_EQ(Read("# dos file\r\n[filescan.report]\r\nReportLevel=3\r\nFacility=mail\r\n"), 0);
  SSV *v = entry("filescan.report", "ReportLevel");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->ValueType, STR);
  EXPECT_STREQ(static_cast<char *>(v->ParamValue), "3\r");
  // asked as a number the text converts as a default would
  EXPECT_EQ(Num("filescan.report", "ReportLevel"), 3);
  EXPECT_EQ(Str("filescan.report", "Facility"), "mail\r");
  // a header's carriage return lies after "]" and is ignored
  EXPECT_NE(parse_section(nullptr, "filescan.report", 0, SectionList), nullptr);
  // a bare carriage return is not an empty line
  std::string path = Write("crlf.conf", "[general]\r\n\r\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 2));
}

TEST_F(ConfigTest, MismatchedTypesAnswerWhatWasWritten) {
  ASSERT_EQ(Read("[general]\nSMTPAuthPassword=0123\n[filescan.options]\nFileMoveMode=0400\n"
                 "MaxScanTime=12abc\nMaxRatio=10M\nReadTimeout=007\n"),
            0);
  EXPECT_EQ(Str("general", "SMTPAuthPassword"), "0123");
  EXPECT_EQ(Str("filescan.options", "FileMoveMode"), "0400");
  EXPECT_EQ(strtol(Str("filescan.options", "FileMoveMode").c_str(), nullptr, 8), 0400);
  EXPECT_EQ(Num("filescan.options", "FileMoveMode"), 400);
  EXPECT_EQ(Num("filescan.options", "MaxScanTime"), 12);
  EXPECT_EQ(Lnum("filescan.options", "MaxRatio"), 10485760);
  EXPECT_EQ(Lnum("filescan.options", "ReadTimeout"), 7);
  EXPECT_EQ(Str("filescan.options", "ReadTimeout"), "007");
}

// ---- "file:" values ----

TEST_F(ConfigTest, FileValuesJoinTheUsableLines) {
  std::string excl = Write("excl", "*.iso\n# old\n\n*.img\r\n");
  ASSERT_EQ(Read("[filescan.object]\nExcludeMask=file:" + excl + "\nincludemask=file:" + excl +
                 "\nMatchAction=file:" + excl + "\n"),
            0);
  EXPECT_EQ(Str("filescan.object", "ExcludeMask"), "*.iso:*.img");
  EXPECT_EQ(Str("filescan.object", "IncludeMask"), "*.iso:*.img");
  EXPECT_EQ(Str("filescan.object", "MatchAction"), "*.iso,*.img");
  EXPECT_EQ(entry("filescan.object", "ExcludeMask")->ValueType, STR);
  // a size key read from a file is text, not a size
  std::string num = Write("num", "5\n6\n");
  ASSERT_EQ(Read("[filescan.options]\nMaxSize=file:" + num + "\n"), 0);
  EXPECT_EQ(entry("filescan.options", "MaxSize")->ValueType, STR);
  EXPECT_EQ(Str("filescan.options", "MaxSize"), "5,6");
}

TEST_F(ConfigTest, FileValuesFeedGroupDomains) {
  std::string doms = Write("doms", "a.example\nb.example\n");
  ASSERT_EQ(Read("_group g\n[smtpscan.group]\nDomains=file:" + doms + "\n"), 0);
  EXPECT_STREQ(Group("g")->Senders, ".*@a.example,.*@b.example");
}

TEST_F(ConfigTest, FileValueWithNothingUsableIsLikeAnEmptyValue) {
  std::string empty = Write("empty", "# only a comment\n\n\r\n");
  ASSERT_EQ(Read("[filescan.object]\nMatchAction=file:" + empty + "\n"), 0);
  EXPECT_EQ(entry("filescan.object", "MatchAction"), nullptr);
  EXPECT_EQ(Str("filescan.object", "MatchAction"), "none");
}

TEST_F(ConfigTest, FileValueErrors) {
  std::string path = Write("m.conf", "[filescan.object]\nExcludeMask=file:" + dir_ + "/nope\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_EQ(out_, ErrorLine(path, 2));
  EXPECT_NE(Log().find("Could not open parameta file(ExcludeMask," + dir_ + "/nope,No such file or directory)\n"),
            std::string::npos);
  // a line longer than a pattern line may be is refused, not split
  std::string big = Write("big", "ok\n" + std::string(1024, 'p') + "\n");
  path = Write("m.conf", "[filescan.object]\nExcludeMask=file:" + big + "\n");
  EXPECT_EQ(ReadPath(path), -1);
  EXPECT_NE(out_.find("Line too long in parameta file(ExcludeMask," + big + ",line 2)\n"), std::string::npos);
  std::string fits = Write("fits", std::string(1023, 'p') + "\n");
  ASSERT_EQ(Read("[filescan.object]\nExcludeMask=file:" + fits + "\n"), 0);
  EXPECT_EQ(Str("filescan.object", "ExcludeMask").size(), 1023u);
  // "file:" is lower case only
  ASSERT_EQ(Read("[filescan.object]\nExcludeMask=FILE:/x\n"), 0);
  EXPECT_EQ(Str("filescan.object", "ExcludeMask"), "FILE:/x");
}

// ---- lookups and defaults ----

TEST_F(ConfigTest, ConfiguredValuesThenDefaults) {
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=7\n[filescan.report]\nReportLevel=9\n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 7);
  EXPECT_EQ(Num("FILESCAN.DISPLAY", "showlevel"), 7);
  ASSERT_EQ(Read("# nothing\n"), 0);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 15);
  EXPECT_EQ(Lnum("filescan.options", "MaxSize"), 5368709120LL);
  EXPECT_EQ(Num("filescan.options", "MaxSize"), 5);
  EXPECT_EQ(Lnum("smtpscan.options", "MaxArchiveSize"), 134217728);
  EXPECT_EQ(Lnum("smtpscan.filter", "BySize"), 0);
  EXPECT_EQ(Str("general", "SMTPAuthUser"), "");
  // defaults are matched with the exact spelling only
  int v = 42;
  EXPECT_EQ(GetConfigValue("FILESCAN.REPORT", "ReportLevel", NUM, &v), -1);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(GetConfigValue("filescan.report", "reportlevel", NUM, &v), -1);
  EXPECT_EQ(GetConfigValue("filescan.options", "RemoveErrorsFromAlerts", STR, &v), -1);
  EXPECT_EQ(v, 42);
  EXPECT_NE(Log().find("[DEBUG] Parameta not defined.(Section=filescan.options,Name=RemoveErrorsFromAlerts)\n"),
            std::string::npos);
  EXPECT_EQ(GetConfigValue("general", "SMTPPort", 7, &v), -1);
  EXPECT_EQ(GetConfigValue(nullptr, "SMTPPort", NUM, &v), -1);
}

TEST_F(ConfigTest, LookupMatchesOnTheRequestedLength) {
  ASSERT_EQ(Read("[filescan.object]\nMaskX=1\n"), 0);
  EXPECT_EQ(Num("filescan.object", "Mask"), 1);
  EXPECT_EQ(Num("filescan.object", "MaskXY", -1), -1);
}

TEST_F(ConfigTest, LookupDebugMessages) {
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=7\n"), 0);
  Num("filescan.display", "ShowLevel");
  Str("general", "SMTPServer");
  std::string log = Log();
  EXPECT_NE(log.find("[DEBUG] GetConfigValue: SS=filescan.display,N=ShowLevel,T=NUM,A="), std::string::npos);
  EXPECT_NE(log.find("[DEBUG] GetConfigValue(result int): SS=filescan.display,N=ShowLevel,T=NUM,VAL=7\n"),
            std::string::npos);
  EXPECT_NE(log.find("[DEBUG] GetConfigValue(default): SS=general,N=SMTPServer,T=STR,VAL=localhost\n"),
            std::string::npos);
}

TEST_F(ConfigTest, GroupLookups) {
  ASSERT_EQ(Read("[general]\nSMTPServer=mx\n"
                 "_group g\n[smtpscan.notify.infected]\nSubject=infected subject\n"
                 "[smtpscan.notify.sender]\nSubject=sender subject\nCharset=UTF-8\n"
                 "[smtpscan.notify]\nContentType=text/html\n"
                 "[smtpscan.action]\nQuarantine=yes\n_end_group\n"),
            0);
  GRP *g = Group("g");
  ASSERT_NE(g, nullptr);
  // the fourth component first, then the third, then smtpscan.notify
  EXPECT_EQ(GStr(g, "smtpscan.notify.sender.infected", "Subject"), "infected subject");
  EXPECT_EQ(GStr(g, "smtpscan.notify.sender.virus", "Charset"), "UTF-8");
  EXPECT_EQ(GStr(g, "smtpscan.notify.recipient.infected", "ContentType"), "text/html");
  EXPECT_EQ(GStr(g, "smtpscan.notify.recipient.infected", "Template"), "<none>");
  EXPECT_EQ(GStr(g, "smtpscan.notify", "Template"), "/etc/opt/ornix/template/japanese/notify_sample");
  EXPECT_EQ(GStr(g, "smtpscan.action.sender", "Quarantine"), "yes");
  EXPECT_EQ(GStr(g, "smtpscan.action", "Quarantine"), "yes");
  // another group and no group see only the table
  EXPECT_EQ(GStr(DefaultGroup, "smtpscan.action", "Quarantine"), "no");
  EXPECT_EQ(GStr(nullptr, "smtpscan.action", "Quarantine"), "no");
  EXPECT_EQ(Str("smtpscan.action", "Quarantine"), "no");
  // common sections answer through the group lookup too
  EXPECT_EQ(GStr(g, "general", "SMTPServer"), "mx");
  EXPECT_EQ(GStr(nullptr, "general", "SMTPServer"), "mx");
  EXPECT_EQ(GStr(nullptr, "general", "NoSuchKey"), "<none>");
  EXPECT_NE(Log().find("Parameta not defined.(Section=general,Name=NoSuchKey,Type=1)\n"), std::string::npos);
}

TEST_F(ConfigTest, DefaultLookupsAreExact) {
  const default_value *d = get_default_value("aveserver", "AppendFile");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->str, "");
  EXPECT_STREQ(get_default_value("updater.options", "UpdatePort")->str, "80");
  EXPECT_EQ(get_default_value("smtpscan.notify.infected", "Subject"), nullptr);
  EXPECT_EQ(get_default_value("Locale", "TimeFormat"), nullptr);
  EXPECT_EQ(get_default_value("locale", "timeformat"), nullptr);
  EXPECT_EQ(get_default_value("SS", "path"), nullptr);
}

TEST_F(ConfigTest, CatalogueHoldsEverySectionInOrder) {
  const char *order[] = {"path",           "locale",          "general",          "aveserver",
                         "updater.options", "updater.report",  "filescan.options", "filescan.object",
                         "filescan.report", "filescan.display", "smtpscan.options", "smtpscan.group",
                         "smtpscan.report", "smtpscan.action",  "smtpscan.filter",  "smtpscan.notify",
                         "smtpscan.wbl",    "smtpscan.spam",    "smtpscan.spam_action",
                         "smtpscan.spam_notify", "onaccess.options", "onaccess.report",
                         "onaccess.detected"};
  size_t i = 0, keys = 0;
  std::set<std::string> seen;
  for (const default_value *d = defval; d->key != nullptr || d->str != nullptr; d++) {
    ASSERT_NE(d->key, nullptr);
    ASSERT_NE(d->str, nullptr);
    if (strcmp(d->key, "SS") == 0) {
      ASSERT_LT(i, sizeof order / sizeof order[0]);
      EXPECT_STREQ(d->str, order[i]);
      i++;
      seen.clear();
    } else {
      EXPECT_TRUE(seen.insert(d->key).second) << "key twice in a section: " << d->key;
      keys++;
    }
  }
  EXPECT_EQ(i, sizeof order / sizeof order[0]);
  EXPECT_EQ(keys, 181u);
  EXPECT_EQ(Str("general", "NotSendNotifyTo"), "ornix@,MAILER-DAEMON@");
  EXPECT_EQ(Str("smtpscan.spam", "SubjectCheck"), "\xe6\x9c\xaa\xe6\x89\xbf\xe8\xab\xbe\xe5\xba\x83\xe5\x91\x8a\xe2\x80\xbb");
  EXPECT_EQ(Num("aveserver", "ReportLevel"), 8191);
  EXPECT_EQ(Str("filescan.options", "CheckStartTimeFile"), "/var/run/filescan.start.time");
  EXPECT_EQ(Lnum("onaccess.options", "MaxFileSize"), 104857600);
}

// ---- the sample configuration shipped in etc/ ----

TEST_F(ConfigTest, SampleConfigurationReadsAndHoldsTheDefaults) {
  const char *src = getenv("ORNIX_TEST_SRC");
  ASSERT_NE(src, nullptr) << "ORNIX_TEST_SRC not set";
  std::string sample = std::string(src) + "/../etc/ornix.conf";
  ASSERT_EQ(ReadPath(sample), 0) << out_;
  EXPECT_EQ(out_, "");
  // every key of every section is written in the sample with its default
  std::ifstream f(sample);
  std::string line, section;
  std::set<std::string> written;
  while (std::getline(f, line)) {
    if (line.empty()) continue;
    if (line[0] == '[') section = line.substr(1, line.find(']') - 1);
    size_t eq = line.find('=');
    if (line[0] != '#' && line[0] != '[' && line[0] != '_' && eq != std::string::npos)
      written.insert(section + "/" + line.substr(0, eq));
  }
  GRP *def = DefaultGroup;
  ASSERT_NE(def, nullptr);
  std::string current;
  for (const default_value *d = defval; d->key != nullptr; d++) {
    if (strcmp(d->key, "SS") == 0) {
      current = d->str;
      continue;
    }
    EXPECT_TRUE(written.count(current + "/" + d->key)) << current << " " << d->key;
    EXPECT_EQ(GStr(def, current.c_str(), d->key), d->str) << current << " " << d->key;
  }
}

// ---- reload ----

TEST_F(ConfigTest, ReloadSwapsInTheNewFile) {
  std::string path = Write("live.conf", "[smtpscan.report]\nReportLevel=11\n[path]\nTempPath=/t1\n"
                                        "[locale]\nDateFormat=%d.%m.%Y\n");
  ASSERT_EQ(ReadPath(path), 0);
  EXPECT_EQ(Num("smtpscan.report", "ReportLevel"), 11);
  Write("live.conf", "[smtpscan.report]\nReportLevel=65535\n[path]\nTempPath=/t2\n_group n\n");
  ::testing::internal::CaptureStdout();
  ConfigReload();
  out_ = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ConfigReloadFlag, 0);
  EXPECT_EQ(Num("smtpscan.report", "ReportLevel"), 65535);
  EXPECT_EQ(LogLevel, 65535);
  ASSERT_NE(TempDir, nullptr);
  EXPECT_STREQ(TempDir, "/t2");
  EXPECT_STREQ(DateFormat, "%Y/%m/%d");
  EXPECT_EQ(GroupOrder(), "n,default");
  std::string log = Log();
  size_t a = log.find("Reload configuration\n"), b = log.find("Read configuration file(" + path + ")\n"),
         c = log.find("Reloading...\n"), d = log.find("New configuration loaded\n");
  EXPECT_TRUE(a != std::string::npos && a < b && b < c && c < d && d != std::string::npos) << log;
}

TEST_F(ConfigTest, ReloadOfABrokenFileKeepsTheOldValues) {
  std::string path = Write("live.conf", "[filescan.display]\nShowLevel=3\n");
  ASSERT_EQ(ReadPath(path), 0);
  SSP *live = SectionList;
  Write("live.conf", "[filescan.display]\nShowLevel=4\n!!!\n");
  ::testing::internal::CaptureStdout();
  ConfigReload();
  out_ = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out_, ErrorLine(path, 3));
  EXPECT_NE(Log().find("new config invalid, could not load\n"), std::string::npos);
  EXPECT_EQ(SectionList, live);
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 3);
  EXPECT_EQ(SetSectionList, nullptr);
  EXPECT_EQ(ConfigReloadFlag, 0);
  // a vanished file is a failed reload as well
  ASSERT_EQ(unlink(path.c_str()), 0);
  ::testing::internal::CaptureStdout();
  ConfigReload();
  out_ = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 3);
}

TEST_F(ConfigTest, ClearingLogsEveryNode) {
  ASSERT_EQ(Read("[general]\nSMTPServer=mx\nSMTPPort=26\n_group g\n"), 0);
  clear_config(SectionList, GroupList);
  SectionList = SetSectionList = nullptr;
  GroupList = SetGroupList = nullptr;
  DefaultGroup = SetDefaultGroup = nullptr;
  std::string log = Log();
  EXPECT_NE(log.find("(SMTPServer,0x"), std::string::npos);
  EXPECT_NE(log.find("[DEBUG] Delete param:NUM:0x"), std::string::npos);
  EXPECT_NE(log.find("(SMTPPort,26)\n"), std::string::npos);
  // released from the last to the first
  EXPECT_LT(log.find("(SMTPPort,26)"), log.find("(SMTPServer,0x"));
  EXPECT_NE(log.find(",general\n"), std::string::npos);
  EXPECT_LT(log.find(",default\n", log.find("Delete group")), std::string::npos);
  EXPECT_LT(log.find("Delete group:0x"), log.size());
  EXPECT_LT(log.find(",default\n", log.find("Delete group")), log.find(",g\n", log.find("Delete group")));
}
