// The on-access scanner's detection mail: a fixed Japanese text about one
// infected file and what was done with it.
#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "mail.h"
#include "mail_internal.h"
#include "protocol.h"

using namespace ornix_mail;

namespace {

const char *temp_dir() {
  if (TempDir != nullptr && TempDir[0] != '\0') return TempDir;
  const char *path = config_text("path", "TempPath");
  return path[0] != '\0' ? path : "/tmp";
}

std::string sender_address() {
  const char *from = config_text("onaccess.detected", "NotifyFromAddress");
  if (from[0] != '\0') return from;
  if (MailHostName[0] == '\0') set_hostname();
  return std::string("postmaster@") + MailHostName;
}

// A file name or directory with a line break would end the header early or
// add fields; the body is the only place it can appear, and it stays there.
std::string header_safe(const char *s) {
  std::string v = s ? s : "";
  for (char &c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return v;
}

void write_detection(FILE *fp, const std::string &from, const char *to, const char *id,
                     const char *file, int action, const char *save_dir) {
  char date[128], stamp[32];
  format_now(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z");
  format_now(stamp, sizeof stamp, "%Y%m%d%H%M%S");
  fprintf(fp,
          "Subject: Ornix Virus detected!\nFrom: Ornix <%s>\nTo: %s\nMIME-Version: 1.0\n"
          "Content-Type: text/plain; charset=\"UTF-8\"\nContent-Transfer-Encoding: 8bit\n"
          "Date: %s\nMessage-ID: <%s.%s.ornix.onaccess@localhost>\nX-Mailer: %s Ver.%s\n"
          "X-Ornix-Notify: virus detected\nX-Priority: 3 (normal)\n"
          "Auto-Submitted: auto-generated\n\n",
          header_safe(from.c_str()).c_str(), header_safe(to).c_str(), date, stamp, id,
          ORNIX_MAILER, ORNIX_MAIL_VERSION);
  fputs("≪ウイルス通知≫\n\n", fp);
  fputs("以下のファイルがウイルスに感染しています。\n\n", fp);
  fprintf(fp, "ファイル：%s\n\n", file ? file : "");
  if (action == 1) {
    fputs("ファイルは削除されました。\n\n", fp);
  } else if (action == 2) {
    fputs("ファイルは以下のディレクトリに隔離されました。\n", fp);
    fprintf(fp, "ディレクトリ：%s%s\n\n", save_dir ? save_dir : "", file ? file : "");
  } else {
    fputs("ファイルは削除も隔離もされていません。\n", fp);
    fputs("ファイルの取り扱いにご注意ください。\n", fp);
  }
  fputs("詳細はログファイルを確認してください。\n", fp);
  fflush(fp);
}

}  // namespace

void DetectNotify(const char *to, const char *file, int action, const char *save_dir) {
  if (to == nullptr || to[0] == '\0') {
    MsgLog(OrnixLog, 32, "Not send notify mail(no recipient address)\n");
    return;
  }
  std::string from = sender_address();
  std::string list_text = to;
  std::vector<std::string> rcpts;
  size_t start = 0;
  while (start <= list_text.size()) {
    size_t comma = list_text.find(',', start);
    if (comma == std::string::npos) comma = list_text.size();
    if (rcpts.size() == DETECT_RCPT_MAX && comma > start) {
      MsgLog(OrnixLog, 32, "Notify mail: recipients after the first %d ignored\n",
             DETECT_RCPT_MAX);
      break;
    }
    if (comma > start) rcpts.push_back(list_text.substr(start, comma - start));
    start = comma + 1;
  }
  if (rcpts.empty()) {
    MsgLog(OrnixLog, 32, "Not send notify mail(no recipient address)\n");
    return;
  }
  std::vector<char *> list;
  for (std::string &r : rcpts) list.push_back(r.data());
  list.push_back(nullptr);

  char id[16];
  snprintf(id, sizeof id, "%06d", static_cast<int>(getpid()));
  std::string path = std::string(temp_dir()) + "/virus.notify." + id;
  FILE *fp = create_exclusive(path.c_str());
  if (fp == nullptr) {
    MsgLog(OrnixLog, 1, "Could not create notify mail.(%s:%s)\n", path.c_str(), strerror(errno));
    return;
  }
  write_detection(fp, from, to, id, file, action, save_dir);
  rewind(fp);
  SendMail(from.c_str(), list.data(), fp);
  if (unlink(path.c_str()) != 0)
    MsgLog(OrnixLog, 1, "Could not remove notify mail.(%s:%s)\n", path.c_str(), strerror(errno));
  fclose(fp);
  MsgLog(OrnixLog, 8192, "[DEBUG] Notify Mail temporary file(%s)\n", path.c_str());
  MsgLog(OrnixLog, 8192, "[DEBUG] Notify Mail sending(%s ==> %s)\n", from.c_str(), list[0]);
}
