// The SMTP submission dialogue: greeting, EHLO, optional AUTH PLAIN, LOGIN or
// CRAM-MD5, one transaction, QUIT. Every refusal ends the dialogue with QUIT
// and a result of 0; only a failure to deliver the message bytes gives -1.
#include <errno.h>
#include <string.h>

#include <cstring>

#include "log.h"
#include "md5.h"
#include "ornix_lib.h"
#include "protocol.h"
#include "protocol_internal.h"

using ornix_smtp::Link;

namespace {

enum Step { STEP_ON, STEP_FINISH, STEP_FAILED };

// Formats one command into buf. An argument with a line break would smuggle
// further commands into the dialogue, and a command that does not fit must not
// be sent cut short: both are refused.
bool format_command(char *buf, size_t cap, const char *what, const char *fmt, const char *arg) {
  if (strpbrk(arg, "\r\n") != nullptr) {
    MsgLog(OrnixLog, 1, "SMTP %s refused: it holds a line break\n", what);
    return false;
  }
  int n = snprintf(buf, cap, fmt, arg);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    MsgLog(OrnixLog, 1, "SMTP %s refused: its command would exceed %zu bytes\n", what, cap - 1);
    return false;
  }
  return true;
}

bool expect(Link &link, const char *code, char *got) {
  ornix_smtp::read_reply(link, got);
  return strcmp(got, code) == 0;
}

void log_auth_failed() {
  MsgLog(OrnixLog, 1, "SMTP AUTH error: authorization failed (#5.7.0)\n");
}

bool too_long(const char *mech, const char *what, size_t len, size_t max) {
  if (len <= max) return false;
  MsgLog(OrnixLog, 1, "SMTP AUTH error: %s for AUTH %s is %zu bytes, at most %zu allowed\n",
         what, mech, len, max);
  return true;
}

Step auth_plain(Link &link, const char *user, const char *pass) {
  size_t ul = strlen(user), pl = strlen(pass);
  size_t len = 2 * ul + pl + 2;
  if (too_long("PLAIN", "user name and password", len, SMTP_PLAIN_PAYLOAD_MAX)) return STEP_FINISH;
  unsigned char payload[SMTP_PLAIN_PAYLOAD_MAX];
  memcpy(payload, user, ul);
  payload[ul] = '\0';
  memcpy(payload + ul + 1, user, ul);
  payload[2 * ul + 1] = '\0';
  memcpy(payload + 2 * ul + 2, pass, pl);
  char encoded[base64EncodedSize(SMTP_PLAIN_PAYLOAD_MAX)];
  base64Encode(payload, len, encoded);
  explicit_bzero(payload, sizeof payload);  // the clear password need not outlive its encoding
  // The payload is the password in reversible Base64: never in a trace line.
  MsgLog(OrnixLog, 8192, "[DEBUG] SMTP auth data(len=%d): AUTH PLAIN %s\n", static_cast<int>(len),
         ornix_smtp::kSecretMask);
  char cmd[SMTP_CMD_SIZE];
  snprintf(cmd, sizeof cmd, "AUTH PLAIN %s\r\n", encoded);
  explicit_bzero(encoded, sizeof encoded);
  char shown[64];
  snprintf(shown, sizeof shown, "AUTH PLAIN %s\r\n", ornix_smtp::kSecretMask);
  ornix_smtp::send_command(link, cmd, shown);
  explicit_bzero(cmd, sizeof cmd);
  char code[SMTP_CODE_SIZE];
  ornix_smtp::read_reply(link, code);
  if (strcmp(code, "535") == 0 || strcmp(code, "501") == 0) {
    log_auth_failed();
    return STEP_FINISH;
  }
  return strcmp(code, "235") == 0 ? STEP_ON : STEP_FINISH;
}

Step auth_login(Link &link, const char *user, const char *pass) {
  if (too_long("LOGIN", "user name", strlen(user), SMTP_LOGIN_CRED_MAX) ||
      too_long("LOGIN", "password", strlen(pass), SMTP_LOGIN_CRED_MAX))
    return STEP_FINISH;
  char enc_user[base64EncodedSize(SMTP_LOGIN_CRED_MAX)];
  char enc_pass[base64EncodedSize(SMTP_LOGIN_CRED_MAX)];
  base64encode(user, enc_user);
  base64encode(pass, enc_pass);
  char code[SMTP_CODE_SIZE];
  char cmd[SMTP_CMD_SIZE];
  MsgLog(OrnixLog, 8192, "[DEBUG] SMTP[S] AUTH LOGIN\n");
  ornix_smtp::send_command(link, "AUTH LOGIN\r\n");
  const char *steps[2] = {enc_user, enc_pass};
  char masked[32];
  snprintf(masked, sizeof masked, "%s\r\n", ornix_smtp::kSecretMask);
  for (const char *s : steps) {
    if (!expect(link, "334", code)) {
      MsgLog(OrnixLog, 1, "SMTP AUTH error: auth login failed (%s)\n", code);
      explicit_bzero(enc_pass, sizeof enc_pass);
      return STEP_FINISH;
    }
    snprintf(cmd, sizeof cmd, "%s\r\n", s);
    ornix_smtp::send_command(link, cmd, s == enc_pass ? masked : nullptr);
  }
  explicit_bzero(enc_pass, sizeof enc_pass);
  explicit_bzero(cmd, sizeof cmd);
  ornix_smtp::read_reply(link, code);
  if (strcmp(code, "235") == 0) return STEP_ON;
  if (strcmp(code, "535") == 0)
    log_auth_failed();
  else
    MsgLog(OrnixLog, 1, "SMTP AUTH error: auth login failed (%s)\n", code);
  return STEP_FINISH;
}

