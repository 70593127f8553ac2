// Client of the clamd scanning daemon: one Unix-socket connection per request.
#ifndef ORNIX_CLAMAV_API_H
#define ORNIX_CLAMAV_API_H

#include <sys/types.h>

enum AVEAPI_ERROR {
  CLAMD_NO_ERROR = 0,
  CLAMD_SCAN_TIMED_OUT = 1,
  CLAMD_AVE_PROBLEM = 2,
  CLAMD_FSTAT_ERROR = 3,
  CLAMD_FSIZE_ERROR = 4,
  CLAMD_SCAN_ERROR = 5,
  CLAMD_AVE_SELECT_ERROR = 6,
};

struct string_node {
  char *string;
  string_node *next;
};
typedef string_node AVEAPI_ALERT;

struct AVEAPI_RESULTS {
  AVEAPI_ALERT *alertList;
  int notScannedCompletely;
  int reachedArchiveMaxRatio;
  int reachedArchiveMaxSize;
  int reachedArchiveMaxRecursion;
  int reachedArchiveMaxCount;
  int archiveEncrypted;
  int archiveUnsupported;
  int proc_error;
  int partial;
  int aborted;
  // The engine could not open the path itself ("Access denied.", "...:
  // Permission denied."): the caller may hand it the open file instead.
  int accessDenied;
  // The engine stopped at one of its own limits (file size, scan size,
  // file count, recursion, scan time) and said so with a
  // "Heuristics.Limits.Exceeded." name: the file was not scanned completely.
  int limitExceeded;
  AVEAPI_ERROR error;
};

struct AVEAPI_INFO {
  char engineVersion[8];
  int vdfVersion;
  int vdfSigCount;
};

// The process's engine identity (engine version text, database version).
extern AVEAPI_INFO AVE_info;

int clamd_scan(const char *socket_file, const char *file, AVEAPI_RESULTS *results, int timeout,
               off_t max_size);
int clamd_scan_fd(const char *socket_file, int fd, AVEAPI_RESULTS *results, int timeout,
                  unsigned long max_size);
// Scans an open regular file by handing the engine its descriptor (FILDES,
// Unix socket only); where the engine refuses the descriptor, the contents
// are streamed from the start instead. fd stays the caller's to close.
int clamd_scan_fildes(const char *socket_file, int fd, AVEAPI_RESULTS *results, int timeout,
                      off_t max_size);
void clamd_cleanup_results(AVEAPI_RESULTS *results);
int get_clamd_version(const char *socket_file, AVEAPI_INFO *info);
// The first line of the VERSION reply as it stands (engine, database version
// and date where the engine has them), into line[cap]. 0, or -1 when the
// exchange fails, the reply is empty or does not fit.
int clamd_version_line(const char *socket_file, char *line, size_t cap);
int clamd_is_running(const char *socket_file);

// One exchange on the engine socket; "FDSCAN %d" streams that descriptor.
int clamd_send_command(const char *command, char *respons, const char *socket_file,
                       unsigned int timeout);
// The same exchange for "FILDES": fd passed with SCM_RIGHTS.
int clamd_send_fildes(int fd, char *respons, const char *socket_file, unsigned int timeout);
ssize_t timed_read(int fd, void *buf, size_t len, unsigned int timeout);
ssize_t timed_write(int fd, const void *buf, size_t len, unsigned int timeout);
int clamd_close(int sock);

// Capacities of one exchange.
#define CLAMD_COMMAND_SIZE 1024     // "SCAN " + path + newline + NUL
#define CLAMD_PATH_MAX 1017         // longest path a "SCAN %s\n" line can carry
#define CLAMD_SOCKET_PATH_MAX 107   // longest socket path sun_path holds terminated
#define CLAMD_REPLY_SIZE 1024       // reply buffer; at most 1,023 bytes kept
#define CLAMD_STREAM_BLOCK 65536    // largest block of a descriptor stream
#define CLAMD_TIMEOUT_PROBE 5       // seconds for PING and VERSION

// Reply parsers behind clamd_scan / clamd_scan_fd / get_clamd_version, for
// callers holding a reply already. reply is modified (cut at the status word).
// path: the path sent in "SCAN", or null for a descriptor scan.
int clamd_parse_scan_reply(char *reply, const char *path, AVEAPI_RESULTS *results);
// 0 with info filled, -1 (info untouched) when the reply cannot be read.
int clamd_parse_version(const char *reply, AVEAPI_INFO *info);

#endif
