// The engine client against real peers: the real clamd with the rig's test
// database, and (only where clamd cannot be made to misbehave on demand) the
// scripted fake engine of tests/rig/fake_engine.py.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "clamav_api.h"
#include "clamav_peer.h"

using namespace ornix_test;

namespace {

struct Scan {
  int rc = 0;
  AVEAPI_RESULTS r;
  std::string name;
  Scan() { memset(&r, 0, sizeof r); }
  void Take() {
    if (r.alertList) name = r.alertList->string;
    clamd_cleanup_results(&r);
  }
};

Scan ScanPath(const std::string &sock, const std::string &path, int timeout = 30,
              off_t max = 0) {
  Scan s;
  s.rc = clamd_scan(sock.c_str(), path.c_str(), &s.r, timeout, max);
  s.Take();
  return s;
}

Scan ScanFd(const std::string &sock, int fd, int timeout = 30) {
  Scan s;
  s.rc = clamd_scan_fd(sock.c_str(), fd, &s.r, timeout, 0);
  s.Take();
  return s;
}

std::string Be32(uint32_t n) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(n >> 24);
  s[1] = static_cast<char>(n >> 16);
  s[2] = static_cast<char>(n >> 8);
  s[3] = static_cast<char>(n);
  return s;
}

class RealEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    engine_ = new RealClamd;
    if (!engine_->Start()) {
      delete engine_;
      engine_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    if (engine_) engine_->Stop();
    delete engine_;
    engine_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(engine_, nullptr) << "the real clamd did not start (ORNIX_TEST_SRC set?)";
    ASSERT_FALSE(tmp_.path().empty());
    // clamd opens scanned paths itself.
    chmod(tmp_.path().c_str(), 0755);
  }
  const std::string &sock() const { return engine_->socket(); }
  static RealClamd *engine_;
  TempDir tmp_;
};
RealClamd *RealEngine::engine_ = nullptr;

TEST_F(RealEngine, PingAndVersion) {
  EXPECT_EQ(clamd_is_running(sock().c_str()), 0);
  AVEAPI_INFO info;
  memset(&info, 0, sizeof info);
  ASSERT_EQ(get_clamd_version(sock().c_str(), &info), 0);
  // No official database: "ClamAV 1.4.6" alone still gives the engine version.
  EXPECT_GT(strlen(info.engineVersion), 0u);
  EXPECT_NE(strchr(info.engineVersion, '.'), nullptr) << info.engineVersion;
  EXPECT_EQ(info.vdfVersion, 0);
}

TEST_F(RealEngine, PathScanVerdicts) {
  Scan eicar = ScanPath(sock(), tmp_.Write("eicar.txt", kEicar));
  EXPECT_EQ(eicar.rc, 1);
  EXPECT_EQ(eicar.name, kEicarName);
  EXPECT_EQ(eicar.r.error, CLAMD_NO_ERROR);

  Scan zip = ScanPath(sock(), "/usr/share/clamav-testfiles/clam.zip");
  EXPECT_EQ(zip.rc, 1);
  EXPECT_EQ(zip.name, kClamExeName);

  Scan clean = ScanPath(sock(), tmp_.Write("clean.txt", "nothing here\n"));
  EXPECT_EQ(clean.rc, 0);
  EXPECT_EQ(clean.r.error, CLAMD_NO_ERROR);
  EXPECT_EQ(clean.r.notScannedCompletely, 0);
  EXPECT_EQ(clean.name, "");

  Scan missing = ScanPath(sock(), tmp_.path() + "/none");
  EXPECT_EQ(missing.rc, -1);
  EXPECT_EQ(missing.r.error, CLAMD_SCAN_ERROR);
  EXPECT_EQ(missing.r.proc_error, 1);
  EXPECT_EQ(missing.r.notScannedCompletely, 1);
}

