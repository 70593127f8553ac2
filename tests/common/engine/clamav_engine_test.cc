// The engine client against the real clamd with the rig's test database, and
// (only where clamd cannot be made to misbehave on demand) the scripted fake
// engine of tests/rig/fake_engine.py. Both peers are child processes stopped
// by pid; every wait is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clamav_api.h"
#include "clamav_jobs.h"
#include "stop_signal.h"
#include "test_util.h"

namespace {

using ornix_test::Child;
using ornix_test::TempDir;

const char kEicar[] = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
const char kEicarName[] = "Ornix.Test.EICAR.UNOFFICIAL";

// A script of the rig (ornix_rig.py "serve" or fake_engine.py) and its socket.
struct Peer {
  bool Start(const std::string &script, std::vector<std::string> args, const std::string &want) {
    const char *src = getenv("ORNIX_TEST_SRC");
    args.insert(args.begin(), {"/usr/bin/python3", std::string(src ? src : ".") + "/rig/" + script});
    std::string line;
    if (proc.Exec(args, true))
      while (proc.ReadLine(&line, 90) && line.rfind("FAILED", 0) != 0) {
        if (line.rfind("SOCKET ", 0) == 0) socket = line.substr(7);
        if (line == want) return true;
      }
    proc.Stop();
    return false;
  }
  Child proc;
  std::string socket, record;
};

// The real clamd with the rig's test database; extra: "Key=Value" directives.
bool StartClamd(Peer *p, const std::vector<std::string> &extra = {}) {
  std::vector<std::string> args = {"serve"};
  args.insert(args.end(), extra.begin(), extra.end());
  return p->Start("ornix_rig.py", args, "READY") && !p->socket.empty();
}

// The fake engine in one mode on a socket inside dir, recording each request.
bool StartFake(Peer *p, const std::string &dir, const std::string &mode,
               const std::string &reply = "", const std::string &upstream = "") {
  p->socket = dir + "/fake-" + mode + ".socket";
  p->record = dir + "/fake-" + mode + ".record";
  std::vector<std::string> args = {"--socket", p->socket, "--mode", mode, "--record", p->record};
  if (!reply.empty()) args.insert(args.end(), {"--reply", reply});
  if (!upstream.empty()) args.insert(args.end(), {"--upstream", upstream});
  return p->Start("fake_engine.py", args, "READY");
}

// The bytes of the requests since the record was last removed.
bool Recorded(const Peer &fake, std::string *bytes) {
  for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    if (access(fake.record.c_str(), F_OK) != 0) continue;
    *bytes = ornix_test::ReadFile(fake.record);
    return true;
  }
  return false;
}

struct Scan {
  int rc = 0;
  AVEAPI_RESULTS r{};
  std::string name;
};

Scan Take(int rc, AVEAPI_RESULTS r) {
  Scan s{rc, r, r.alertList ? r.alertList->string : ""};
  clamd_cleanup_results(&r);
  s.r.alertList = nullptr;
  return s;
}

Scan ScanPath(const std::string &sock, const std::string &path, int timeout = 30, off_t max = 0) {
  AVEAPI_RESULTS r{};
  return Take(clamd_scan(sock.c_str(), path.c_str(), &r, timeout, max), r);
}

Scan ScanFd(const std::string &sock, int fd, int timeout = 30) {
  AVEAPI_RESULTS r{};
  return Take(clamd_scan_fd(sock.c_str(), fd, &r, timeout, 0), r);
}

Scan ScanFile(const std::string &sock, const std::string &path, int timeout = 30) {
  int fd = open(path.c_str(), O_RDONLY);
  Scan s = ScanFd(sock, fd, timeout);
  if (fd >= 0) close(fd);
  return s;
}

// The same requests through a set of requests in flight, collected one by one.
enum class Form { kPath, kFildes, kStream };
struct Job {
  Form form;
  std::string path;
  off_t max = 0;
};

