// The updater's process-wide state and the flags its signal handlers set.
// Kept apart from the run so that the download and installation code, which
// read this state, never call back into the file that drives them.
#include <csignal>
#include <string>
#include <vector>

#include "log.h"
#include "ornixup.h"

int cons_out = 1;
const char *option_url = nullptr;
int force = 0;
int reload = 0;
volatile sig_atomic_t ExitStatus = 0;
std::string update_server;
int update_port = 80;
std::string OrnixBinPath;
std::vector<MOD> mod_list;
int post_install_shell_exec = 0;

namespace {

volatile sig_atomic_t pipe_seen = 0;
volatile sig_atomic_t alarm_seen = 0;

}  // namespace

void cmd_exit(int) {
  ExitStatus = -1;
  pipe_seen = 1;
}

void time_over_exit(int) {
  ExitStatus = 0;
  alarm_seen = 1;
}

void report_signals(void) {
  if (pipe_seen) {
    pipe_seen = 0;
    MsgLog(OrnixLog, 128, "exit command status:%d\n", static_cast<int>(ExitStatus));
  }
  if (alarm_seen) {
    alarm_seen = 0;
    MsgLog(OrnixLog, 128, "exit command status: timeout\n");
  }
}