TEST_F(RealEngine, EncryptedZipIsProtectedWithItsName) {
  tmp_.Write("member.txt", kEicar);
  std::string zip = tmp_.path() + "/enc.zip";
  ASSERT_EQ(ornix_test::Run({"/usr/bin/zip", "-q", "-j", "-P", "secret", zip, tmp_.path() + "/member.txt"}),
            0);
  Scan s = ScanPath(sock(), zip);
  EXPECT_EQ(s.rc, 0);
  EXPECT_EQ(s.r.archiveEncrypted, 1);
  EXPECT_EQ(s.r.notScannedCompletely, 1);
  EXPECT_EQ(s.name, "Heuristics.Encrypted.Zip");
}

TEST_F(RealEngine, SizeGate) {
  std::string f100 = tmp_.Write("f100", std::string(100, 'x'));
  std::string f101 = tmp_.Write("f101", std::string(101, 'x'));
  EXPECT_EQ(ScanPath(sock(), f100, 30, 100).rc, 0);
  Scan over = ScanPath(sock(), f101, 30, 100);
  EXPECT_EQ(over.rc, -1);
  EXPECT_EQ(over.r.error, CLAMD_FSIZE_ERROR);
  EXPECT_EQ(over.r.reachedArchiveMaxSize, 1);
  Scan gone = ScanPath(sock(), tmp_.path() + "/none", 30, 100);
  EXPECT_EQ(gone.rc, -1);
  EXPECT_EQ(gone.r.error, CLAMD_FSTAT_ERROR);
}

TEST_F(RealEngine, PathsTheCommandCannotCarryAreStreamed) {
  // A newline would end "SCAN" early and have clamd scan another path.
  Scan nl = ScanPath(sock(), tmp_.Write("evil\nname", kEicar));
  EXPECT_EQ(nl.rc, 1);
  EXPECT_EQ(nl.name, kEicarName);
  Scan colon = ScanPath(sock(), tmp_.Write("a: b", kEicar));
  EXPECT_EQ(colon.rc, 1);
  EXPECT_EQ(colon.name, kEicarName);
  // A path over 1,017 bytes.
  std::string deep = tmp_.path();
  while (deep.size() <= CLAMD_PATH_MAX) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  std::string longpath = deep + "/eicar.txt";
  {
    int fd = open(longpath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kEicar, strlen(kEicar)), static_cast<ssize_t>(strlen(kEicar)));
    close(fd);
  }
  Scan lp = ScanPath(sock(), longpath);
  EXPECT_EQ(lp.rc, 1);
  EXPECT_EQ(lp.name, kEicarName);
  Scan lpmissing = ScanPath(sock(), deep + "/none");
  EXPECT_EQ(lpmissing.rc, -1);
  EXPECT_EQ(lpmissing.r.error, CLAMD_FSTAT_ERROR);
}