std::vector<Scan> ScanJobs(const std::string &sock, const std::vector<Job> &jobs, int timeout = 30) {
  clamd_jobs *set = clamd_jobs_open(sock.c_str(), static_cast<int>(jobs.size()));
  std::vector<int> ids, fds;
  for (const Job &j : jobs) {
    int fd = j.form == Form::kPath ? -1 : open(j.path.c_str(), O_RDONLY | O_CLOEXEC);
    fds.push_back(fd);
    ids.push_back(j.form == Form::kPath     ? clamd_jobs_scan(set, j.path.c_str(), timeout, j.max)
                  : j.form == Form::kFildes ? clamd_jobs_scan_fildes(set, fd, timeout, j.max)
                                            : clamd_jobs_scan_fd(set, fd, timeout));
  }
  std::vector<Scan> out(jobs.size());
  // The last started is collected first: any order goes.
  for (size_t i = jobs.size(); i-- > 0;) {
    AVEAPI_RESULTS r{};
    out[i] = Take(clamd_jobs_collect(set, ids[i], &r), r);
    if (fds[i] >= 0) close(fds[i]);
  }
  EXPECT_EQ(clamd_jobs_active(set), 0);
  clamd_jobs_close(set);
  return out;
}

// A result of the one-at-a-time client and one of a set, field by field.
void ExpectSame(const Scan &one, const Scan &set, const std::string &what) {
  EXPECT_EQ(set.rc, one.rc) << what;
  EXPECT_EQ(set.name, one.name) << what;
  EXPECT_EQ(set.r.error, one.r.error) << what;
  EXPECT_EQ(set.r.notScannedCompletely, one.r.notScannedCompletely) << what;
  EXPECT_EQ(set.r.archiveEncrypted, one.r.archiveEncrypted) << what;
  EXPECT_EQ(set.r.reachedArchiveMaxSize, one.r.reachedArchiveMaxSize) << what;
  EXPECT_EQ(set.r.proc_error, one.r.proc_error) << what;
  EXPECT_EQ(set.r.accessDenied, one.r.accessDenied) << what;
}

std::string Be32(uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

class RealEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    started_ = StartClamd((engine_ = std::make_unique<Peer>()).get(), {"StreamMaxLength=1M"});
  }
  static void TearDownTestSuite() { engine_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(started_) << "the real clamd did not start (ORNIX_TEST_SRC set?)";
    ASSERT_FALSE(tmp_.path().empty());
  }
  const std::string &sock() const { return engine_->socket; }
  static inline std::unique_ptr<Peer> engine_;
  static inline bool started_ = false;
  TempDir tmp_{0755};  // clamd opens the files itself
};

TEST_F(RealEngine, PingAndVersion) {
  EXPECT_EQ(clamd_is_running(sock().c_str()), 0);
  AVEAPI_INFO info{};
  ASSERT_EQ(get_clamd_version(sock().c_str(), &info), 0);
  // No official database: "ClamAV 1.4.6" alone still gives the engine version.
  EXPECT_NE(strchr(info.engineVersion, '.'), nullptr) << info.engineVersion;
  EXPECT_EQ(info.vdfVersion, 0);
}

