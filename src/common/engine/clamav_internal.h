// The pieces of an engine exchange that the one-at-a-time client and the
// requests in flight share, so that both send the same bytes and read a reply
// the same way.
#ifndef ORNIX_CLAMAV_INTERNAL_H
#define ORNIX_CLAMAV_INTERNAL_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include "clamav_api.h"

// A caller's time-out in seconds, a negative one counting as none.
unsigned int clamd_timeout_seconds(int timeout);

// The outcome of one exchange (0, or -1 failure, -2 time-out, -3 the command
// could not be written) and its reply, as clamd_scan returns it.
int clamd_exchange_result(int rc, char *reply, const char *path, AVEAPI_RESULTS *results);
// A path the engine was streamed instead: an ERROR line names the file.
int clamd_stream_for_file(int rc, AVEAPI_RESULTS *results);

// True when the path can travel in one "SCAN %s\n" line: short enough, and
// no newline that would end the command early and have another file scanned.
bool clamd_fits_scan_line(const char *file);
// The checks before anything is sent: 0 to go on, -1 with results filled.
int clamd_path_precheck(const char *file, off_t max_size, AVEAPI_RESULTS *results);
int clamd_fildes_precheck(int fd, off_t max_size, AVEAPI_RESULTS *results);
// The engine would not take the descriptor: its contents go as a stream.
bool clamd_fildes_refused(int rc, const AVEAPI_RESULTS *results);
// Resets results and rewinds fd for that stream; -1 with results filled.
int clamd_fildes_restart(int fd, AVEAPI_RESULTS *results);

// The engine's address; -1 for a path sun_path cannot hold terminated.
int clamd_socket_address(const char *socket_file, sockaddr_un *addr);
// The one message of a "FILDES" request (see clamd_send_fildes): its bytes
// are sent with fd attached. The size sendmsg must report, or -1.
ssize_t clamd_sendmsg_fildes(int sock, int fd);
// True when the reply's first line ends in " ERROR".
bool clamd_reply_ends_in_error(const char *reply);

// "nINSTREAM\n": the start of a descriptor stream.
#define CLAMD_INSTREAM "nINSTREAM\n"

#endif