TEST_F(RealEngine, DescriptorScan) {
  int fd = open(tmp_.Write("e", kEicar).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  Scan s = ScanFd(sock(), fd);
  EXPECT_EQ(s.rc, 1);
  EXPECT_EQ(s.name, kEicarName);
  // The descriptor is neither rewound nor closed: at its end now, it streams
  // nothing, which the engine calls clean.
  Scan again = ScanFd(sock(), fd);
  EXPECT_EQ(again.rc, 0);
  close(fd);
}

TEST_F(RealEngine, StreamFramingThroughRecordingRelay) {
  // The relay forwards to the real clamd and keeps the bytes it saw.
  FakeEngine relay;
  ASSERT_TRUE(relay.Start(tmp_.path(), "relay", "", sock()));
  std::string body(70000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  int fd = open(tmp_.Write("f70000", body).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  relay.ClearRecord();
  Scan s = ScanFd(relay.socket(), fd);
  EXPECT_EQ(s.rc, 0);
  EXPECT_EQ(s.r.error, CLAMD_NO_ERROR);
  std::string wire;
  ASSERT_TRUE(relay.Record(&wire));
  std::string expect = "nINSTREAM\n" + Be32(65536) + body.substr(0, 65536) + Be32(4464) +
                       body.substr(65536) + Be32(0);
  EXPECT_EQ(wire.size(), expect.size());
  EXPECT_TRUE(wire == expect);
  close(fd);

  // An empty descriptor: the command and the zero length, nothing else.
  int empty = open(tmp_.Write("empty", "").c_str(), O_RDONLY);
  relay.ClearRecord();
  Scan e = ScanFd(relay.socket(), empty);
  EXPECT_EQ(e.rc, 0);
  ASSERT_TRUE(relay.Record(&wire));
  EXPECT_TRUE(wire == std::string("nINSTREAM\n") + Be32(0));
  close(empty);

  // A path scan goes out as one "SCAN %s\n" line.
  std::string p = tmp_.Write("clean", "x");
  relay.ClearRecord();
  EXPECT_EQ(ScanPath(relay.socket(), p).rc, 0);
  ASSERT_TRUE(relay.Record(&wire));
  EXPECT_EQ(wire, "SCAN " + p + "\n");
  relay.ClearRecord();
  EXPECT_EQ(clamd_is_running(relay.socket().c_str()), 0);
  ASSERT_TRUE(relay.Record(&wire));
  EXPECT_EQ(wire, "PING\n");
}

TEST(RealEngineLimits, OverlongStreamGetsTheEnginesRefusal) {
  // clamd cuts a stream past StreamMaxLength with an ERROR line and hangs up:
  // the caller learns the engine refused, not that the pipe broke.
  RealClamd engine;
  ASSERT_TRUE(engine.Start({"StreamMaxLength=1M"}));
  TempDir tmp;
  chmod(tmp.path().c_str(), 0755);
  std::string big = tmp.Write("big\nname", std::string(4 << 20, 'b'));
  int fd = open(big.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  Scan f = ScanFd(engine.socket(), fd);
  close(fd);
  EXPECT_EQ(f.rc, -1);
  EXPECT_EQ(f.r.proc_error, 1);
  EXPECT_EQ(f.r.error, CLAMD_AVE_PROBLEM);
  // A path streamed because of its newline keeps the path scan's code.
  Scan p = ScanPath(engine.socket(), big);
  EXPECT_EQ(p.rc, -1);
  EXPECT_EQ(p.r.proc_error, 1);
  EXPECT_EQ(p.r.error, CLAMD_SCAN_ERROR);
  EXPECT_EQ(clamd_is_running(engine.socket().c_str()), 0);
  engine.Stop();
}

class NoEngine : public ::testing::Test {
 protected:
  TempDir tmp_;
};

TEST_F(NoEngine, MissingSocketFailsAtOnce) {
  std::string sock = tmp_.path() + "/absent.socket";
  Scan s = ScanPath(sock, "/etc/hostname", 30);
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM);
  EXPECT_EQ(s.r.notScannedCompletely, 1);
  EXPECT_EQ(clamd_is_running(sock.c_str()), -1);
  AVEAPI_INFO info;
  memset(&info, 0x33, sizeof info);
  EXPECT_EQ(get_clamd_version(sock.c_str(), &info), -1);
  EXPECT_EQ(info.vdfVersion, 0x33333333);
}

TEST_F(NoEngine, OverlongSocketPathIsRefused) {
  // 108 bytes cannot be held terminated in sun_path; connecting to a cut
  // name could reach another socket.
  std::string sock = "/" + std::string(CLAMD_SOCKET_PATH_MAX, 's');
  Scan s = ScanPath(sock, "/etc/hostname");
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM);
  char reply[CLAMD_REPLY_SIZE];
  EXPECT_EQ(clamd_send_command("PING\n", reply, sock.c_str(), 1), -1);
}

TEST_F(NoEngine, LongestSocketPathStillConnects) {
  // Fake: the rig's clamd lives at a path of its own choosing; the fake can
  // listen at a path of exactly 107 bytes.
  FakeEngine fake;
  std::string dir = tmp_.path();
  std::string padded = dir + "/" + std::string(CLAMD_SOCKET_PATH_MAX - dir.size() - 1 -
                                                   std::string("/fake-reply.socket").size(), 'p');
  ASSERT_EQ(mkdir(padded.c_str(), 0755), 0);
  ASSERT_TRUE(fake.Start(padded, "reply", "PONG\\n"));
  ASSERT_EQ(fake.socket().size(), static_cast<size_t>(CLAMD_SOCKET_PATH_MAX));
  EXPECT_EQ(clamd_is_running(fake.socket().c_str()), 0);
}

// ---- the scripted fake: behaviour the real clamd shows on no request ----

class FakeEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp_.path().empty()); }
  TempDir tmp_;
  FakeEngine fake_;
};

