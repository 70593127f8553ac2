// The ends of an ornixfs run: stopping the engine it started, and the exit
// on a signal or an engine that cannot be brought back.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "ornix_common.h"
#include "ornixfs.h"

void stop_engine(void) {
  const char *pidfile = config_text("aveserver", "PidFile");
  int pid = get_ave_pid(pidfile);
  if (pid <= 1) return;
  kill(pid, SIGTERM);
  MsgLog(OrnixLog, 2, "clamd stopped\n");
  usleep(100 * 1000);
  pid = get_ave_pid(pidfile);
  if (pid > 1) {
    kill(pid, SIGKILL);
    unlink(pidfile);
    MsgLog(OrnixLog, 2, "clamd killed\n");
  }
}

void abort_exit(int sig) {
  // A fault inside the clean-up must end the process, not re-enter here.
  signal(SIGSEGV, SIG_DFL);
  signal(SIGTERM, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  if (Mail != nullptr) unlink(mail_path);
  if (stdin_copy_path[0] != '\0') unlink(stdin_copy_path);
  if (MyExec == 1) stop_engine();
  if (sig != SIGSEGV) {
    MsgLog(OrnixLog, 2, "Ornix File scanner stoped\n");
    fputs("Ornix File scanner stoped\n", stderr);
    exit(10);
  }
  MsgLog(OrnixLog, 1, "Ornix File scanner internal error\n");
  fputs("Ornix File scanner internal error\n", stderr);
  exit(11);
}
