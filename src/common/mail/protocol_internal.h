// Pieces shared by the SMTP modules of the library; not part of the interface.
#ifndef ORNIX_PROTOCOL_INTERNAL_H
#define ORNIX_PROTOCOL_INTERNAL_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdio>

namespace ornix_smtp {

// One connection as the dialogue sees it. Once a reply has timed out, a write
// has failed or the peer has gone, no further reply is waited for: the closing
// QUIT is still sent, but a dead server must not cost a second time-out.
struct Link {
  int fd;
  bool dead = false;
  int out = -1;  // where commands go when not to fd (a child's other pipe)
  int wfd() const { return out >= 0 ? out : fd; }
};

// Whole reply: every line up to the last; code from the first line.
void read_reply(Link &link, char *ret);
// Single-line reply split into code and text (see get_smtp_data2).
void read_reply2(Link &link, char *ret, char *msg);
// put_smtp_data on a link: a failed write marks the link dead. A command
// carrying a credential is traced as `shown` instead (kSecretMask in its place).
void send_command(Link &link, const char *str, const char *shown = nullptr);
// What a trace line shows in place of a password or an authentication payload.
inline constexpr char kSecretMask[] = "********";
// Writes all len bytes; never raises SIGPIPE. false on failure (errno set).
bool send_all(int fd, const char *data, size_t len);

// Sends the message read from fp as DATA lines: line ends made CR LF, a
// leading "." doubled, lines over SMTP_READ_SIZE - 1 bytes split; each line
// traced at level 32768 as "[DEBUG] <trace>: <line>". false (logged, link
// dead) when a write fails or the message cannot be read to its end.
bool send_body(Link &link, FILE *fp, const char *trace);

// Dotted IPv4 address, else the first IPv4 address getaddrinfo gives.
bool resolve(const char *server, struct in_addr *addr);
// connect bounded by SmtpTimeout; also bounds later writes. 0, or -1 with errno.
int connect_bounded(int soc, const struct sockaddr_in &sa);
// A connected TCP socket to host:port (resolved, bounded connect), or -1 after
// "TCP/IP socket error" or "<peer> connection error.(host=%s,port=%d)" at level,
// and the system error at level 64.
int open_tcp(const char *host, int port, int level, const char *peer);

}  // namespace ornix_smtp

#endif