TEST_F(FakeEngineTest, SilentEngineTimesOut) {
  // Fake: clamd always answers; only a scripted peer can stay silent.
  ASSERT_TRUE(fake_.Start(tmp_.path(), "hang"));
  Scan s = ScanPath(fake_.socket(), "/etc/hostname", 1);
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.r.error, CLAMD_SCAN_TIMED_OUT);
  int fd = open("/etc/hostname", O_RDONLY);
  Scan f = ScanFd(fake_.socket(), fd, 1);
  close(fd);
  EXPECT_EQ(f.r.error, CLAMD_SCAN_TIMED_OUT);
  EXPECT_EQ(clamd_is_running(fake_.socket().c_str()), -1);
  AVEAPI_INFO info;
  memset(&info, 0, sizeof info);
  EXPECT_EQ(get_clamd_version(fake_.socket().c_str(), &info), -1);
  char reply[CLAMD_REPLY_SIZE];
  EXPECT_EQ(clamd_send_command("PING\n", reply, fake_.socket().c_str(), 1), -2);
}

TEST_F(FakeEngineTest, CloseWithoutReplyIsAFailedExchange) {
  // Fake: clamd does not hang up on a well-formed request.
  ASSERT_TRUE(fake_.Start(tmp_.path(), "close"));
  Scan s = ScanPath(fake_.socket(), "/etc/hostname", 5);
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM);
  EXPECT_EQ(s.r.notScannedCompletely, 1);
  EXPECT_EQ(clamd_is_running(fake_.socket().c_str()), -1);
  AVEAPI_INFO info;
  memset(&info, 0x11, sizeof info);
  EXPECT_EQ(get_clamd_version(fake_.socket().c_str(), &info), -1);
  EXPECT_EQ(info.vdfVersion, 0x11111111);
}

TEST_F(FakeEngineTest, EarlyHangupDoesNotKillTheCaller) {
  // Fake: clamd reads a stream before judging it; only a scripted peer hangs
  // up before the first byte. With SIGPIPE at its default the client must
  // survive and report a failed exchange.
  ASSERT_TRUE(fake_.Start(tmp_.path(), "hangup"));
  void (*old)(int) = signal(SIGPIPE, SIG_DFL);
  int fd = open(tmp_.Write("big", std::string(8 << 20, 'b')).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  Scan s = ScanFd(fake_.socket(), fd, 5);
  close(fd);
  signal(SIGPIPE, old);
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM);
}

struct Scripted {
  const char *reply;
  int rc;
  AVEAPI_ERROR error;
  const char *name;
};

TEST_F(FakeEngineTest, MalformedAndScriptedReplies) {
  // Fake: the real clamd never sends these shapes on demand.
  const Scripted cases[] = {
      {"no-blank-at-all\\n", -1, CLAMD_AVE_PROBLEM, ""},
      {"Eicar FOUND\\n", -1, CLAMD_AVE_PROBLEM, ""},
      {"stream: Sig.Name FOUND", 1, CLAMD_NO_ERROR, "Sig.Name"},  // no newline
      {"stream: UNKNOWN COMMAND\\n", -1, CLAMD_AVE_PROBLEM, ""},
  };
  for (const auto &c : cases) {
    FakeEngine fake;
    ASSERT_TRUE(fake.Start(tmp_.path(), "reply", c.reply));
    int fd = open("/etc/hostname", O_RDONLY);
    Scan s = ScanFd(fake.socket(), fd, 5);
    close(fd);
    EXPECT_EQ(s.rc, c.rc) << c.reply;
    EXPECT_EQ(s.r.error, c.error) << c.reply;
    EXPECT_EQ(s.name, c.name) << c.reply;
    fake.Stop();
  }
}

