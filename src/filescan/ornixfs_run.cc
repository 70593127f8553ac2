// Stages of the ornixfs run: settings dump, summary, start-time file, result
// mail hand-over and the single-file mode.
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ornix_common.h"
#include "ornixfs.h"
#include "protocol.h"
#include "safe_file.h"

namespace {

const char *yes_no(int flag) { return flag != 0 ? "yes" : "no"; }
const char *text(const char *s) { return s != nullptr ? s : ""; }

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[512];
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

// Each block goes to the log first and then, unchanged, to the report.
void log_and_show(const std::vector<std::string> &lines, int log_level, int show_level) {
  for (const std::string &l : lines) MsgLog(OrnixLog, log_level, "%s", l.c_str());
  for (const std::string &l : lines) Output(Report, show_level, "%s", l.c_str());
}

const char *action_name(int a) { return a >= 0 && a <= 3 ? act_str[a] : ""; }

}  // namespace

void settings_dump(const char *mscond) {
  char engine[sizeof AVE_info.engineVersion + 1];
  memcpy(engine, AVE_info.engineVersion, sizeof AVE_info.engineVersion);
  engine[sizeof AVE_info.engineVersion] = '\0';  // never read past the record
  log_and_show({"Ornix version -----------------------------\n",
                format(" version        : %s\n", ORNIXFS_VERSION),
                format(" engine version : %s\n", engine),
                format(" VDF version    : %d\n", AVE_info.vdfVersion)},
               2, 2);
  log_and_show({"File scan setting ---------------------------\n",
                format(" log_level       : %d\n", LogLevel),
                format(" directory scan  : %s\n", yes_no(dir_scan_flag)),
                format(" symlink scan    : %s\n", yes_no(symlink_scan_flag)),
                format(" scan level      : %d\n", scan_level),
                format(" action          : %s\n", action_name(action)),
                format(" save directory  : %s\n", text(save_dir)),
                format(" show level      : %d\n", ShowLevel),
                format(" report address  : %s\n", text(report_address)),
                format(" mail send cond  : %s\n", text(mscond)),
                format(" output          : %s\n", text(output_path)),
                format(" exclude mask    : %s\n", text(exclude_mask)),
                format(" include mask    : %s\n", text(include_mask)),
                format(" update only     : %s\n", yes_no(updateonly_flag)),
                format(" executable only : %s\n", yes_no(executableonly_flag)),
                format(" cache check     : %s\n", yes_no(md5check_flag)),
                "File scan start -----------------------------\n"},
               2, 2);
}

void write_summary(time_t begin_time, time_t end_time) {
  char start[9], end[9], total[9];
  time_of_day_text(begin_time, 0, start);
  time_of_day_text(end_time, 0, end);
  time_of_day_text(end_time - begin_time, 1, total);
  std::vector<std::string> lines = {
      "scan results -------------------\n",
      format(" directories : %8d\n", scan_dir_num),
      format("       files : %8d\n", scan_file_num),
      format("      alerts : %8d\n", alert_num),
      format("    infected : %8d\n", infected_file_num),
      format("   protected : %8d\n", protected_file_num),
      format("      errors : %8d\n", error_file_num),
      format("      delete : %8d\n", delete_file_num),
      format("        move : %8d\n", move_file_num),
      format("     exclude : %8d\n", exclude_file_num),
      "--------------------------------\n",
      format("  start time : %.8s\n", start),
      format("    end time : %.8s\n", end),
      format("   scan time : %.8s\n", total),
      "--------------------------------\n",
  };
  for (const std::string &l : lines) MsgLog(OrnixLog, 4, "%s", l.c_str());
  erase_line();
  Output(Report, 4, "\n");
  for (const std::string &l : lines) Output(Report, 4, "%s", l.c_str());
}

// A file left with an error (scan error, time-out, not scanned completely,
// unreadable) has no verdict: a moved check time would have the next -u run
// skip it for good.
void write_start_time_file(const char *path, time_t begin_time, int engine_down) {
  if (path == nullptr || path[0] == '\0') return;
  if (engine_down || error_file_num != 0) {
    MsgLog(OrnixLog, 2, "check start time file %s not moved: %s\n", path,
           engine_down ? "nothing scanned" : "files without a verdict");
    return;
  }
  std::string err;
  if (atomic_replace(path, std::to_string(static_cast<int>(begin_time)), 0644, &err) != 0)
    MsgLog(OrnixLog, 16, "check start time file: %s\n", err.c_str());
}

void finish_mail(const char *mscond, const char *from_address, char **recipients) {
  if (Mail == nullptr) return;
  bool due = mscond == nullptr || strcasecmp(mscond, "alert") != 0 || alert_num != 0;
  if (due) {
    MsgLog(OrnixLog, 2, "Send report mail\n");
    rewind(Mail);
    split_recipients(report_address, recipients, ORNIXFS_MAX_RECIPIENTS);
    SendMail(from_address, recipients, Mail);
    check_stop();
  }
  FILE *fp = Mail;
  Mail = nullptr;
  fclose(fp);
  unlink(mail_path);
}

namespace {

// Copies standard input into stdin_copy_path; 0, or the exit status 16
// after the failure message.
int copy_stdin(void) {
  char name[sizeof stdin_copy_path];
  int n = snprintf(name, sizeof name, "%s/.orfs.%d", TempPath, static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
    printf("open error: %s\n", strerror(ENAMETOOLONG));
    return 16;
  }
  int fd = create_private_file(name, O_WRONLY);
  if (fd < 0) {
    // Nothing is unlinked here: the name may be somebody else's planted file.
    printf("open error: %s\n", strerror(errno));
    return 16;
  }
  // Only a file this run created is ever deleted, also by the signal path.
  memcpy(stdin_copy_path, name, static_cast<size_t>(n) + 1);
  char buf[1024];
  for (;;) {
    ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0 && errno == EINTR) {
      check_stop();
      continue;
    }
    if (r < 0) {
      printf("read error: %s\n", strerror(errno));
      break;
    }
    if (r == 0) {
      if (close(fd) == 0) return 0;
      printf("write error: %s\n", strerror(errno));
      fd = -1;
      break;
    }
    if (!write_all(fd, buf, static_cast<size_t>(r))) {
      printf("write error: %s\n", strerror(errno != 0 ? errno : EIO));
      break;
    }
  }
  if (fd >= 0) close(fd);
  unlink(stdin_copy_path);
  stdin_copy_path[0] = '\0';
  return 16;
}

}  // namespace

int single_file_run(const char *arg, time_t check_time) {
  char path[1024];
  if (strlen(arg) >= sizeof path) {
    printf("Error! file path longer than %zu bytes\n", sizeof path - 1);
    engine_leave();
    return 255;
  }
  memcpy(path, arg, strlen(arg) + 1);
  bool copied = false;
  if (strcmp(path, "-") == 0) {
    int rc = copy_stdin();
    if (rc != 0) {
      fflush(stdout);
      engine_leave();
      return rc;
    }
    memcpy(path, stdin_copy_path, strlen(stdin_copy_path) + 1);
    copied = true;
  }
  check_stop();
  int r = FileCheck2(path, check_time);
  check_stop();
  if (copied) {
    unlink(stdin_copy_path);
    stdin_copy_path[0] = '\0';
  }
  engine_leave();
  return r < 0 ? 255 : r;
}
