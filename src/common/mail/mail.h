// Notification mails, forwarding and local delivery: the entry points of the
// suite's mail scanner and on-access scanner.
//
// A scanner that found something calls
//   SendNotify(from, to, env_from, env_to, &message, 'A', status, attach, group)
// once per addressee (kinds 'A' administrator, 'R' recipient, 'S' sender,
// 'B' spam with status = spam level 1..3), or, for one infected file,
//   DetectNotify("admin@example.org,root@example.org", path, action, save_dir).
// The configuration must be read and the log open first; SmtpTimeout bounds
// every wait on a server. DeliverMail(&message) hands a scanned message to the
// ForwardMailer agent and writes each recipient's result into Status.
#ifndef ORNIX_MAIL_H
#define ORNIX_MAIL_H

#include <cstdio>
#include <ctime>

#include "config.h"
#include "ornix_lib.h"

// One MIME part of a scanned message.
struct attach_obj {
  char *ContentType;  // may be null
  char *Encoding;
  int EncodeType;
  int Size;
  char *Filename;
  int ScanStatus;     // scan result of this part, 0 clean
  char *VirusName;
  int check;
  attach_obj *next;
};

// One notification being written. The texts marked borrowed belong to the
// message object or the configuration; the rest to the record.
struct notifymail {
  FILE *fp;               // the temporary message file, read and write
  char *filename;         // its path
  char type;              // 'R', 'S', 'A' or 'B'
  const char *mail;       // borrowed: path of the stored scanned message
  const char *sender;     // borrowed: envelope sender of the scanned message
  const char *recipient;  // borrowed: envelope recipient
  const char *subject;    // borrowed, may be null
  const char *msgid;      // borrowed, may be null
  char *rcvdate;
  char *snddate;
  char *virusinfo;        // detection summary
  char *virusname;        // detection details; may be the same block as virusinfo
  const char *statmsg;    // borrowed from the "locale" section, may be null
};

#define ORNIX_MAIL_VERSION "6.0.7.1"
#define ORNIX_MAILER "Ornix Mail scanner"

// Capacities. Longer values are cut (header values, template lines, macro
// expansions) or refused (qmail addresses, command lines), with a log line.
#define NOTIFY_HEADER_MAX 1023   // header value bytes
#define NOTIFY_LINE_MAX 8191     // template and message line chunk
#define MACRO_BUFSIZE 8192       // macro_expan output area
#define QMAIL_ADDRESS_MAX 1003   // sender or recipient for qmail-queue
#define FORWARD_ARGV_MAX 9       // words of a ForwardMailer command line
#define FORWARD_MAILER_MAX 1023  // ForwardMailer value
#define DETECT_RCPT_MAX 19       // recipients of DetectNotify

// Status value of a recipient whose delivery failed for a system reason.
#define DELIVER_SYS_ERROR 10

// Names of the scan results 0..9 and of the spam levels 1..3.
extern const char *const ScanStatusName[10];
extern const char *const SpamLevelName[4];

// The record SendNotify is building, null otherwise.
extern notifymail *Notify;

int open_mail(notifymail *n);
int close_mail(notifymail *n);
int write_header2(notifymail *n, const char *name, const char *value);
int write_header(notifymail *n, const char *name, const char *value, const char *charset);
int write_mime_header(FILE *fp, const char *name, const char *value, const char *charset);
// Breaks text in place into lines of about 30 columns; the text needs room
// for one more byte per line. Returns the number of lines.
int fold(char *text, int used);
// out holds MACRO_BUFSIZE bytes.
int macro_expan(notifymail *n, const char *line, char *out);
int write_mail(mail_obj *m, notifymail *n, const char *tmpl, int attach, const char *ctype,
               const char *charset);
char *datetime_str(time_t t);
int mail_send(const char *from, const char *to, FILE *fp);
int isJapanese(const char *text);

int SendNotify(const char *from, const char *to, const char *env_from, const char *env_to,
               mail_obj *m, int type, int status, int attach, GRP *group);
void DetectNotify(const char *to, const char *file, int action, const char *save_dir);
int euc2jis_print(FILE *fp, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void DeliverMail(mail_obj *m);
int ForwardMail(const char *from, char **to, int *status, FILE *fp);
// type 3 SMTP, 2 LMTP; rfd must be a stream socket (wfd may be the same one).
int smtp(int type, const char *from, char **to, int *status, FILE *fp, int rfd, int wfd,
         const char *domain);
int qmail(const char *from, char **to, FILE *fp, int mfd, int efd);
int fd_copy(int to, int from);
int fd_move(int to, int from);

#endif