TEST_F(FakeEngineTest, ErrorReplyByScanKind) {
  // Fake: a stream ERROR from clamd needs a failing disk or limit on demand.
  ASSERT_TRUE(fake_.Start(tmp_.path(), "reply", "stream: Read error ERROR\\n"));
  int fd = open("/etc/hostname", O_RDONLY);
  Scan f = ScanFd(fake_.socket(), fd, 5);
  close(fd);
  EXPECT_EQ(f.rc, -1);
  EXPECT_EQ(f.r.error, CLAMD_AVE_PROBLEM);
  EXPECT_EQ(f.r.proc_error, 1);
  Scan p = ScanPath(fake_.socket(), "/etc/hostname", 5);
  EXPECT_EQ(p.rc, -1);
  EXPECT_EQ(p.r.error, CLAMD_SCAN_ERROR);
}

TEST_F(FakeEngineTest, VersionShapes) {
  // Fake: this clamd has no official database, so it never sends the
  // "/database/date" form; and no real engine sends an 8-character version.
  struct {
    const char *reply;
    int rc;
    const char *ver;
    int vdf;
  } cases[] = {
      {"ClamAV 0.103.8/26700/Mon Nov 14 08:25:11 2022\\n", 0, "0.103.8", 26700},
      {"ClamAV 1.4.6\\n", 0, "1.4.6", 0},
      {"ClamAV 0.103.12/26700/x\\n", -1, "", 0},
  };
  for (const auto &c : cases) {
    FakeEngine fake;
    ASSERT_TRUE(fake.Start(tmp_.path(), "reply", c.reply));
    AVEAPI_INFO info;
    memset(&info, 0, sizeof info);
    EXPECT_EQ(get_clamd_version(fake.socket().c_str(), &info), c.rc) << c.reply;
    EXPECT_STREQ(info.engineVersion, c.ver);
    EXPECT_EQ(info.vdfVersion, c.vdf);
    fake.Stop();
  }
}

TEST_F(FakeEngineTest, BadDescriptorsSendNothing) {
  // Fake: it records what arrives, which clamd cannot show us.
  ASSERT_TRUE(fake_.Start(tmp_.path(), "reply", "stream: OK\\n"));
  for (int fd : {0, 65536, -1}) {
    fake_.ClearRecord();
    Scan s = ScanFd(fake_.socket(), fd, 5);
    EXPECT_EQ(s.rc, -1) << fd;
    EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM) << fd;
    std::string wire = "x";
    ASSERT_TRUE(fake_.Record(&wire)) << fd;  // connected, then closed
    EXPECT_EQ(wire, "") << fd;
  }
  // The request form must be exactly "FDSCAN <decimal>".
  for (const char *form : {"FDSCAN12", "FDSCAN 3x", "FDSCAN ", "FDSCAN 99999999999"}) {
    fake_.ClearRecord();
    char reply[CLAMD_REPLY_SIZE];
    EXPECT_EQ(clamd_send_command(form, reply, fake_.socket().c_str(), 5), -1) << form;
    std::string wire = "x";
    ASSERT_TRUE(fake_.Record(&wire)) << form;
    EXPECT_EQ(wire, "") << form;
  }
}

TEST_F(FakeEngineTest, UnreadableDescriptorFailsTheStream) {
  ASSERT_TRUE(fake_.Start(tmp_.path(), "reply", "stream: OK\\n"));
  int fd = open(tmp_.path().c_str(), O_RDONLY);  // a directory: reads fail
  ASSERT_GE(fd, 0);
  Scan s = ScanFd(fake_.socket(), fd, 5);
  close(fd);
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM);
}

}  // namespace
