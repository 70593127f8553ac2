// Peers for the engine client's tests: the real clamd (through the Python
// rig's "serve" mode) and the scripted fake engine. Both are child processes
// stopped by pid; every wait is bounded.
#ifndef ORNIX_TESTS_CLAMAV_PEER_H
#define ORNIX_TESTS_CLAMAV_PEER_H

#include <string>
#include <vector>

namespace ornix_test {

// Directory of the Python rig (ORNIX_TEST_SRC/rig); empty when unset.
std::string RigDir();

class Child {
 public:
  Child() = default;
  ~Child() { Stop(); }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  // Starts argv with pipes on stdin and stdout. false on failure.
  bool Start(const std::vector<std::string> &argv);
  // One stdout line within seconds; false on time-out or end of output.
  bool ReadLine(std::string *line, int seconds);
  // Closes stdin, SIGTERM, bounded wait, SIGKILL.
  void Stop();
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

// The real clamd with the rig's test database.
class RealClamd {
 public:
  // extra: clamd.conf directives as "Key=Value".
  bool Start(const std::vector<std::string> &extra = {});
  const std::string &socket() const { return socket_; }
  const std::string &dir() const { return dir_; }
  void Stop() { child_.Stop(); }

 private:
  Child child_;
  std::string socket_, dir_;
};

// fake_engine.py in one mode on a socket inside dir.
class FakeEngine {
 public:
  bool Start(const std::string &dir, const std::string &mode, const std::string &reply = "",
             const std::string &upstream = "");
  const std::string &socket() const { return socket_; }
  // The bytes of the last request, waiting (bounded) for the fake to write
  // them. Call ClearRecord before the request.
  bool Record(std::string *bytes, int seconds = 10);
  void ClearRecord();
  void Stop() { child_.Stop(); }

 private:
  Child child_;
  std::string socket_, record_;
};

// Temporary directory removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string Write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

// Runs argv (no shell) and returns its exit status, or -1.
int Run(const std::vector<std::string> &argv);

extern const char kEicar[];
extern const char kEicarName[];
extern const char kClamExeName[];

}  // namespace ornix_test

#endif
