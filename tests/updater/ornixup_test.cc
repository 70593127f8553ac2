// The updater's pieces that decide what runs and what is written: the list
// line parser against hostile lines, the command runner against real
// programs (exit status, signal, time-out with a child left behind, file size
// bound, a program that does not exist), and the atomic replacement.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "ornixup.h"
#include "updater_internal.h"

namespace {

class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/ornixup-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
    saved_ = OrnixLog;
    OrnixLog = fopen(file("log").c_str(), "a");
    LogLevel = 8191;
    setenv("ORNIX_WAIT_SCALE", "0.05", 1);
  }
  ~Scratch() {
    fclose(OrnixLog);
    OrnixLog = saved_;
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  std::string file(const std::string &name) const { return dir_ + "/" + name; }
  const std::string &dir() const { return dir_; }
  void write(const std::string &name, const std::string &text, mode_t mode = 0644) const {
    std::ofstream(file(name)) << text;
    chmod(file(name).c_str(), mode);
  }
  std::string read(const std::string &name) const {
    std::ifstream in(file(name));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string log() const {
    fflush(OrnixLog);
    return read("log");
  }

 private:
  std::string dir_;
  FILE *saved_;
};

const char kMd5[] = "0123456789abcdef0123456789abcdef";

TEST(ListLine, AcceptsWellFormedLinesOnly) {
  struct Row {
    std::string line;
    bool ok;
  };
  std::string md5 = kMd5;
  const Row rows[] = {
      {"ornixfs 6.0.8.0 12345 " + md5, true},
      {"qmail-queue 6.1-rc1 0 " + md5, true},
      {std::string(31, 'm') + " 1 1 " + md5, true},
      {std::string(32, 'm') + " 1 1 " + md5, false},          // name over 31
      {"ornixfs " + std::string(16, '1') + " 1 " + md5, false},  // build over 15
      {"ornixfs 6.0.8 1", false},                             // missing field
      {"ornixfs 6.0.8 1 " + md5 + " extra", false},
      {"ornixfs  6.0.8 1 " + md5, false},                     // double blank
      {"ornixfs 6.0.8 1 " + md5 + " ", false},
      {"../ornixfs 6.0.8 1 " + md5, false},
      {"bin/ornixfs 6.0.8 1 " + md5, false},
      {".. 6.0.8 1 " + md5, false},
      {"-rf 6.0.8 1 " + md5, false},
      {"ornixfs 6.0;id 1 " + md5, false},
      {"ornixfs $(id) 1 " + md5, false},
      {"ornixfs '6.0' 1 " + md5, false},
      {"ornixfs 6.0.8 99999999999 " + md5, false},            // size overflows
      {"ornixfs 6.0.8 2147483648 " + md5, false},
      {"ornixfs 6.0.8 -1 " + md5, false},
      {"ornixfs 6.0.8 1 " + md5.substr(0, 31), false},
      {"ornixfs 6.0.8 1 " + md5 + "0", false},
      {"ornixfs 6.0.8 1 0123456789ABCDEF0123456789abcdef", false},
      {std::string("orn\0xfs 6.0.8 1 ", 16) + md5, false},     // binary byte
      {"orn\xe9xfs 6.0.8 1 " + md5, false},
      {"ornixfs 6.0.8 1 " + md5 + std::string(8200, 'x'), false},
  };
  for (const Row &r : rows) {
    MOD rec;
    const char *why = nullptr;
    int rc = parse_list_line(r.line.data(), r.line.size(), &rec, &why);
    EXPECT_EQ(rc == 0, r.ok) << r.line.substr(0, 80);
    if (rc == 0) {
      EXPECT_STREQ(rec.md5, kMd5);
      EXPECT_EQ(rec.download, 0);
    } else {
      EXPECT_NE(why, nullptr);
    }
  }
}

TEST(ListFile, CrLfLinesCountAndRefusalsAreLogged) {
  Scratch s;
  std::string text = "bad line\r\n";
  for (int i = 0; i < 40; ++i) text += "mod" + std::to_string(i) + " 6.0.8 10 " + kMd5 + "\r\n";
  s.write("list", text);
  std::vector<MOD> mods;
  ASSERT_EQ(read_update_list(s.file("list").c_str(), &mods), 0);
  ASSERT_EQ(mods.size(), 31u);
  EXPECT_STREQ(mods[0].name, "mod0");
  EXPECT_EQ(mods[30].size, 10);
  std::string log = s.log();
  EXPECT_NE(log.find("Update list line 1 refused(not four fields"), std::string::npos) << log;
  EXPECT_NE(log.find("Update list line 33 and after ignored"), std::string::npos) << log;
}

TEST(Command2, ExitStatusSignalAndMissingProgram) {
  Scratch s;
  cons_out = 0;
  EXPECT_EQ(command2("/bin/sh", {"/bin/sh", "-c", "exit 3"}, 10), 3);
  EXPECT_EQ(command2("/bin/sh", {"/bin/sh", "-c", "kill -KILL $$"}, 10), -1);
  EXPECT_NE(s.log().find("command2: killed by signal 9"), std::string::npos);
  EXPECT_EQ(command2(s.file("absent").c_str(), {s.file("absent")}, 10), -1);
  // An argument is one argument: no shell sees it.
  EXPECT_EQ(command2("/bin/sh", {"/bin/sh", "-c", "exit $#", "x", "a b; exit 9", "$(exit 8)"}, 10), 2);
}

TEST(Command2, TimeOutStopsTheCommandAndWhatItStarted) {
  Scratch s;
  cons_out = 0;
  // The command leaves a child behind that ignores SIGTERM and keeps the
  // output pipe open.
  std::string script = "sleep 300 & echo $! > '" + s.file("child") + "'; trap '' TERM; " +
                       "echo $$ > '" + s.file("self") + "'; while :; do sleep 1; done";
  EXPECT_EQ(command2("/bin/sh", {"/bin/sh", "-c", script}, 1), -1);
  std::string log = s.log();
  EXPECT_NE(log.find("command2: select timeout"), std::string::npos);
  EXPECT_NE(log.find("command timeout"), std::string::npos);
  for (const char *f : {"self", "child"}) {
    pid_t pid = static_cast<pid_t>(atoi(s.read(f).c_str()));
    ASSERT_GT(pid, 0) << f;
    // Reaped (ours) or reparented and killed: either way it no longer runs.
    std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    bool running = false;
    for (int i = 0; i < 100; ++i) {
      std::ifstream st(stat);
      std::string all;
      std::getline(st, all);
      size_t close = all.rfind(')');
      running = st.good() && close != std::string::npos && all[close + 2] != 'Z';
      if (!running) break;
      usleep(20000);
    }
    EXPECT_FALSE(running) << f << " " << pid;
  }
}

TEST(Command2, EndsWhenTheCommandEndsEvenIfAGrandchildHoldsTheOutput) {
  Scratch s;
  cons_out = 0;
  std::string script = "sleep 30 & echo $! > '" + s.file("child") + "'; exit 4";
  EXPECT_EQ(command2("/bin/sh", {"/bin/sh", "-c", script}, 20), 4);
  kill(static_cast<pid_t>(atoi(s.read("child").c_str())), SIGKILL);
}

TEST(Command2, FileSizeBound) {
  Scratch s;
  cons_out = 0;
  std::string script = "exec head -c 5000 /dev/zero > '" + s.file("big") + "'";
  EXPECT_EQ(command2("/bin/sh", {"/bin/sh", "-c", script}, 10, 1000), -1);
  struct stat st;
  ASSERT_EQ(stat(s.file("big").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1000);
}

TEST(ReplaceFile, ReplacesAtomicallyOrLeavesTheOldFile) {
  Scratch s;
  s.write("new", "new contents");
  s.write("installed", "old contents", 0755);
  ASSERT_EQ(replace_file(s.file("new"), s.file("installed"), 04711), 0);
  EXPECT_EQ(s.read("installed"), "new contents");
  struct stat st;
  ASSERT_EQ(stat(s.file("installed").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04711u);
  // A source that is a link or missing: the installed file stays as it was,
  // and no temporary file is left beside it.
  ASSERT_EQ(symlink(s.file("installed").c_str(), s.file("link").c_str()), 0);
  EXPECT_EQ(replace_file(s.file("link"), s.file("installed"), 0755), -1);
  EXPECT_EQ(replace_file(s.file("absent"), s.file("installed"), 0755), -1);
  EXPECT_EQ(s.read("installed"), "new contents");
  std::string ls = "ls -A '" + s.file("") + "' | grep -c '^\\.installed' > '" + s.file("count") + "'";
  if (system(ls.c_str()) == -1) perror("system");
  EXPECT_EQ(s.read("count"), "0\n");
}

// Every fetched module is installed, however far down the list (the list
// holds up to 31), each with a complete backup of the copy it replaced.
TEST(Install, EveryFetchedModuleIsReplacedAndBackedUp) {
  Scratch s;
  cons_out = 0;
  const char *bin = getenv("ORNIX_BIN");
  ASSERT_NE(bin, nullptr);
  std::string real = std::string(bin) + "/ornix";   // answers "-b check" with 2
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  OrnixBinPath = s.dir();
  ASSERT_EQ(mkdir(s.file("new").c_str(), 0755), 0);
  mod_list.clear();
  for (int i = 0; i < 20; ++i) {
    MOD m = {};
    snprintf(m.name, sizeof m.name, "m%02d", i);
    s.write(m.name, "old " + std::to_string(i), 0755);
    ASSERT_EQ(copy_new_file(real, s.file(std::string("new/") + m.name), 0755), 0);
    m.size = static_cast<int>(st.st_size);
    m.download = 1;
    mod_list.push_back(m);
  }
  post_install_shell_exec = 0;
  EXPECT_EQ(reload_modules(30), 0);
  EXPECT_NE(s.log().find("Installing new Ornix modules successfully"), std::string::npos) << s.log();
  std::string backup = s.file("old_*");
  for (const MOD &m : mod_list) {
    struct stat now;
    ASSERT_EQ(stat(s.file(m.name).c_str(), &now), 0);
    EXPECT_EQ(now.st_size, st.st_size) << m.name;
    std::string cmd = "grep -qx 'old " + std::to_string(atoi(m.name + 1)) + "' " + backup + "/" + m.name;
    EXPECT_EQ(system(cmd.c_str()), 0) << m.name;
  }
  mod_list.clear();
}

}  // namespace
