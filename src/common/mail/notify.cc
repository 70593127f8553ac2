// Scan notifications of the mail scanner: chooses the template and header
// settings by kind and result, fills the record, writes and sends the mail.
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"
#include "log.h"
#include "mail.h"
#include "mail_internal.h"

using namespace ornix_mail;

notifymail *Notify = nullptr;

namespace {

const char *group_text(GRP *group, const char *section, const char *key, const char *fallback) {
  const char *value = nullptr;
  if (GetGroupConfigValue(group, section, key, STR, &value) != 0 || value == nullptr)
    return fallback;
  return value;
}

std::string capitalised(const char *word) {
  std::string s = word;
  if (!s.empty()) s[0] = static_cast<char>(toupper(static_cast<unsigned char>(s[0])));
  return s;
}

const char *kind_word(int type) {
  switch (type) {
    case 'A': return "admin.";
    case 'R': return "recipient.";
    case 'S': return "sender.";
    default: return "";
  }
}

// The section holding the template: the kind's own, the result's, and at
// last the plain notify section whose catalogue default names the shipped
// template (the group-aware lookup never reaches it from a sub-section).
bool find_template(GRP *group, int type, const char *name, std::string &section,
                   const char **tmpl) {
  std::string candidates[3];
  if (type == 'B') {
    candidates[0] = std::string("smtpscan.spam_notify.") + name;
    candidates[1] = "smtpscan.spam_notify";
  } else {
    candidates[0] = std::string("smtpscan.notify.") + kind_word(type) + name;
    candidates[1] = std::string("smtpscan.notify.") + name;
    candidates[2] = "smtpscan.notify";
  }
  for (const std::string &c : candidates) {
    if (c.empty()) continue;
    const char *value = nullptr;
    if (GetGroupConfigValue(group, c.c_str(), "Template", STR, &value) == 0 && value != nullptr) {
      section = c;
      *tmpl = value;
      return true;
    }
  }
  return false;
}

char *dup_or_empty(const char *s) { return strdup(s ? s : ""); }

// The detection texts: from the parts whose result is the notified one, or
// from the whole message.
void detection_texts(notifymail *n, mail_obj *m, int status) {
  std::string info, names;
  bool any = false;
  if (m->AttachObj != nullptr) {
    MsgLog(OrnixLog, 8192, "[DEBUG] attachment object check\n");
    for (attach_obj *a = m->AttachObj; a != nullptr; a = a->next) {
      if (a->ScanStatus != status) continue;
      any = true;
      MsgLog(OrnixLog, 8192, "[DEBUG] attachment object create\n");
      const char *vname = a->VirusName ? a->VirusName : "";
      if (!info.empty()) info += ",";
      info += vname;
      MsgLog(OrnixLog, 8192, "[DEBUG] VINFO:%s\n", vname);
      if (!names.empty()) names += "\n";
      names += std::string(a->Filename ? a->Filename : "") + "(" +
               (a->ContentType ? a->ContentType : "none") + ") " + ScanStatusName[status] + " " +
               vname;
      MsgLog(OrnixLog, 8192, "[DEBUG] VNAME:%s\n", names.c_str());
    }
  }
  if (any) {
    MsgLog(OrnixLog, 8192, "[DEBUG] attachment virus name\n");
    MsgLog(OrnixLog, 8192, "[DEBUG] %s\n", names.c_str());
  } else {
    MsgLog(OrnixLog, 8192, "[DEBUG] none attachment\n");
    info = names = m->VirusName && m->VirusName[0] ? m->VirusName : "(none)";
    MsgLog(OrnixLog, 8192, "[DEBUG] VINFO:%s\nVNAME:%s\n", info.c_str(), names.c_str());
  }
  free(n->virusinfo);
  free(n->virusname);
  n->virusinfo = strdup(info.c_str());
  n->virusname = strdup(names.c_str());
}

notifymail *new_record(mail_obj *m, int type, const char *env_from, const char *env_to) {
  notifymail *n = static_cast<notifymail *>(calloc(1, sizeof(notifymail)));
  if (n == nullptr) return nullptr;
  n->type = static_cast<char>(type);
  n->mail = m->fname;
  n->sender = env_from;
  n->recipient = env_to;
  n->subject = m->Subject;
  n->msgid = m->MessageID;
  n->rcvdate = datetime_str(m->ReceiveDateTime);
  n->snddate = m->SendDateTime == 0 ? strdup("(none)") : datetime_str(m->SendDateTime);
  n->virusinfo = dup_or_empty(nullptr);
  n->virusname = dup_or_empty(nullptr);
  if (n->rcvdate == nullptr || n->snddate == nullptr || n->virusinfo == nullptr ||
      n->virusname == nullptr) {
    close_mail(n);
    return nullptr;
  }
  return n;
}

void write_fields(notifymail *n, mail_obj *m, const char *from, const char *to, int attach,
                  const char *ctype, const char *charset, const char *subject) {
  write_header2(n, "From", from);
  write_header2(n, "To", to);
  write_header(n, "Subject", subject, charset);
  char date[128];
  format_now(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z");
  write_header2(n, "Date", date);
  if (MailHostName[0] == '\0') set_hostname();
  char stamp[32];
  format_now(stamp, sizeof stamp, "%Y%m%d%H%M%S");
  std::string msgid = std::string("<") + stamp + "." + (m->mid ? m->mid : "") + ".ornix@" +
                      MailHostName + ">";
  write_header2(n, "Message-ID", msgid.c_str());
  write_header2(n, "MIME-Version", "1.0");
  if (attach != 0) {
    std::string v = std::string("multipart/mixed; boundary=\"----") + (m->mid ? m->mid : "") + "\"";
    write_header2(n, "Content-Type", v.c_str());
  } else {
    std::string v = std::string(ctype) + "; charset=\"" + charset + "\"";
    write_header2(n, "Content-Type", v.c_str());
    write_header2(n, "Content-Transfer-Encoding",
                  strncasecmp(charset, "iso-2022-jp", 11) == 0 ? "7bit" : "8bit");
  }
  write_header2(n, "X-Mailer", ORNIX_MAILER);
  write_header2(n, "X-Ornix-Version", ORNIX_MAIL_VERSION);
  write_header2(n, "X-Priority", "3 (normal)");
  // so that auto-responders and list servers do not answer it (RFC 3834)
  write_header2(n, "Auto-Submitted", "auto-generated");
}

}  // namespace

int SendNotify(const char *from, const char *to, const char *env_from, const char *env_to,
               mail_obj *m, int type, int status, int attach, GRP *group) {
  MsgLog(OrnixLog, 32, "Notify %c %d (<%s> ==> <%s>)\n", type, status, from ? from : "",
         to ? to : "");
  const char *never = nullptr;
  if (to != nullptr && GetConfigValue("general", "NotSendNotifyTo", STR, &never) == 0 &&
      never != nullptr && match(to, never, 0)) {
    MsgLog(OrnixLog, 32, "Not send notify mail(%s is match NotSendNotifyTo)\n", to);
    return 0;
  }
  if (to == nullptr || to[0] == '\0') {
    MsgLog(OrnixLog, 32, "Not send notify mail(no recipient address)\n");
    return 0;
  }
  bool spam = type == 'B';
  if (m == nullptr || (spam && (status < 1 || status > 3)) || (!spam && (status < 0 || status > 9))) {
    MsgLog(OrnixLog, 32, "Not send notify mail(%s %d unknown)\n", spam ? "spam level" : "scan result",
           status);
    return -1;
  }
  const char *name = spam ? SpamLevelName[status] : ScanStatusName[status];
  std::string section;
  const char *tmpl = nullptr;
  if (!find_template(group, type, name, section, &tmpl)) {
    MsgLog(OrnixLog, 32, "Could not find Notify Mail Template\n");
    return -1;
  }
  MsgLog(OrnixLog, 8192, "[DEBUG] object creat(%s)\n", section.c_str());
  notifymail *n = new_record(m, type, env_from, env_to);
  if (n == nullptr) {
    MsgLog(OrnixLog, 1, "Could not create Notify data\n");
    return -1;
  }
  Notify = n;
  std::string key = spam ? "Spam" + capitalised(name) + "Message" : capitalised(name) + "Message";
  if (!spam) detection_texts(n, m, status);
  const char *statmsg = nullptr;
  n->statmsg = GetConfigValue("locale", key.c_str(), STR, &statmsg) == 0 && statmsg ? statmsg : "";

  MsgLog(OrnixLog, 8192, "[DEBUG] mail create\n");
  if (open_mail(n) != 0) {
    MsgLog(OrnixLog, 32, "Could not open Notify Mail(%s)\n", m->fname ? m->fname : "");
    Notify = nullptr;
    return -1;
  }
  MsgLog(OrnixLog, 8192, "[DEBUG] header create\n");
  const char *ctype = group_text(group, section.c_str(), "ContentType", "text/plain");
  const char *charset = group_text(group, section.c_str(), "Charset", "iso-2022-jp");
  const char *subject = group_text(group, section.c_str(), "Subject", "Ornix scan status notify");
  write_fields(n, m, from, to, attach, ctype, charset, subject);

  MsgLog(OrnixLog, 8192, "[DEBUG] body create\n");
  int rc;
  if (write_mail(m, n, tmpl, attach, ctype, charset) == 0) {
    rc = mail_send(type == 'A' ? from : "", to, n->fp);
  } else {
    MsgLog(OrnixLog, 32, "Notify mail send error!\n");
    rc = -1;
  }
  MsgLog(OrnixLog, 8192, "[DEBUG] send notify done.\n");
  close_mail(n);
  Notify = nullptr;
  return rc;
}

int euc2jis_print(FILE *fp, const char *fmt, ...) {
  char text[8192];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  char jis[euc2jis_bound(sizeof text)];
  euc2jis_n(text, strlen(text), jis, sizeof jis);
  fputs(jis, fp);
  return fflush(fp);
}