TEST_F(RealEngine, PathScans) {
  std::string enc = tmp_.file("enc.zip");
  ASSERT_EQ(ornix_test::Run({"/usr/bin/zip", "-q", "-j", "-P", "pw", enc,
                             tmp_.Write("member.txt", kEicar)}), 0);
  // Longer than a "SCAN" line can carry: streamed instead.
  std::string deep = tmp_.path();
  while (deep.size() <= CLAMD_PATH_MAX) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  tmp_.Write(deep.substr(tmp_.path().size() + 1) + "/eicar.txt", kEicar);
  const struct {
    std::string path;
    off_t max;
    int rc;
    AVEAPI_ERROR error;
    std::string name;
  } cases[] = {
      {tmp_.Write("eicar.txt", kEicar), 0, 1, CLAMD_NO_ERROR, kEicarName},
      {"/usr/share/clamav-testfiles/clam.zip", 0, 1, CLAMD_NO_ERROR,
       "Ornix.Test.ClamExe.UNOFFICIAL"},
      {tmp_.Write("clean.txt", "nothing here\n"), 0, 0, CLAMD_NO_ERROR, ""},
      {tmp_.path() + "/none", 0, -1, CLAMD_SCAN_ERROR, ""},
      {enc, 0, 0, CLAMD_NO_ERROR, "Heuristics.Encrypted.Zip"},
      // A newline would end "SCAN" early and have clamd scan another path.
      {tmp_.Write("evil\nname", kEicar), 0, 1, CLAMD_NO_ERROR, kEicarName},
      {deep + "/eicar.txt", 0, 1, CLAMD_NO_ERROR, kEicarName},
      {deep + "/none", 0, -1, CLAMD_FSTAT_ERROR, ""},
      {tmp_.Write("f100", std::string(100, 'x')), 100, 0, CLAMD_NO_ERROR, ""},
      {tmp_.Write("f101", std::string(101, 'x')), 100, -1, CLAMD_FSIZE_ERROR, ""},
      {tmp_.path() + "/none", 100, -1, CLAMD_FSTAT_ERROR, ""},
  };
  // Every case again at once, as requests in flight: the same results.
  std::vector<Job> jobs;
  for (const auto &c : cases) jobs.push_back({Form::kPath, c.path, c.max});
  std::vector<Scan> in_flight = ScanJobs(sock(), jobs);
  for (size_t i = 0; i < jobs.size(); i++)
    ExpectSame(ScanPath(sock(), cases[i].path, 30, cases[i].max), in_flight[i], cases[i].path);
  for (const auto &c : cases) {
    Scan s = ScanPath(sock(), c.path, 30, c.max);
    EXPECT_EQ(s.rc, c.rc) << c.path;
    EXPECT_EQ(s.r.error, c.error) << c.path;
    EXPECT_EQ(s.name, c.name) << c.path;
    bool encrypted = c.name.rfind("Heuristics.Encrypted.", 0) == 0;
    EXPECT_EQ(s.r.archiveEncrypted, static_cast<int>(encrypted)) << c.path;
    EXPECT_EQ(s.r.notScannedCompletely, static_cast<int>(c.rc < 0 || encrypted)) << c.path;
    EXPECT_EQ(s.r.reachedArchiveMaxSize, static_cast<int>(c.error == CLAMD_FSIZE_ERROR)) << c.path;
  }
}

