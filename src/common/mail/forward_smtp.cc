// The SMTP/LMTP dialogue with a delivery agent, with a result per recipient.
#include <errno.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "log.h"
#include "mail.h"
#include "protocol.h"
#include "protocol_internal.h"

using ornix_smtp::Link;

namespace {

bool positive(const char *code) { return code[0] == '2'; }

// A reply code as a status; no reply at all (time-out, connection lost) is a
// system failure.
int code_value(const char *code) {
  if (strlen(code) == 3 && code[0] >= '1' && code[0] <= '5') return atoi(code);
  return DELIVER_SYS_ERROR;
}

struct Dialogue {
  Link link;
  int *status;
  int count;
  std::vector<char> accepted;  // per recipient: accepted at RCPT
  std::vector<char> refused;   // per recipient: slot already holds a refusal

  void refuse(int i, int value) {
    if (status != nullptr) status[i] = value;
    refused[i] = 1;
  }
  // Every recipient not refused yet takes this result: a transaction the
  // agent refused as a whole delivered nothing.
  void refuse_rest(const char *code) {
    int value = code_value(code);
    for (int i = 0; i < count; i++)
      if (!refused[i]) refuse(i, value);
  }
};

bool command(Dialogue &d, const char *fmt, const char *arg) {
  char cmd[SMTP_CMD_SIZE];
  if (strpbrk(arg, "\r\n") != nullptr) {
    MsgLog(OrnixLog, 64, "Forward: address with a line break refused\n");
    return false;
  }
  int n = snprintf(cmd, sizeof cmd, fmt, arg);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
    MsgLog(OrnixLog, 64, "Forward: command over %zu bytes refused\n", sizeof cmd - 1);
    return false;
  }
  ornix_smtp::send_command(d.link, cmd);
  return true;
}

// Greeting, HELO or LHLO, MAIL, RCPT for each; false when nothing is to be
// sent (every recipient's slot then tells why).
bool envelope(Dialogue &d, int type, const char *from, char **to, const char *domain) {
  char code[SMTP_CODE_SIZE];
  ornix_smtp::read_reply(d.link, code);
  if (strcmp(code, "220") != 0) {
    MsgLog(OrnixLog, 64, "Forward: greeting refused (%s)\n", code);
    d.refuse_rest(code);
    return false;
  }
  // An LMTP server answers HELO with an error (RFC 2033): its greeting is LHLO.
  if (!command(d, type == 3 ? "HELO %s\r\n" : "LHLO %s\r\n", domain)) {
    d.refuse_rest("");
    return false;
  }
  ornix_smtp::read_reply(d.link, code);
  if (strcmp(code, "250") != 0) {
    MsgLog(OrnixLog, 64, "Forward: %s refused (%s)\n", type == 3 ? "HELO" : "LHLO", code);
    d.refuse_rest(code);
    return false;
  }
  if (!command(d, "MAIL from:<%s>\r\n", from)) {
    d.refuse_rest("501");
    return false;
  }
  ornix_smtp::read_reply(d.link, code);
  if (strcmp(code, "250") != 0) {
    MsgLog(OrnixLog, 64, "Forward: MAIL refused (%s)\n", code);
    d.refuse_rest(code);
    return false;
  }
  int accepted = 0;
  for (int i = 0; i < d.count; i++) {
    if (!command(d, "RCPT to:<%s>\r\n", to[i])) {
      d.refuse(i, 501);
      continue;
    }
    ornix_smtp::read_reply(d.link, code);
    if (strcmp(code, "250") == 0 || strcmp(code, "200") == 0 || strcmp(code, "251") == 0) {
      d.accepted[i] = 1;
      accepted++;
    } else {
      MsgLog(OrnixLog, 16384, "[DEBUG] return code = %s\n", code);
      d.refuse(i, code_value(code));
    }
  }
  return accepted > 0;
}

// After the final ".": SMTP gives one reply for the transaction, LMTP one per
// accepted recipient, in order. A reply that never comes is a failure.
void final_replies(Dialogue &d, int type) {
  char code[SMTP_CODE_SIZE];
  if (type == 3) {
    ornix_smtp::read_reply(d.link, code);
    if (!positive(code)) {
      MsgLog(OrnixLog, 64, "Forward: message refused after DATA (%s)\n", code);
      d.refuse_rest(code);
    }
    return;
  }
  for (int i = 0; i < d.count; i++) {
    if (!d.accepted[i]) continue;
    ornix_smtp::read_reply(d.link, code);
    if (!positive(code)) {
      MsgLog(OrnixLog, 64, "Forward: recipient %d refused after DATA (%s)\n", i + 1, code);
      d.refuse(i, code_value(code));
    }
  }
}

}  // namespace

int smtp(int type, const char *from, char **to, int *status, FILE *fp, int rfd, int wfd,
         const char *domain) {
  MsgLog(OrnixLog, 8192, type == 3 ? "[DEBUG] Deliver SMTP:\n" : "[DEBUG] Deliver LMTP:\n");
  if (domain == nullptr || domain[0] == '\0') domain = "localhost";
  if (from == nullptr) from = "";
  Dialogue d{Link{rfd}, status, 0, {}, {}};
  if (wfd != rfd) d.link.out = wfd;
  while (to != nullptr && to[d.count] != nullptr) d.count++;
  d.accepted.assign(d.count, 0);
  d.refused.assign(d.count, 0);
  char code[SMTP_CODE_SIZE];
  if (fp != nullptr && envelope(d, type, from, to, domain)) {
    ornix_smtp::send_command(d.link, "DATA\r\n");
    ornix_smtp::read_reply(d.link, code);
    if (strcmp(code, "354") != 0) {
      MsgLog(OrnixLog, 64, "Forward: DATA refused (%s)\n", code);
      d.refuse_rest(code);
    } else if (!ornix_smtp::send_body(d.link, fp, "F.SMTP[S]")) {
      return -1;
    } else {
      ornix_smtp::send_command(d.link, ".\r\n");
      final_replies(d, type);
    }
  }
  if (!d.link.dead) {
    ornix_smtp::send_command(d.link, "QUIT\r\n");
    ornix_smtp::read_reply(d.link, code);
  }
  return 0;
}
