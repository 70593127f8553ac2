// The ends of an ornixfs run that are not its normal end: a stop by signal
// (SIGINT, SIGTERM, or SIGPIPE when the report's reader has gone), seen by
// the main path between files and inside every wait, and a crash.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ornix_common.h"
#include "ornixfs.h"
#include "ornixfs_json.h"
#include "stop_signal.h"

namespace {

// What the pipeline, the actions and the engine leave behind, handed in by
// the run before the handlers are installed: every part of the scan calls
// this file to stop, so it calls none of them back by name.
void (*pipeline_cleanup)(void) = nullptr;
void (*action_cleanup)(void) = nullptr;
void (*engine_cleanup)(void) = nullptr;

// Only calls that are safe inside a signal handler: the run's own temporary
// files are known by name, and unlink is all it takes to remove them.
void remove_temp_files(void) {
  if (pipeline_cleanup != nullptr) pipeline_cleanup();
  if (action_cleanup != nullptr) action_cleanup();
  if (stdin_copy_path[0] != '\0') unlink(stdin_copy_path);
  if (Mail != nullptr && mail_path[0] != '\0') unlink(mail_path);
}

void write_text(int fd, const char *text) {
  ssize_t ignored = write(fd, text, strlen(text));
  (void)ignored;
}

// A fault: nothing of the program's state can be trusted any more, so the
// handler itself removes the temporary files and ends the process.
void crash_exit(int) {
  remove_temp_files();
  static const char kText[] = "Ornix File scanner internal error\n";
  if (OrnixLog != nullptr) write_text(fileno(OrnixLog), kText);
  write_text(STDERR_FILENO, kText);
  _exit(11);
}

}  // namespace

void set_exit_cleanups(void (*pipeline)(void), void (*actions)(void), void (*engine)(void)) {
  pipeline_cleanup = pipeline;
  action_cleanup = actions;
  engine_cleanup = engine;
}

void install_signal_handlers(void) {
  static const int kStop[] = {SIGINT, SIGTERM, SIGPIPE};
  install_stop_handler(kStop, 3, nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = crash_exit;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;   // a fault inside the handler ends the process
  sigaction(SIGSEGV, &sa, nullptr);
}

void check_stop(void) {
  if (stop_requested()) abort_exit(ornix_stop_signal);
}

void abort_exit(int sig) {
  // A second signal changes nothing now; a closed report stream must not
  // end the process in the middle of the clean-up.
  signal(SIGTERM, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  remove_temp_files();
  if (sig == SIGPIPE) MsgLog(OrnixLog, 1, "report output closed by its reader(%s)\n", strerror(EPIPE));
  if (engine_cleanup != nullptr) engine_cleanup();
  MsgLog(OrnixLog, 2, "Ornix File scanner stoped\n");
  fputs("Ornix File scanner stoped\n", stderr);
  run_report_end(10);
  exit(10);
}