TEST_F(RealEngine, DescriptorScansAndWireBytes) {
  Scan e = ScanFile(sock(), tmp_.Write("e", kEicar));
  EXPECT_EQ(e.rc, 1);
  EXPECT_EQ(e.name, kEicarName);

  // The relay forwards to the real clamd and keeps the bytes it saw.
  Peer relay;
  ASSERT_TRUE(StartFake(&relay, tmp_.path(), "relay", "", sock()));
  std::string body(70000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  std::string p = tmp_.Write("clean", "x");
  const struct {
    std::function<int()> request;
    std::string wire;
  } cases[] = {
      {[&] { return ScanFile(relay.socket, tmp_.Write("f70000", body)).rc; },
       "nINSTREAM\n" + Be32(65536) + body.substr(0, 65536) + Be32(4464) + body.substr(65536) +
           Be32(0)},
      {[&] { return ScanFile(relay.socket, tmp_.Write("empty", "")).rc; },
       "nINSTREAM\n" + Be32(0)},
      {[&] { return ScanPath(relay.socket, p).rc; }, "SCAN " + p + "\n"},
      {[&] { return clamd_is_running(relay.socket.c_str()); }, "PING\n"},
      // Requests in flight send the same bytes; a descriptor the relay
      // drops is refused by clamd, and the contents follow as a stream.
      {[&] { return ScanJobs(relay.socket, {{Form::kPath, p}})[0].rc; }, "SCAN " + p + "\n"},
      {[&] { return ScanJobs(relay.socket, {{Form::kStream, tmp_.path() + "/f70000"}})[0].rc; },
       "nINSTREAM\n" + Be32(65536) + body.substr(0, 65536) + Be32(4464) + body.substr(65536) +
           Be32(0)},
      {[&] { return ScanJobs(relay.socket, {{Form::kFildes, tmp_.path() + "/f70000"}})[0].rc; },
       std::string("nFILDES\n\0", 9) + "nINSTREAM\n" + Be32(65536) + body.substr(0, 65536) +
           Be32(4464) + body.substr(65536) + Be32(0)},
  };
  for (const auto &c : cases) {
    unlink(relay.record.c_str());
    EXPECT_EQ(c.request(), 0) << c.wire.substr(0, 12);
    std::string wire;
    ASSERT_TRUE(Recorded(relay, &wire));
    EXPECT_TRUE(wire == c.wire) << c.wire.substr(0, 12) << ": " << wire.size() << " bytes";
  }
}

TEST_F(RealEngine, JobsOfEveryForm) {
  std::string eicar = tmp_.Write("e", kEicar), clean = tmp_.Write("c", "clean\n");
  std::vector<Job> jobs;
  for (Form f : {Form::kFildes, Form::kStream})
    for (const std::string &path : {eicar, clean}) jobs.push_back({f, path});
  jobs.push_back({Form::kFildes, tmp_.Write("f101", std::string(101, 'x')), 100});
  std::vector<Scan> got = ScanJobs(sock(), jobs);
  for (size_t i = 0; i < jobs.size(); i++) {
    int fd = open(jobs[i].path.c_str(), O_RDONLY | O_CLOEXEC);
    AVEAPI_RESULTS r{};
    Scan one = jobs[i].form == Form::kFildes
                   ? Take(clamd_scan_fildes(sock().c_str(), fd, &r, 30, jobs[i].max), r)
                   : ScanFd(sock(), fd);
    close(fd);
    ExpectSame(one, got[i], jobs[i].path);
  }
  EXPECT_EQ(got[0].name, kEicarName);

  // A full set takes nothing more until a request is collected; a set
  // cancelled with requests in flight has every slot free again.
  clamd_jobs *set = clamd_jobs_open(sock().c_str(), 2);
  ASSERT_NE(set, nullptr);
  int a = clamd_jobs_scan(set, eicar.c_str(), 30, 0);
  int b = clamd_jobs_scan(set, clean.c_str(), 30, 0);
  EXPECT_EQ(clamd_jobs_scan(set, clean.c_str(), 30, 0), -1);
  while (clamd_jobs_done(set, a) == 0 || clamd_jobs_done(set, b) == 0) ASSERT_GE(clamd_jobs_poll(set, -1), 1);
  AVEAPI_RESULTS r{};
  EXPECT_EQ(clamd_jobs_collect(set, b, &r), 0);
  EXPECT_EQ(clamd_jobs_done(set, b), -1);
  EXPECT_NE(clamd_jobs_scan(set, eicar.c_str(), 30, 0), -1);
  EXPECT_EQ(clamd_jobs_active(set), 2);
  clamd_jobs_cancel(set);
  EXPECT_EQ(clamd_jobs_active(set), 0);
  clamd_jobs_close(set);
  EXPECT_EQ(clamd_jobs_open(sock().c_str(), 0), nullptr);
  EXPECT_EQ(clamd_jobs_open(sock().c_str(), CLAMD_JOBS_MAX + 1), nullptr);
}

TEST_F(RealEngine, OverlongStreamGetsTheEnginesRefusal) {
  // clamd cuts a stream past StreamMaxLength with an ERROR line and hangs up:
  // the caller learns the engine refused, not that the pipe broke.
  std::string big = tmp_.Write("big\nname", std::string(4 << 20, 'b'));
  Scan f = ScanFile(sock(), big);
  EXPECT_EQ(f.rc, -1);
  EXPECT_EQ(f.r.proc_error, 1);
  EXPECT_EQ(f.r.error, CLAMD_AVE_PROBLEM);
  ExpectSame(f, ScanJobs(sock(), {{Form::kStream, big}})[0], "stream");
  // A path streamed because of its newline keeps the path scan's code.
  ExpectSame(ScanPath(sock(), big), ScanJobs(sock(), {{Form::kPath, big}})[0], "path");
  Scan p = ScanPath(sock(), big);
  EXPECT_EQ(p.rc, -1);
  EXPECT_EQ(p.r.proc_error, 1);
  EXPECT_EQ(p.r.error, CLAMD_SCAN_ERROR);
  EXPECT_EQ(clamd_is_running(sock().c_str()), 0);
}

// ---- the scripted fake: behaviour the real clamd shows on no request ----

class FakeEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp_.path().empty()); }
  TempDir tmp_;
  Peer fake_;
};

