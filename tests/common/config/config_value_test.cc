// Typed values, "file:" values, lookups with the catalogue and the fallbacks,
// the sample configuration, the report log and reload.
#include <climits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "config_test_util.h"

TEST_F(ConfigTest, StoredValues) {
  std::string excl = Write("excl", "*.iso\n# old\n\n*.img\r\n"), empty = Write("empty", "# only a comment\n\n\r\n");
  ASSERT_EQ(Read("[locale]\nKey =5\nTimeFormat=%H=%M   \n[filescan.display]\nShowLevel=\nShowLevel=4\nShowLevel=7\n"
                 "[smtpscan.report]\nLevel=3\r\nFacility=mail\r\n[filescan.object]\nExcludeMask=file:" + excl +
                 "\nMatchAction=file:" + excl + "\n[general]\nSMTPServer=file:" + empty + "\n[filescan.options]\nMaxSize=file:" +
                 Write("size", "1K\n") + "\nSaveDirectory=FILE:/x\n[x]\nP=file:" + Write("fits", std::string(1023, 'p')) + "\n"),
            0) << out_;
  // the key keeps its blank, the lookup by the plain name still finds it; trailing blanks go
  EXPECT_EQ(Num("locale", "Key"), 5);
  EXPECT_EQ(Str("locale", "TimeFormat"), "%H=%M");
  // an empty value stores nothing; then the first definition wins
  EXPECT_EQ(Num("filescan.display", "ShowLevel"), 4);
  // a DOS file keeps the carriage return in its values
  EXPECT_EQ(Str("smtpscan.report", "Facility"), "mail\r");
  EXPECT_EQ(Num("smtpscan.report", "Level"), 3);
  // "file:" values: masks join with ":", everything else with ","; nothing usable is no value
  EXPECT_EQ(Str("filescan.object", "ExcludeMask"), "*.iso:*.img");
  EXPECT_EQ(Str("filescan.object", "MatchAction"), "*.iso,*.img");
  EXPECT_EQ(Str("general", "SMTPServer"), "localhost");
  EXPECT_EQ(Str("filescan.options", "SaveDirectory"), "FILE:/x");
  EXPECT_EQ(Str("x", "P").size(), 1023u);
  // a size key read from a file is text, and still a size
  EXPECT_EQ(Num("filescan.options", "MaxSize") * 10000 + Lnum("filescan.options", "MaxSize"), 11024);
}

// Every value the catalogue's kinds accept answers each lookup type exactly;
// keys it does not type keep the conversions of the lookups.
TEST_F(ConfigTest, TypedValuesAnswerExactly) {
  ASSERT_EQ(Read("[filescan.options]\nMaxSize=10M\nReadTimeout=007\nMaxScanTime=2147483647\nMaxRecursion=-2147483648\n"
                 "MaxCheckLevel =12\nRecursion=YES\nSymlink=No\n[FILESCAN:DISPLAY]\nshowlevel= +3\n"
                 "[smtpscan.options]\nMaxArchiveSize=2g\n[onaccess.options]\nMaxFileSize= 7\nMaxSize=2147483647G\n"
                 "_group g\n[smtpscan.filter]\nBySize=100k\n_end_group\n"
                 "[x]\nMaxSize=-1G\nMaxFileSize=12X\nLimit=-2M\n[general]\nSMTPAuthPassword=0123\n"
                 "[updater.options]\nMaxSize=5G\nMaxScanTime=99999999999999999999999\n"),
            0) << out_;
  EXPECT_EQ(Lnum("filescan.options", "MaxSize"), 10485760);
  EXPECT_EQ(Str("filescan.options", "MaxSize"), "10M");
  EXPECT_EQ(Lnum("smtpscan.options", "MaxArchiveSize"), 2147483648LL);
  EXPECT_EQ(Lnum("onaccess.options", "MaxFileSize"), 7);
  EXPECT_EQ(Lnum("onaccess.options", "MaxSize"), 2147483647LL << 30);
  off_t by = 0;
  ASSERT_EQ(GetGroupConfigValue(Group("g"), "smtpscan.filter", "BySize", LNUM, &by), 0);
  EXPECT_EQ(by, 102400);
  // digits keep their leading zeros as text
  EXPECT_EQ(Str("filescan.options", "ReadTimeout"), "007");
  EXPECT_EQ(Num("filescan.options", "ReadTimeout"), 7);
  EXPECT_EQ(config_num("filescan.options", "MaxScanTime"), INT_MAX);
  EXPECT_EQ(config_num("filescan.options", "MaxRecursion"), INT_MIN);
  EXPECT_EQ(config_num("filescan.options", "MaxCheckLevel"), 12);
  EXPECT_EQ(config_num("filescan.display", "ShowLevel"), 3);
  EXPECT_EQ(config_yesno("filescan.options", "Recursion") * 10 + config_yesno("filescan.options", "Symlink"), 10);
  EXPECT_EQ(Str("general", "SMTPAuthPassword"), "0123");
  // untyped: a negative count does not wrap into a huge size; a number past
  // the int range is as large as an int gets, past off_t the largest size
  EXPECT_EQ(Lnum("x", "MaxSize") + Lnum("x", "Limit"), 0);
  EXPECT_EQ(Lnum("x", "MaxFileSize"), 12);
  EXPECT_EQ(Num("updater.options", "MaxSize"), INT_MAX);
  EXPECT_EQ(Num("updater.options", "MaxScanTime"), INT_MAX);
  EXPECT_EQ(Lnum("updater.options", "MaxScanTime"), LLONG_MAX);
}

