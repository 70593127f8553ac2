// Reply parsing of the engine client, fed with reply texts directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "clamav_api.h"

namespace {

struct Parsed {
  int rc;
  AVEAPI_RESULTS r;
  std::string name;
};

Parsed Parse(const std::string &reply, const char *path) {
  char buf[CLAMD_REPLY_SIZE];
  memset(buf, 0, sizeof buf);
  memcpy(buf, reply.data(), std::min(reply.size(), sizeof buf - 1));
  Parsed p;
  memset(&p.r, 0, sizeof p.r);
  p.rc = clamd_parse_scan_reply(buf, path, &p.r);
  if (p.r.alertList) {
    EXPECT_EQ(p.r.alertList->next, nullptr);
    p.name = p.r.alertList->string;
  }
  clamd_cleanup_results(&p.r);
  return p;
}

TEST(ClamdScanReply, OkAndFound) {
  Parsed ok = Parse("/tmp/f: OK\n", "/tmp/f");
  EXPECT_EQ(ok.rc, 0);
  EXPECT_EQ(ok.r.error, CLAMD_NO_ERROR);
  EXPECT_EQ(ok.r.notScannedCompletely, 0);
  EXPECT_EQ(ok.name, "");

  Parsed found = Parse("/tmp/f: Eicar-Test-Signature FOUND\n", "/tmp/f");
  EXPECT_EQ(found.rc, 1);
  EXPECT_EQ(found.name, "Eicar-Test-Signature");
  EXPECT_EQ(found.r.notScannedCompletely, 0);

  Parsed stream = Parse("stream: Ornix.Test.EICAR.UNOFFICIAL FOUND\n", nullptr);
  EXPECT_EQ(stream.rc, 1);
  EXPECT_EQ(stream.name, "Ornix.Test.EICAR.UNOFFICIAL");
}

TEST(ClamdScanReply, EncryptedCountsAsNotInfected) {
  Parsed p = Parse("/a.zip: Heuristics.Encrypted.Zip FOUND\n", "/a.zip");
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.r.archiveEncrypted, 1);
  EXPECT_EQ(p.r.notScannedCompletely, 1);
  EXPECT_EQ(p.name, "Heuristics.Encrypted.Zip");
}

TEST(ClamdScanReply, ErrorByScanKind) {
  Parsed path = Parse("/x: File path check failure: No such file or directory. ERROR\n", "/x");
  EXPECT_EQ(path.rc, -1);
  EXPECT_EQ(path.r.proc_error, 1);
  EXPECT_EQ(path.r.error, CLAMD_SCAN_ERROR);
  EXPECT_EQ(path.r.notScannedCompletely, 1);
  Parsed fd = Parse("stream: Read error ERROR\n", nullptr);
  EXPECT_EQ(fd.rc, -1);
  EXPECT_EQ(fd.r.error, CLAMD_AVE_PROBLEM);
}

TEST(ClamdScanReply, PathWithColonKeepsTheName) {
  // The path we sent is skipped as a whole, so its own colons do not leak
  // into the detection name.
  Parsed p = Parse("/tmp/a:b: Ornix.Test.EICAR.UNOFFICIAL FOUND\n", "/tmp/a:b");
  EXPECT_EQ(p.rc, 1);
  EXPECT_EQ(p.name, "Ornix.Test.EICAR.UNOFFICIAL");
  // A label that is not our path falls back to the first colon.
  Parsed q = Parse("/tmp/a:b: Sig FOUND\n", "/other");
  EXPECT_EQ(q.rc, 1);
  EXPECT_EQ(q.name, ": Sig");  // two characters after the first colon
}