TEST_F(FakeEngineTest, SocketPaths) {
  // Fake: the rig's clamd picks its own socket path; the fake listens at one
  // of exactly 107 bytes. One byte more cannot be held terminated in
  // sun_path, and cut to fit it would reach this very socket: refused.
  size_t pad = CLAMD_SOCKET_PATH_MAX - tmp_.path().size() - std::string("//fake-reply.socket").size();
  std::string padded = tmp_.path() + "/" + std::string(pad, 'p');
  ASSERT_EQ(mkdir(padded.c_str(), 0755), 0);
  ASSERT_TRUE(StartFake(&fake_, padded, "reply", "PONG\\n"));
  ASSERT_EQ(fake_.socket.size(), static_cast<size_t>(CLAMD_SOCKET_PATH_MAX));
  EXPECT_EQ(clamd_is_running(fake_.socket.c_str()), 0);
  // The path one byte longer and an absent socket both fail at once.
  for (const std::string &sock : {fake_.socket + "x", tmp_.path() + "/absent.socket"}) {
    EXPECT_EQ(clamd_is_running(sock.c_str()), -1);
    Scan s = ScanPath(sock, "/etc/hostname");
    EXPECT_EQ(s.rc, -1);
    EXPECT_EQ(s.r.error, CLAMD_AVE_PROBLEM);
    AVEAPI_INFO info;
    memset(&info, 0x33, sizeof info);
    EXPECT_EQ(get_clamd_version(sock.c_str(), &info), -1);
    EXPECT_EQ(info.vdfVersion, 0x33333333);
    // A set fails at once too: the request is complete when it starts.
    clamd_jobs *set = clamd_jobs_open(sock.c_str(), 1);
    int id = clamd_jobs_scan(set, "/etc/hostname", 30, 0);
    EXPECT_EQ(clamd_jobs_done(set, id), 1);
    ExpectSame(s, ScanJobs(sock, {{Form::kPath, "/etc/hostname"}})[0], sock);
    clamd_jobs_close(set);
  }
}