Step auth_cram_md5(Link &link, const char *user, const char *pass) {
  if (too_long("CRAM-MD5", "user name", strlen(user), SMTP_CRAM_USER_MAX) ||
      too_long("CRAM-MD5", "password", strlen(pass), SMTP_CRAM_PASS_MAX))
    return STEP_FINISH;
  ornix_smtp::send_command(link, "AUTH CRAM-MD5\r\n");
  char code[SMTP_CODE_SIZE];
  char challenge[SMTP_MSG_SIZE];
  ornix_smtp::read_reply2(link, code, challenge);
  if (strcmp(code, "334") != 0) {
    MsgLog(OrnixLog, 1, "SMTP AUTH error: auth cram-md5 not support (%s)\n", code);
    return STEP_FINISH;
  }
  char answer[base64EncodedSize(SMTP_CRAM_USER_MAX + 33)];
  answer[0] = '\0';
  hmac_md5encode(challenge, user, pass, answer);
  char cmd[SMTP_CMD_SIZE];
  snprintf(cmd, sizeof cmd, "%s\r\n", answer);
  // The answer is a keyed digest of the password: traced masked as well.
  char masked[32];
  snprintf(masked, sizeof masked, "%s\r\n", ornix_smtp::kSecretMask);
  ornix_smtp::send_command(link, cmd, masked);
  ornix_smtp::read_reply(link, code);
  if (strcmp(code, "235") == 0) return STEP_ON;
  if (strcmp(code, "535") == 0)
    log_auth_failed();
  else
    MsgLog(OrnixLog, 1, "SMTP AUTH error: auth cram-md5 failed (%s)\n", code);
  return STEP_FINISH;
}

Step envelope(Link &link, const char *from, char **to) {
  char cmd[SMTP_CMD_SIZE];
  char code[SMTP_CODE_SIZE];
  MsgLog(OrnixLog, 8192, "[DEBUG} SMTP[S] MAIL from:<%s>\n", from);
  if (!format_command(cmd, sizeof cmd, "sender address", "MAIL from:<%s>\r\n", from))
    return STEP_FINISH;
  ornix_smtp::send_command(link, cmd);
  if (!expect(link, "250", code)) {
    MsgLog(OrnixLog, 8192, "[DEBUG] MAIL return code = %s\n", code);
    return STEP_FINISH;
  }
  int accepted = 0;
  for (char **r = to; r != nullptr && *r != nullptr; r++) {
    MsgLog(OrnixLog, 8192, "[DEBUG} SMTP[S] RCPT to:<%s>\n", *r);
    if (!format_command(cmd, sizeof cmd, "recipient address", "RCPT to:<%s>\r\n", *r)) continue;
    ornix_smtp::send_command(link, cmd);
    ornix_smtp::read_reply(link, code);
    // 251 (not local, will be forwarded) accepts the recipient as well.
    if (strcmp(code, "250") == 0 || strcmp(code, "200") == 0 || strcmp(code, "251") == 0)
      accepted++;
    else
      MsgLog(OrnixLog, 8192, "[DEBUG] RCPT return code = %s\n", code);
  }
  if (accepted == 0) {
    MsgLog(OrnixLog, 8192, "[DEBUG} E-mail not send\n");
    return STEP_FINISH;
  }
  return STEP_ON;
}

Step message(Link &link, FILE *fp) {
  char code[SMTP_CODE_SIZE];
  ornix_smtp::send_command(link, "DATA\r\n");
  if (!expect(link, "354", code)) {
    MsgLog(OrnixLog, 8192, "[DEBUG} SMTP[S] DATA return code = %s\n", code);
    return STEP_FINISH;
  }
  if (!ornix_smtp::send_body(link, fp, "SMTP[S]")) return STEP_FAILED;
  ornix_smtp::send_command(link, ".\r\n");
  ornix_smtp::read_reply(link, code);
  if (strcmp(code, "250") != 0) MsgLog(OrnixLog, 8192, "[DEBUG] DATA end return code = %s\n", code);
  return STEP_ON;
}

