// Pieces shared by the SMTP modules of the library; not part of the interface.
#ifndef ORNIX_PROTOCOL_INTERNAL_H
#define ORNIX_PROTOCOL_INTERNAL_H

#include <cstddef>

namespace ornix_smtp {

// One connection as the dialogue sees it. Once a reply has timed out, a write
// has failed or the peer has gone, no further reply is waited for: the closing
// QUIT is still sent, but a dead server must not cost a second time-out.
struct Link {
  int fd;
  bool dead = false;
};

// Whole reply: every line up to the last; code from the first line.
void read_reply(Link &link, char *ret);
// Single-line reply split into code and text (see get_smtp_data2).
void read_reply2(Link &link, char *ret, char *msg);
// put_smtp_data on a link: a failed write marks the link dead.
void send_command(Link &link, const char *str);
// Writes all len bytes; never raises SIGPIPE. false on failure (errno set).
bool send_all(int fd, const char *data, size_t len);

}  // namespace ornix_smtp

#endif