TEST_F(FakeEngineTest, MisbehavingEngines) {
  // Fake: clamd always answers, in well-formed lines, after reading the
  // stream. Only a scripted peer stays silent, hangs up early or sends these.
  // The early hang-up streams more than the socket buffer takes; with SIGPIPE
  // at its default the client must survive it as a failed exchange.
  std::string big = tmp_.Write("big", std::string(8 << 20, 'b'));
  const struct {
    const char *mode, *reply;
    int rc;
    AVEAPI_ERROR error;
    const char *name;
  } cases[] = {
      {"hang", "", -1, CLAMD_SCAN_TIMED_OUT, ""},
      {"close", "", -1, CLAMD_AVE_PROBLEM, ""},
      {"hangup", "", -1, CLAMD_AVE_PROBLEM, ""},
      {"reply", "stream: Sig.Name FOUND", 1, CLAMD_NO_ERROR, "Sig.Name"},  // ended by the close
      {"reply", "stream: Read error ERROR\\n", -1, CLAMD_AVE_PROBLEM, ""},
      {"reply", "Eicar FOUND\\n", -1, CLAMD_AVE_PROBLEM, ""},
  };
  void (*old)(int) = signal(SIGPIPE, SIG_DFL);
  for (const auto &c : cases) {
    const std::string mode = c.mode;
    Peer fake;
    ASSERT_TRUE(StartFake(&fake, tmp_.path(), mode, c.reply));
    const std::string file = mode == "hangup" ? big : "/etc/hostname";
    Scan s = ScanFile(fake.socket, file, mode == "hang" ? 1 : 5);
    // Two at once in flight meet the same end.
    for (const Scan &j : ScanJobs(fake.socket, {{Form::kStream, file}, {Form::kStream, file}},
                                  mode == "hang" ? 1 : 5))
      ExpectSame(s, j, mode + c.reply);
    EXPECT_EQ(s.rc, c.rc) << mode << c.reply;
    EXPECT_EQ(s.r.error, c.error) << mode << c.reply;
    EXPECT_EQ(s.name, c.name) << mode << c.reply;
    if (mode == "hang" || mode == "close") {  // the raw call tells a time-out apart
      char reply[CLAMD_REPLY_SIZE];
      EXPECT_EQ(clamd_send_command("PING\n", reply, fake.socket.c_str(), 1), mode == "hang" ? -2 : -1);
    }
  }
  signal(SIGPIPE, old);
}

TEST_F(FakeEngineTest, StopRequestEndsTheWaitOfRequestsInFlight) {
  // Fake: only a scripted engine never answers. A stop request ends the
  // wait of a collect at once, as a broken exchange; the others stay.
  ASSERT_TRUE(StartFake(&fake_, tmp_.path(), "hang"));
  clamd_jobs *set = clamd_jobs_open(fake_.socket.c_str(), 2);
  int a = clamd_jobs_scan(set, "/etc/hostname", 600, 0);
  int b = clamd_jobs_scan(set, "/etc/hosts", 600, 0);
  EXPECT_EQ(clamd_jobs_poll(set, 0), 0);
  ornix_stop_signal = SIGINT;
  AVEAPI_RESULTS r{};
  EXPECT_EQ(clamd_jobs_collect(set, a, &r), -1);
  EXPECT_EQ(r.error, CLAMD_AVE_PROBLEM);
  EXPECT_EQ(clamd_jobs_poll(set, -1), -1);
  EXPECT_EQ(clamd_jobs_done(set, b), 0);
  ornix_stop_signal = 0;
  clamd_jobs_close(set);
}

TEST_F(FakeEngineTest, BadDescriptorsSendNothing) {
  // Fake: it records what arrives, which clamd cannot show us. Descriptors
  // 0 and 65536, and any request form but exactly "FDSCAN <decimal>", fail
  // after connecting with nothing sent.
  ASSERT_TRUE(StartFake(&fake_, tmp_.path(), "reply", "stream: OK\\n"));
  for (const char *form : {"FDSCAN 0", "FDSCAN 65536", "FDSCAN -1", "FDSCAN12", "FDSCAN 3x",
                           "FDSCAN ", "FDSCAN 99999999999"}) {
    unlink(fake_.record.c_str());
    char reply[CLAMD_REPLY_SIZE];
    EXPECT_EQ(clamd_send_command(form, reply, fake_.socket.c_str(), 5), -1) << form;
    std::string wire = "x";
    ASSERT_TRUE(Recorded(fake_, &wire)) << form;
    EXPECT_EQ(wire, "") << form;
  }
  for (int fd : {0, 65536}) EXPECT_EQ(ScanFd(fake_.socket, fd, 5).r.error, CLAMD_AVE_PROBLEM);
  // A descriptor whose reads fail (a directory) is no clean stream.
  Scan dir = ScanFile(fake_.socket, tmp_.path(), 5);
  EXPECT_EQ(dir.rc, -1);
  EXPECT_EQ(dir.r.error, CLAMD_AVE_PROBLEM);
}

}  // namespace
