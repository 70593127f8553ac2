// Shared pieces of the unit tests: a scratch directory, whole-file reads and
// writes, the log channel captured in memory, and child processes (fork + execv or a function), each stopped by
// pid and reaped, with every wait bounded.
#ifndef ORNIX_TEST_UTIL_H
#define ORNIX_TEST_UTIL_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ornix_test {

// A private temporary directory (mode 0700 unless given), removed with its
// contents at the end.
class TempDir {
 public:
  explicit TempDir(unsigned mode = 0700);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes name (relative) with content; returns its path.
  std::string Write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data);

// The log channel goes to memory at `level` for the life of the object.
class LogCapture {
 public:
  explicit LogCapture(int level = 65535);
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
  std::string text();  // everything logged so far
  bool Has(const std::string &part) { return text().find(part) != std::string::npos; }

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
  FILE *saved_log_;
  int saved_level_;
};

// One child process. Start* return false when it could not be started. The
// destructor stops it (SIGTERM, SIGKILL after 10 s) and reaps it.
class Child {
 public:
  Child() = default;
  ~Child() { Stop(); }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  // execv(argv[0], argv); with pipes = true the child's stdin and stdout are
  // pipes to us (WriteEnd, ReadLine), else they are inherited.
  bool Exec(const std::vector<std::string> &argv, bool pipes = false);
  // Runs body in a forked copy of this process, which exits with its value.
  bool Fork(const std::function<int()> &body);
  // The next line of the child's stdout, without its line feed; false at
  // the end or after `seconds`.
  bool ReadLine(std::string *line, int seconds);
  // Exit status once it has ended, -1 when killed by a signal or still
  // running after `seconds` (it is then left running).
  int Wait(int seconds);
  bool Running();
  void Stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, status_ = -1;
};

// Runs argv to its end (bounded by `seconds`); its exit status or -1.
int Run(const std::vector<std::string> &argv, int seconds = 60);

// glibc loads its Japanese converters as modules; a cross-built test run
// under an emulator has none for the target architecture, and then only the
// cases that need them are skipped.
bool japanese_iconv();

}  // namespace ornix_test

#define NEED_ICONV()                  \
  if (!ornix_test::japanese_iconv()) \
  GTEST_SKIP() << "glibc has no Japanese iconv modules for this architecture"

#endif
