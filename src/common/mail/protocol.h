// SMTP submission with authentication: the one road by which the suite sends
// a mail it composed itself, plus the reply reader and command writer that the
// forwarding dialogue shares.
#ifndef ORNIX_PROTOCOL_H
#define ORNIX_PROTOCOL_H

#include <cstddef>
#include <cstdio>

// Authentication types of smtp_auth.
enum { SMTP_AUTH_NONE = 0, SMTP_AUTH_PLAIN = 1, SMTP_AUTH_LOGIN = 2, SMTP_AUTH_CRAM_MD5 = 3 };

// Capacities of the dialogue's buffers.
#define SMTP_CODE_SIZE 4           // reply code: three characters and a terminator
#define SMTP_MSG_SIZE 128          // text of a single-line reply (CRAM-MD5 challenge)
#define SMTP_READ_SIZE 8192        // one reply / one message-line chunk
#define SMTP_CMD_SIZE 8196         // command buffer
#define SMTP_PLAIN_PAYLOAD_MAX 189 // AUTH PLAIN payload; its Base64 form fits 255
#define SMTP_LOGIN_CRED_MAX 93     // AUTH LOGIN user or password; Base64 fits 127
#define SMTP_CRAM_PASS_MAX 64      // CRAM-MD5 password (one HMAC block)
#define SMTP_CRAM_USER_MAX 221     // CRAM-MD5 user: "user hexdigest" fits 255

// Seconds allowed for the connect and for each reply. A dead server must not
// hold a periodic scan for ever; tests shorten it through this variable.
#define SMTP_DEFAULT_TIMEOUT 300
extern int SmtpTimeout;

// Sends the complete message read from fp (header, empty line, body) from the
// envelope sender to the null-terminated recipient list, through the SMTP
// server of section "general". -1 for a null stream, a socket or connection
// failure, or a failed write of a message line; otherwise 0, also when the
// server refused the mail (the refusal is logged).
int SendMail(const char *from, char **to, FILE *fp);

// The whole dialogue on the connected socket soc; does not close it.
int smtp_auth(const char *from, char **to, FILE *fp, int soc, const char *domain, int auth_type,
              const char *user, const char *pass);

// Reads one whole reply (every line up to the last one) from the stream
// socket fd and stores its code, taken from the first line, in ret
// (SMTP_CODE_SIZE bytes). No byte after the reply is consumed. A time-out
// (logged at level 1), end of stream, read error or over-long line leaves ret
// empty.
void get_smtp_data(int fd, char *ret);

// Reads one single-line reply and splits it into its code (ret, SMTP_CODE_SIZE
// bytes) and its text (msg, SMTP_MSG_SIZE bytes). A text longer than msg can
// hold leaves both empty and is logged.
void get_smtp_data2(int fd, char *ret, char *msg);

// Logs and writes one command that already ends with CR LF.
void put_smtp_data(int fd, const char *str);

// Writes len bytes without logging.
void put_smtp_data2(int fd, const char *str, size_t len);

#endif