TEST(ClamdScanReply, UnreadableRepliesFail) {
  const char *bad[] = {"",
                       "\n",
                       "garbage\n",
                       "Eicar FOUND\n",        // no colon
                       "x: FOUND\n",           // no name
                       "x:FOUND\n",            // no blank at all
                       "/f: UNKNOWN COMMAND\n",  // not a verdict
                       "/f: OKAY\n",
                       "/f: OK now\n"};
  for (const char *b : bad) {
    Parsed p = Parse(b, "/f");
    EXPECT_EQ(p.rc, -1) << '"' << b << '"';
    EXPECT_EQ(p.r.error, CLAMD_AVE_PROBLEM) << '"' << b << '"';
    EXPECT_EQ(p.r.notScannedCompletely, 1) << '"' << b << '"';
    EXPECT_EQ(p.name, "") << '"' << b << '"';
  }
}

TEST(ClamdScanReply, OnlyTheFirstLineCountsAndFullBufferIsSafe) {
  Parsed p = Parse("/f: OK\n/g: Sig FOUND\n", "/f");
  EXPECT_EQ(p.rc, 0);
  // A buffer filled to the last byte without terminator: parsed within it.
  char buf[CLAMD_REPLY_SIZE];
  memset(buf, 'A', sizeof buf);
  memcpy(buf + 100, ": x OK", 6);
  AVEAPI_RESULTS r;
  memset(&r, 0, sizeof r);
  EXPECT_EQ(clamd_parse_scan_reply(buf, nullptr, &r), -1);  // last word is 'A...'
}

TEST(ClamdCleanup, NullAndTwiceAreHarmless) {
  clamd_cleanup_results(nullptr);
  AVEAPI_RESULTS r;
  memset(&r, 0, sizeof r);
  clamd_cleanup_results(&r);
  char buf[CLAMD_REPLY_SIZE] = "/f: Sig FOUND\n";
  ASSERT_EQ(clamd_parse_scan_reply(buf, "/f", &r), 1);
  clamd_cleanup_results(&r);
  EXPECT_EQ(r.alertList, nullptr);
  clamd_cleanup_results(&r);
}

TEST(ClamdVersionReply, WithAndWithoutDatabase) {
  AVEAPI_INFO info;
  memset(&info, 0, sizeof info);
  ASSERT_EQ(clamd_parse_version("ClamAV 0.103.8/26700/Mon Nov 14 08:25:11 2022\n", &info), 0);
  EXPECT_STREQ(info.engineVersion, "0.103.8");
  EXPECT_EQ(info.vdfVersion, 26700);
  // Real clamd without an official database answers with the engine only.
  memset(&info, 0, sizeof info);
  ASSERT_EQ(clamd_parse_version("ClamAV 1.4.6\n", &info), 0);
  EXPECT_STREQ(info.engineVersion, "1.4.6");
  EXPECT_EQ(info.vdfVersion, 0);
  ASSERT_EQ(clamd_parse_version("ClamAV 1.4.6/27000\n", &info), 0);
  EXPECT_EQ(info.vdfVersion, 27000);
}

TEST(ClamdVersionReply, WhatDoesNotFitIsRefused) {
  AVEAPI_INFO info;
  memset(&info, 0x5A, sizeof info);
  AVEAPI_INFO before = info;
  // Eight characters would be shown as another version: refused, untouched.
  EXPECT_EQ(clamd_parse_version("ClamAV 0.103.12/26700/x\n", &info), -1);
  EXPECT_EQ(clamd_parse_version("ClamAV 1.4.6/1234567890/x\n", &info), -1);
  EXPECT_EQ(clamd_parse_version("ClamAV \n", &info), -1);
  EXPECT_EQ(clamd_parse_version("", &info), -1);
  EXPECT_EQ(clamd_parse_version("ClamAV /1/\n", &info), -1);
  EXPECT_EQ(memcmp(&info, &before, sizeof info), 0);
  ASSERT_EQ(clamd_parse_version("ClamAV 0.103.1/123456789/x\n", &info), 0);
  EXPECT_STREQ(info.engineVersion, "0.103.1");
  EXPECT_EQ(info.vdfVersion, 123456789);
}

}  // namespace