// A value that is not of its key's kind stops the load, naming file, line,
// section, key and value; the live tree stays.
TEST_F(ConfigTest, ValuesNotOfTheirKindAreRefused) {
  const char *const size = "(must be a size: digits, optionally followed by K, M or G)\n";
  const char *const num = "(must be a number)\n";
  const char *const yesno = "(must be yes or no)\n";
  std::string two = Write("two", "1\n2\n");
  const std::vector<std::tuple<std::string, std::string, const char *>> rows = {  // text, place and value, kind
      {"[filescan.options]\nMaxSize=100MB\n", "2,Section:filescan.options,Key:MaxSize,Value:\"100MB\"", size},
      {"[filescan.options]\nMaxSize=1.5G\n", "2,Section:filescan.options,Key:MaxSize,Value:\"1.5G\"", size},
      {"[filescan.options]\nMaxSize=5 G\n", "2,Section:filescan.options,Key:MaxSize,Value:\"5 G\"", size},
      {"[filescan.options]\nMaxSize=-1G\n", "2,Section:filescan.options,Key:MaxSize,Value:\"-1G\"", size},
      {"[filescan.options]\nMaxSize=2147483648K\n", "2,Section:filescan.options,Key:MaxSize,Value:\"2147483648K\"", size},
      {"[filescan.options]\nMaxSize=9223372036854775808\n",
       "2,Section:filescan.options,Key:MaxSize,Value:\"9223372036854775808\"", size},
      {"[filescan.options]\n\nMaxSize=5G\r\n", "3,Section:filescan.options,Key:MaxSize,Value:\"5G\\r\"", size},
      {"[FILESCAN:Options]\nmaxsize \t=1x\n", "2,Section:FILESCAN.Options,Key:maxsize,Value:\"1x\"", size},
      {"_group g\n[smtpscan.filter]\nBySize=1T\n", "3,Section:smtpscan.filter,Key:BySize,Value:\"1T\"", size},
      {"[filescan.options]\nMaxCheckLevel=abc\n", "2,Section:filescan.options,Key:MaxCheckLevel,Value:\"abc\"", num},
      {"[filescan.options]\nMaxScanTime=12abc\n", "2,Section:filescan.options,Key:MaxScanTime,Value:\"12abc\"", num},
      {"[filescan.options]\nMaxRatio=10M\n", "2,Section:filescan.options,Key:MaxRatio,Value:\"10M\"", num},
      {"[filescan.options]\nMaxRecursion=-2147483649\n",
       "2,Section:filescan.options,Key:MaxRecursion,Value:\"-2147483649\"", num},
      {"[filescan.display]\nShowLevel=2147483648\n", "2,Section:filescan.display,Key:ShowLevel,Value:\"2147483648\"", num},
      {"[general]\nSMTPPort=25\r\n", "2,Section:general,Key:SMTPPort,Value:\"25\\r\"", num},
      {"[filescan.options]\nReadTimeout=file:" + two + "\n",
       "2,Section:filescan.options,Key:ReadTimeout,Value:\"1,2\"", num},
      {"[filescan.options]\nRecursion=ture\n", "2,Section:filescan.options,Key:Recursion,Value:\"ture\"", yesno},
      {"[aveserver]\nAVEAutoStart= yes\n", "2,Section:aveserver,Key:AVEAutoStart,Value:\" yes\"", yesno},
  };
  ASSERT_EQ(Read("[filescan.options]\nMaxSize=1M\n"), 0);
  SSP *live = SectionList;
  for (const auto &[text, where, kind] : rows) {
    std::string path = Write("bad.conf", text);
    int line = std::stoi(where);
    EXPECT_EQ(ReadPath(path), -1) << where;
    EXPECT_EQ(out_, "Invalid value. Filename:" + path + ",Line:" + where + " " + kind + ErrorLine(path, line));
  }
  EXPECT_EQ(SectionList, live);
  // in an included file, its own name and line
  Write("inc.conf", "# 1\nMaxRatio=1.5\n");
  EXPECT_EQ(ReadPath(Write("main.conf", "[filescan.options]\n_include inc.conf\n")), -1);
  EXPECT_TRUE(out_.starts_with("Invalid value. Filename:" + dir_ + "/inc.conf,Line:2,Section:filescan.options,Key:MaxRatio"))
      << out_;
}

