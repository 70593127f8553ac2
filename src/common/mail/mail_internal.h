// Pieces shared by the notification and forwarding modules; not part of the
// interface.
#ifndef ORNIX_MAIL_INTERNAL_H
#define ORNIX_MAIL_INTERNAL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

namespace ornix_mail {

// Output charsets of a notification, compared without regard to case and by
// prefix; OTHER leaves the text as it is.
enum Charset { CS_JIS, CS_EUC, CS_SJIS, CS_UTF8, CS_OTHER };
Charset charset_of(const char *name);

// Creates path for reading and writing, exclusively, never through a link,
// mode 0600, close-on-exec. A file left at that name by an earlier run is
// removed once and the creation tried again. Null with errno set on failure.
FILE *create_exclusive(const char *path);

// Writes len bytes of UTF-8 text converted into the charset. The wrappers of
// the converter take 1024 bytes at a time, so a long text goes piece by
// piece; every line feed in it leaves as CR LF.
void write_converted(FILE *fp, const char *text, size_t len, Charset cs);

// Current local time in a strftime format (empty on failure).
void format_now(char *buf, size_t cap, const char *fmt);

// Waits for the child until the deadline of `seconds`; a child still running
// then is stopped (TERM, then KILL) and reaped. Returns the waitpid status,
// or -1 when the child had to be stopped or could not be waited for.
int wait_child(pid_t pid, int seconds, bool *stopped);

// Writes all of buf to a pipe or socket without ever raising SIGPIPE; each
// wait for room is bounded by `seconds`. false with errno set on failure.
bool write_bounded(int fd, const char *buf, size_t len, int seconds);

}  // namespace ornix_mail

#endif