Step dialogue(Link &link, const char *from, char **to, FILE *fp, const char *domain, int type,
              const char *user, const char *pass) {
  char code[SMTP_CODE_SIZE];
  char cmd[SMTP_CMD_SIZE];
  if (!expect(link, "220", code)) {
    MsgLog(OrnixLog, 8192, "[DEBUG] init return code = %s\n", code);
    return STEP_FINISH;
  }
  MsgLog(OrnixLog, 8192, "[DEBUG} SMTP[S] EHLO %s\n", domain);
  if (!format_command(cmd, sizeof cmd, "EHLO argument", "EHLO %s\r\n", domain)) return STEP_FINISH;
  ornix_smtp::send_command(link, cmd);
  if (!expect(link, "250", code)) {
    MsgLog(OrnixLog, 8192, "[DEBUG] EHLO return code = %s\n", code);
    return STEP_FINISH;
  }
  Step s = STEP_ON;
  if (type == SMTP_AUTH_PLAIN)
    s = auth_plain(link, user, pass);
  else if (type == SMTP_AUTH_LOGIN)
    s = auth_login(link, user, pass);
  else if (type == SMTP_AUTH_CRAM_MD5)
    s = auth_cram_md5(link, user, pass);
  if (s != STEP_ON) return s;
  s = envelope(link, from, to);
  if (s != STEP_ON) return s;
  return message(link, fp);
}

const char *auth_type_name(int type) {
  switch (type) {
    case SMTP_AUTH_NONE: return "NO AUTH";
    case SMTP_AUTH_PLAIN: return "PLAIN";
    case SMTP_AUTH_LOGIN: return "LOGIN";
    case SMTP_AUTH_CRAM_MD5: return "CRAM-MD5";
    default: return "NO AUTH (type error)";
  }
}

}  // namespace

int smtp_auth(const char *from, char **to, FILE *fp, int soc, const char *domain, int auth_type,
              const char *user, const char *pass) {
  MsgLog(OrnixLog, 8192, "[DEBUG] Send email via SMTP with authentication\n");
  if (domain == nullptr || domain[0] == '\0') domain = "localhost";
  if (from == nullptr) from = "";
  if (user == nullptr) user = "";
  if (pass == nullptr) pass = "";
  MsgLog(OrnixLog, 4, "SMTP type : %s\n", auth_type_name(auth_type));
  if (auth_type < SMTP_AUTH_NONE || auth_type > SMTP_AUTH_CRAM_MD5) auth_type = SMTP_AUTH_NONE;
  if (fp == nullptr) return -1;
  Link link{soc};
  if (dialogue(link, from, to, fp, domain, auth_type, user, pass) == STEP_FAILED) return -1;
  ornix_smtp::send_command(link, "QUIT\r\n");
  char code[SMTP_CODE_SIZE];
  ornix_smtp::read_reply(link, code);
  MsgLog(OrnixLog, 4, "SMTP send e-mail done\n");
  return 0;
}

namespace ornix_smtp {
namespace {

// A chunk made only of a line end, right after a chunk that filled the buffer
// without one, is the end of that line and not an empty line of its own.
bool is_line_tail(const char *chunk, bool previous_open) {
  return previous_open && (strcmp(chunk, "\n") == 0 || strcmp(chunk, "\r\n") == 0);
}

bool flush_data(Link &link, const char *out, size_t used, const char *trace) {
  if (used == 0 || send_all(link.wfd(), out, used)) return true;
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK)
    MsgLog(OrnixLog, 1, "SMTP server time-out: message data not taken within %d seconds\n",
           SmtpTimeout > 0 ? SmtpTimeout : SMTP_DEFAULT_TIMEOUT);
  MsgLog(OrnixLog, 8192, "[DEBUG] %s: write error(%s)\n", trace, strerror(err));
  link.dead = true;
  return false;
}

}  // namespace

bool send_body(Link &link, FILE *fp, const char *trace) {
  char line[SMTP_READ_SIZE];
  // Lines are gathered into one buffer and written when it is full: a write
  // per line costs a system call per line, many times the cost of the copy.
  char out[4 * SMTP_READ_SIZE];
  size_t used = 0;
  bool open = false;
  while (fgets(line, sizeof line, fp) != nullptr) {
    size_t raw = strlen(line);
    bool tail = is_line_tail(line, open);
    open = raw > 0 && line[raw - 1] != '\n';
    if (tail) continue;
    chomp(line);
    MsgLog(OrnixLog, 32768, "[DEBUG] %s: %s\n", trace, line);
    size_t len = strlen(line);
    if (used + len + 3 > sizeof out) {
      if (!flush_data(link, out, used, trace)) return false;
      used = 0;
    }
    if (line[0] == '.') out[used++] = '.';
    memcpy(out + used, line, len);
    used += len;
    out[used++] = '\r';
    out[used++] = '\n';
  }
  if (!flush_data(link, out, used, trace)) return false;
  if (ferror(fp)) {
    // Ending the data now would deliver a cut message as if it were whole;
    // closing without the end-of-data line makes the server drop it.
    MsgLog(OrnixLog, 1, "SMTP message read error (%s): mail not sent\n", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace ornix_smtp