TEST_F(ConfigTest, ConfiguredValuesThenCatalogueThenFallbacks) {
  ASSERT_EQ(Read("[filescan.display]\nShowLevel=7\n[filescan.object]\nMaskX=1\nMask =2\n"
                 "[filescan.options]\nSendMailCondition=always\nSendMail=yes\n[r]\nFacility=mail\n"),
            0);
  EXPECT_EQ(Num("FILESCAN.DISPLAY", "showlevel"), 7);
  // a stored key answers its own name, blanks after it allowed, never a shorter name
  EXPECT_EQ(Num("filescan.object", "Mask"), 2);
  EXPECT_EQ(Num("filescan.object", "MaskXY"), -999);
  EXPECT_EQ(Str("filescan.options", "SendMail"), "yes");
  EXPECT_EQ(Str("general", "SMTPServer"), "localhost");
  // the catalogue answers the exact spelling only; failures leave the target alone
  int v = 42;
  EXPECT_EQ(GetConfigValue("FILESCAN.REPORT", "ReportLevel", NUM, &v), -1);
  EXPECT_EQ(GetConfigValue("filescan.options", "RemoveErrorsFromAlerts", STR, &v), -1);
  EXPECT_EQ(GetConfigValue("general", "SMTPPort", 7, &v) + GetConfigValue("SS", "path", STR, &v), -2);
  EXPECT_EQ(v, 42);
  // the helpers always answer: configured, catalogue, fallback table, else empty
  EXPECT_EQ(config_num("filescan.display", "ShowLevel"), 7);
  EXPECT_STREQ(config_text("path", "TempPath"), "/var/opt/ornix/tmp");
  EXPECT_EQ(config_yesno("filescan.options", "Recursion"), 1);
  EXPECT_EQ(config_size("filescan.options", "MaxSize"), 5368709120LL);
  EXPECT_STREQ(config_text("r", "Facility"), "mail");
  EXPECT_STREQ(config_text("r", "Priority"), "notice");
  EXPECT_STREQ(config_text(nullptr, "Facility"), "user");
  EXPECT_EQ(config_num("updater.options", "CommandTimeout"), 300);
  EXPECT_STREQ(config_text("filescan.options", "RemoveErrorsFromAlerts"), "");
  EXPECT_EQ(config_num("x", "y") + config_yesno("x", "y") + config_size("x", "y"), 0);
}

TEST_F(ConfigTest, GroupLookups) {
  ASSERT_EQ(Read("[general]\nSMTPServer=mx\n_group g\n[smtpscan.notify.infected]\nSubject=infected subject\n"
                 "[smtpscan.notify.sender]\nSubject=sender subject\nCharset=UTF-8\n"
                 "[smtpscan.notify]\nContentType=text/html\n[smtpscan.action]\nQuarantine=yes\n_end_group\n"),
            0);
  GRP *g = Group("g");
  // the fourth component first, then the third, then smtpscan.notify, then the table
  EXPECT_EQ(GStr(g, "smtpscan.notify.sender.infected", "Subject"), "infected subject");
  EXPECT_EQ(GStr(g, "smtpscan.notify.sender.virus", "Charset"), "UTF-8");
  EXPECT_EQ(GStr(g, "smtpscan.notify.recipient.infected", "ContentType"), "text/html");
  EXPECT_EQ(GStr(g, "smtpscan.notify.recipient.infected", "Template"), "<none>");
  EXPECT_EQ(GStr(g, "smtpscan.notify", "Template"), "/etc/opt/ornix/template/japanese/notify_sample");
  EXPECT_EQ(GStr(g, "smtpscan.action.sender", "Quarantine"), "yes");
  // another group sees only the table; common sections answer through a group too
  EXPECT_EQ(GStr(DefaultGroup, "smtpscan.action", "Quarantine"), "no");
  EXPECT_EQ(GStr(g, "general", "SMTPServer"), "mx");
}

