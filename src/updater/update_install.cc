// The last step of a run: every staged module is backed up (complete and on
// disk before anything is replaced), size-checked and made to prove it runs,
// then put in place by an atomic rename; then the post-update script.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "log.h"
#include "ornixup.h"
#include "updater_internal.h"

namespace {

std::string backup_dir_name(void) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "/old_%04d%02d%02d%02d%02d%02d.%d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(getpid()));
  return OrnixBinPath + buf;
}

void say(int level, const char *text) {
  MsgLog(OrnixLog, level, "%s\n", text);
  if (cons_out) puts(text);
}

// First pass: backups and checks. -1 when the backup directory cannot be made.
int check_pass(const std::string &backup, int timeout) {
  bool have_dir = false;
  for (MOD &m : mod_list) {
    if (m.download != 1) continue;
    if (!have_dir) {
      if (mkdir(backup.c_str(), 0755) != 0) {
        MsgLog(OrnixLog, 1, "Could not create store directory.(%s)\n", strerror(errno));
        return -1;
      }
      have_dir = true;
    }
    std::string installed = OrnixBinPath + "/" + m.name;
    struct stat st;
    if (stat(installed.c_str(), &st) != 0 ||
        copy_new_file(installed, backup + "/" + m.name, st.st_mode & 0777) != 0) {
      MsgLog(OrnixLog, 1, "backup of %s failed: %s\n", installed.c_str(), strerror(errno));
      say(128, "Old Ornix modules backup failed");
      m.download = 2;
      continue;
    }
    if (cons_out) printf("Check New %s module\n", m.name);
    std::string staged = OrnixBinPath + "/new/" + m.name;
    if (file_check(staged.c_str(), m.size) != 0 || exec_check(m, timeout) != 0) m.download = 2;
  }
  // The backups reach the disk before the first module is replaced.
  if (have_dir && fsync_dir(backup) != 0)
    MsgLog(OrnixLog, 1, "fsync(%s) error(%s)\n", backup.c_str(), strerror(errno));
  return 0;
}

void install_pass(void) {
  for (MOD &m : mod_list) {
    if (m.download != 1) continue;
    std::string staged = OrnixBinPath + "/new/" + m.name;
    std::string installed = OrnixBinPath + "/" + m.name;
    struct stat st;
    mode_t mode = strcmp(m.name, "qmail-queue") == 0 ? 04711 : 0755;
    if (strcmp(m.name, "qmail-queue") != 0 && stat(staged.c_str(), &st) == 0) mode = st.st_mode & 0777;
    if (replace_file(staged, installed, mode) != 0) {
      MsgLog(OrnixLog, 1, "replace %s error(%s)\n", installed.c_str(), strerror(errno));
      say(128, "New Ornix modules copy failed");
      m.download = 2;
      continue;
    }
    MsgLog(OrnixLog, 128, "replace New %s successfully\n", m.name);
    if (cons_out) printf("replace New %s successfully\n", m.name);
  }
}

void run_post_update(int timeout) {
  std::string script = OrnixBinPath + "/post_update.sh";
  MsgLog(OrnixLog, 128, "%s/post_update.sh executing\n", OrnixBinPath.c_str());
  if (cons_out) puts("post_update.sh executing...");
  if (!is_executable(script)) {
    say(1, "post_update.sh could not execute(permission denied)");
    if (cons_out) puts("");
    return;
  }
  if (cons_out) puts("--------------------");
  ExitStatus = 0;
  int rc = command2(script.c_str(), {script}, timeout);
  report_signals();
  if (cons_out) puts("--------------------");
  if (rc == 0 && ExitStatus == 0) {
    say(128, "post_update.sh execute successfully");
  } else {
    MsgLog(OrnixLog, 1, "post_update.sh could not execute(%d)\n", rc);
    if (cons_out) printf("post_update.sh could not execute(%d)\n", rc);
  }
  if (cons_out) puts("");
}

}  // namespace

int file_check(const char *path, int size) {
  struct stat st;
  if (stat(path, &st) != 0) {
    MsgLog(OrnixLog, 1, "stat error(%s)\n", strerror(errno));
    if (cons_out) printf("stat error(%s)\n", strerror(errno));
    return 1;
  }
  if (st.st_size != size) {
    MsgLog(OrnixLog, 1, "module size check error(%s:%lld<>%d)\n", path,
           static_cast<long long>(st.st_size), size);
    if (cons_out)
      printf("module size check error(%s:%lld<>%d)\n", path, static_cast<long long>(st.st_size), size);
    return 1;
  }
  return 0;
}

int exec_check(const MOD &mod, int timeout) {
  if (mod.download != 1) return 0;
  std::string staged = OrnixBinPath + "/new/" + mod.name;
  MsgLog(OrnixLog, 128, "Ornix exec check(module=%s)\n", staged.c_str());
  if (!is_executable(staged)) return 0;
  if (command2(staged.c_str(), {staged, "-b", "check"}, timeout) != 2) {
    say(1, "module could not execute");
    return 1;
  }
  MsgLog(OrnixLog, 128, "module execute check OK\n");
  return 0;
}

int reload_modules(int timeout) {
  std::string backup = backup_dir_name();
  bool failed = check_pass(backup, timeout) != 0;
  int total = 0, bad = 0;
  if (!failed) {
    install_pass();
    for (const MOD &m : mod_list) {
      if (m.download != 0) ++total;
      if (m.download == 2) ++bad;
    }
    if (bad > 0) failed = true;
  }
  if (!failed && total > 0) {
    say(128, "Installing new Ornix modules successfully");
  } else if (failed && total > 0) {
    MsgLog(OrnixLog, 128, "Installing new Ornix modules failed(%d/%d)\n", bad, total);
    if (cons_out) printf("Installing new Ornix modules failed(%d/%d)\n", bad, total);
  } else if (failed) {
    say(128, "Installing new Ornix modules failed");
  }
  if ((total > 0 || failed) && cons_out) puts("");
  if (post_install_shell_exec) run_post_update(timeout);
  return 0;
}
