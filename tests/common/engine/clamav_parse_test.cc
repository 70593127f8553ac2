// Reply parsing of the engine client, fed with reply texts directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "clamav_api.h"

namespace {

TEST(ClamdScanReply, Verdicts) {
  const struct {
    const char *reply, *path;
    int rc;
    AVEAPI_ERROR error;
    int incomplete, encrypted, limit, proc_error;
    const char *name;
  } cases[] = {
      {"/tmp/f: OK\n", "/tmp/f", 0, CLAMD_NO_ERROR, 0, 0, 0, 0, ""},
      {"/tmp/f: Eicar-Test-Signature FOUND\n", "/tmp/f", 1, CLAMD_NO_ERROR, 0, 0, 0, 0,
       "Eicar-Test-Signature"},
      {"stream: Ornix.Test.EICAR.UNOFFICIAL FOUND\n", nullptr, 1, CLAMD_NO_ERROR, 0, 0, 0, 0,
       "Ornix.Test.EICAR.UNOFFICIAL"},
      {"/a.zip: Heuristics.Encrypted.Zip FOUND\n", "/a.zip", 0, CLAMD_NO_ERROR, 1, 1, 0, 0,
       "Heuristics.Encrypted.Zip"},
      // An engine at one of its limits names no virus: the file is unscanned.
      {"/big: Heuristics.Limits.Exceeded.MaxFileSize FOUND\n", "/big", 0, CLAMD_NO_ERROR, 1, 0, 1, 0,
       "Heuristics.Limits.Exceeded.MaxFileSize"},
      {"stream: Heuristics.Limits.Exceeded.MaxFiles FOUND\n", nullptr, 0, CLAMD_NO_ERROR, 1, 0, 1,
       0, "Heuristics.Limits.Exceeded.MaxFiles"},
      {"/f: Heuristics.LimitsX FOUND\n", "/f", 1, CLAMD_NO_ERROR, 0, 0, 0, 0, "Heuristics.LimitsX"},
      {"/x: File path check failure: No such file or directory. ERROR\n", "/x", -1,
       CLAMD_SCAN_ERROR, 1, 0, 0, 1, ""},
      {"stream: Read error ERROR\n", nullptr, -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 1, ""},
      // The path we sent is skipped whole, so its own colons stay out of the
      // name; a label that is not our path falls back to the first colon.
      {"/tmp/a:b: Ornix.Test.EICAR.UNOFFICIAL FOUND\n", "/tmp/a:b", 1, CLAMD_NO_ERROR, 0, 0, 0, 0,
       "Ornix.Test.EICAR.UNOFFICIAL"},
      {"/tmp/a:b: Sig FOUND\n", "/other", 1, CLAMD_NO_ERROR, 0, 0, 0, 0, ": Sig"},
      // Only the first line is the reply.
      {"/f: OK\n/g: Sig FOUND\n", "/f", 0, CLAMD_NO_ERROR, 0, 0, 0, 0, ""},
      // Replies that cannot be split, or are no verdict, are failed scans.
      {"", "/f", -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 0, ""},
      {"garbage\n", "/f", -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 0, ""},
      {"Eicar FOUND\n", "/f", -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 0, ""},
      {"x: FOUND\n", "/f", -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 0, ""},
      {"/f: OKAY\n", "/f", -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 0, ""},
      {"/f: UNKNOWN COMMAND\n", "/f", -1, CLAMD_AVE_PROBLEM, 1, 0, 0, 0, ""},
  };
  for (const auto &c : cases) {
    char buf[CLAMD_REPLY_SIZE] = {};
    strncpy(buf, c.reply, sizeof buf - 1);
    AVEAPI_RESULTS r{};
    EXPECT_EQ(clamd_parse_scan_reply(buf, c.path, &r), c.rc) << c.reply;
    EXPECT_EQ(r.error, c.error) << c.reply;
    EXPECT_EQ(r.notScannedCompletely, c.incomplete) << c.reply;
    EXPECT_EQ(r.archiveEncrypted, c.encrypted) << c.reply;
    EXPECT_EQ(r.limitExceeded, c.limit) << c.reply;
    EXPECT_EQ(r.proc_error, c.proc_error) << c.reply;
    EXPECT_STREQ(r.alertList ? r.alertList->string : "", c.name) << c.reply;
    if (r.alertList) {
      EXPECT_EQ(r.alertList->next, nullptr);
    }
    clamd_cleanup_results(&r);
    EXPECT_EQ(r.alertList, nullptr);
    clamd_cleanup_results(&r);  // a second cleanup must not free again
  }
  clamd_cleanup_results(nullptr);
}

// clamd 1.4's refusals when its user may not open the path, against other errors.
TEST(ClamdScanReply, AccessRefusal) {
  const struct {
    const char *reply;
    int denied;
  } cases[] = {
      {"/f: Access denied. ERROR\n", 1},
      {"/f: File path check failure: Permission denied. ERROR\n", 1},
      {"/f: lstat() failed: Permission denied. ERROR\n", 1},
      {"/f: File path check failure: No such file or directory. ERROR\n", 0},
      {"/f: Access denied. OK\n", 0},
      {"/f: Access denied.\n", 0},
  };
  for (const auto &c : cases) {
    char buf[CLAMD_REPLY_SIZE] = {};
    strncpy(buf, c.reply, sizeof buf - 1);
    AVEAPI_RESULTS r{};
    clamd_parse_scan_reply(buf, "/f", &r);
    EXPECT_EQ(r.accessDenied, c.denied) << c.reply;
    clamd_cleanup_results(&r);
  }
}

TEST(ClamdScanReply, FullBufferIsReadWithinIt) {
  char buf[CLAMD_REPLY_SIZE];
  memset(buf, 'A', sizeof buf);  // no terminator anywhere
  memcpy(buf + 100, ": x OK", 6);
  AVEAPI_RESULTS r{};
  EXPECT_EQ(clamd_parse_scan_reply(buf, nullptr, &r), -1);  // last word is 'A...'
}

TEST(ClamdVersionReply, Shapes) {
  const struct {
    const char *reply;
    int rc;
    const char *ver;
    int vdf;
  } cases[] = {
      {"ClamAV 0.103.8/26700/Mon Nov 14 08:25:11 2022\n", 0, "0.103.8", 26700},
      // Real clamd without an official database names the engine only.
      {"ClamAV 1.4.6\n", 0, "1.4.6", 0},
      {"ClamAV 1.4.6/27000\n", 0, "1.4.6", 27000},
      {"ClamAV 0.103.1/123456789/x\n", 0, "0.103.1", 123456789},
      // Eight characters would be shown as another version: refused.
      {"ClamAV 0.103.12/26700/x\n", -1, nullptr, 0},
      {"ClamAV 1.4.6/1234567890/x\n", -1, nullptr, 0},
      {"ClamAV \n", -1, nullptr, 0},
      {"", -1, nullptr, 0},
      {"ClamAV /1/\n", -1, nullptr, 0},
  };
  for (const auto &c : cases) {
    AVEAPI_INFO info, before;
    memset(&info, 0x5A, sizeof info);
    before = info;
    EXPECT_EQ(clamd_parse_version(c.reply, &info), c.rc) << c.reply;
    if (c.ver) {
      EXPECT_STREQ(info.engineVersion, c.ver) << c.reply;
      EXPECT_EQ(info.vdfVersion, c.vdf) << c.reply;
    } else {
      EXPECT_EQ(memcmp(&info, &before, sizeof info), 0) << c.reply;  // untouched
    }
  }
}

}  // namespace