// The catalogue holds every section and every key of a section once, and the
// shipped sample writes every key with its default.
TEST_F(ConfigTest, CatalogueAndSampleConfiguration) {
  std::string sample = std::string(getenv("ORNIX_TEST_SRC") ? getenv("ORNIX_TEST_SRC") : "tests") + "/../etc/ornix.conf";
  ASSERT_EQ(ReadPath(sample), 0) << out_;
  EXPECT_EQ(out_, "");
  std::ifstream f(sample);
  std::string line, section;
  std::set<std::string> written, seen;
  while (std::getline(f, line)) {
    if (line.starts_with("[")) section = line.substr(1, line.find(']') - 1);
    if (!line.empty() && std::string("#[_").find(line[0]) == std::string::npos && line.find('=') != std::string::npos)
      written.insert(section + "/" + line.substr(0, line.find('=')));
  }
  for (const default_value *d = defval; d->key != nullptr; d++) {
    if (strcmp(d->key, "SS") == 0) {
      EXPECT_TRUE(seen.insert(section = d->str).second) << "twice: " << section;
      continue;
    }
    EXPECT_TRUE(seen.insert(section + "/" + d->key).second) << "twice: " << section << " " << d->key;
    // every typed default is of its own kind
    int n;
    off_t size;
    EXPECT_EQ(d->kind == NUM_VALUE ? parse_num(d->str, &n) : d->kind == SIZE_VALUE ? parse_size(d->str, &size)
              : d->kind == YESNO_VALUE ? parse_yesno(d->str, &n) : 0, 0) << section << " " << d->key;
    EXPECT_TRUE(written.count(section + "/" + d->key)) << section << " " << d->key;
    EXPECT_EQ(GStr(DefaultGroup, section.c_str(), d->key), d->str) << section << " " << d->key;
    // a key of the fallback table has one value wherever the catalogue lists it
    const char *fallback = config_text(nullptr, d->key);
    EXPECT_TRUE(*fallback == '\0' || strcmp(fallback, d->str) == 0) << section << " " << d->key;
  }
  UnloadConfig();
  EXPECT_EQ(Str("smtpscan.spam", "SubjectCheck"), "\xe6\x9c\xaa\xe6\x89\xbf\xe8\xab\xbe\xe5\xba\x83\xe5\x91\x8a\xe2\x80\xbb");
  EXPECT_EQ(Lnum("onaccess.options", "MaxFileSize"), 104857600);
}

// The report log opens with the settings of its section; a reload carries the
// log and TempDir over to the new tree, or keeps the old tree on a failure.
TEST_F(ConfigTest, ReportLogAndReload) {
  std::string path = Write("live.conf", "[smtpscan.report]\nReportLevel=11\n[locale]\nDateFormat=%d.%m.%Y\n"
                                        "[r]\nFacility=local1\n");
  ASSERT_EQ(ReadPath(path), 0);
  FILE *test_log = OrnixLog;
  ASSERT_EQ(OpenReportLog("syslog", "r"), 0);
  EXPECT_EQ(SyslogFacility, 136 | 5);
  EXPECT_STREQ(DateFormat, "%d.%m.%Y");
  OrnixLog = test_log;

  Write("live.conf", "[smtpscan.report]\nReportLevel=65535\n[path]\nTempPath=/t2\n[r]\nPriority=err\n_group n\n");
  Reload();
  EXPECT_EQ(LogLevel, 65535);
  EXPECT_STREQ(TempDir, "/t2");
  EXPECT_STREQ(DateFormat, "%Y/%m/%d");
  EXPECT_EQ(SyslogFacility, 8 | 3);
  EXPECT_EQ(GroupOrder(), "n,default");
  std::string log = Log();
  size_t a = log.find("Reload configuration\n"), b = log.find("Read configuration file(" + path + ")\n"),
         c = log.find("Reloading...\n"), d = log.find("New configuration loaded\n");
  EXPECT_TRUE(a < b && b < c && c < d && d != std::string::npos) << log;

  SSP *live = SectionList;
  Write("live.conf", "[smtpscan.report]\nReportLevel=4\n!!!\n");
  Reload();
  EXPECT_EQ(out_, ErrorLine(path, 3));
  EXPECT_NE(Log().find("new config invalid, could not load\n"), std::string::npos);
  ASSERT_EQ(unlink(path.c_str()), 0);  // a vanished file fails the same way
  Reload();
  EXPECT_EQ(SectionList, live);
  EXPECT_EQ(ConfigReloadFlag, 0);
  EXPECT_STREQ(TempDir, "/t2");
  ReportSection = nullptr;
}
