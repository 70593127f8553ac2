// Report output of ornixfs: one writer for the terminal or report file and
// the result mail, the progress spinner, and the head of the result mail.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "ornix_common.h"
#include "ornixfs.h"

namespace {
const char kEraseLine[] = "\x1b[2K";
const char kSpinner[] = "/-\\|";

// The spinner and the erase sequences belong on a terminal only: through a
// pipe or into a file (cron mails a job's output) they are noise on every line.
bool report_on_terminal() {
  static const int tty = isatty(STDOUT_FILENO);
  return Report == stdout && tty == 1;
}
}  // namespace

int check_level(int level) {
  if (ShowLevel != 0 && (ShowLevel & level) != 0) return 0;
  return -1;
}

void Output(FILE *fp, int level, const char *fmt, ...) {
  if (check_level(level) == -1) return;
  va_list ap;
  // The mail gets exactly what the report shows, so both are formatted from
  // the same arguments; terminal control sequences never pass through here.
  if (Mail != nullptr) {
    va_start(ap, fmt);
    vfprintf(Mail, fmt, ap);
    va_end(ap);
    fflush(Mail);
  }
  va_start(ap, fmt);
  if (fp == nullptr) {
    vfprintf(stdout, fmt, ap);
  } else {
    vfprintf(fp, fmt, ap);
    fflush(fp);
  }
  va_end(ap);
}

void erase_line(void) {
  if (!report_on_terminal()) return;
  fwrite(kEraseLine, 1, sizeof kEraseLine - 1, stdout);
  fflush(stdout);
}

char spinner_char(int counter) {
  // The counter may have wrapped past INT_MAX on a huge walk; keep the index
  // non-negative instead of reading before the table.
  unsigned idx = static_cast<unsigned>(counter) % 4U;
  return kSpinner[idx];
}

void guruguru(int counter, const char *path) {
  if (!report_on_terminal()) return;
  fprintf(stdout, "\r\x1b[2K%c%s", spinner_char(counter), path != nullptr ? path : "");
  fflush(stdout);
}

int write_mail_head(FILE *fp, const char *subject, const char *from, const char *to,
                    time_t now) {
  struct tm lt;
  if (localtime_r(&now, &lt) == nullptr) memset(&lt, 0, sizeof lt);
  char date[128];
  if (strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &lt) == 0) date[0] = '\0';
  fprintf(fp, "Subject: %s\n", subject != nullptr ? subject : "");
  fprintf(fp, "From: Ornix Filescanner <%s>\n", from != nullptr ? from : "");
  fprintf(fp, "To: %s\n", to != nullptr ? to : "");
  fprintf(fp, "Date: %s\n", date);
  fprintf(fp, "Message-ID: <%04d%02d%02d%02d%02d%02d.%d.ornix@%s>\n", lt.tm_year + 1900,
          lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, static_cast<int>(getpid()),
          MailHostName);
  fputs("MIME-Version: 1.0\n", fp);
  fputs("Content-Type: text/plain; charset=UTF-8\n", fp);
  fputs("Content-Transfer-Encoding: 8bit\n", fp);
  fprintf(fp, "X-Mailer: %s Ver.%s\n", ORNIXFS_TITLE, ORNIXFS_VERSION);
  fputs("X-Priority: 3 (normal)\n", fp);
  fputs("\n", fp);
  fputs("≪Ornixファイル・スキャン結果≫\n\n", fp);
  fputs("以下の通りファイルをスキャンした結果を送付します。\n\n", fp);
  return fflush(fp) == 0 && !ferror(fp) ? 0 : -1;
}
