// Scan, version and liveness requests, and the parsing of clamd's replies.
// A reply the parser cannot read is a failed scan, never a clean one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clamav_api.h"
#include "clamav_internal.h"

namespace {

constexpr char kEncrypted[] = "Heuristics.Encrypted.";
// What an engine started with AlertExceedsMax answers instead of OK for a
// file it did not read to the end.
constexpr char kLimits[] = "Heuristics.Limits.Exceeded.";

bool starts_with(const char *text, const char *prefix, size_t len) {
  return std::strncmp(text, prefix, len) == 0;
}

// The endings of clamd's replies when its own user may not open a path:
// "<path>: Access denied. ERROR" (the file), "<path>: File path check
// failure: Permission denied. ERROR" (a directory on the way), "lstat()
// failed: Permission denied. ERROR".
bool access_refusal(const char *text, size_t len) {
  static const char *const kEnds[] = {": Access denied.", ": Permission denied."};
  for (const char *end : kEnds) {
    size_t n = std::strlen(end);
    if (len >= n && std::memcmp(text + len - n, end, n) == 0) return true;
  }
  return false;
}

int fail(AVEAPI_RESULTS *r, AVEAPI_ERROR e) {
  r->notScannedCompletely = 1;
  r->error = e;
  return -1;
}

// Scan request of either form; path null means a descriptor stream.
int scan_request(const char *socket_file, const char *command, const char *path,
                 AVEAPI_RESULTS *results, int timeout) {
  char reply[CLAMD_REPLY_SIZE];
  int rc = clamd_send_command(command, reply, socket_file, clamd_timeout_seconds(timeout));
  return clamd_exchange_result(rc, reply, path, results);
}

int stream_fd(const char *socket_file, int fd, const char *path, AVEAPI_RESULTS *results,
              int timeout) {
  char command[32];
  std::snprintf(command, sizeof command, "FDSCAN %d", fd);
  return scan_request(socket_file, command, path, results, timeout);
}

// A path the command line cannot carry is scanned by streaming its content.
int scan_by_stream(const char *socket_file, const char *file, AVEAPI_RESULTS *results,
                   int timeout) {
  int fd = open(file, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(results, CLAMD_FSTAT_ERROR);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail(results, CLAMD_FSTAT_ERROR);
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  // The stream label stands before the colon; the ERROR code stays the path
  // scan's, since the caller asked for a path.
  int rc = stream_fd(socket_file, fd, nullptr, results, timeout);
  close(fd);
  return clamd_stream_for_file(rc, results);
}

}  // namespace

unsigned int clamd_timeout_seconds(int timeout) {
  return timeout < 0 ? 0u : static_cast<unsigned int>(timeout);
}

int clamd_exchange_result(int rc, char *reply, const char *path, AVEAPI_RESULTS *results) {
  if (rc == -2) return fail(results, CLAMD_SCAN_TIMED_OUT);
  if (rc == -3) return fail(results, CLAMD_AVE_SELECT_ERROR);
  if (rc < 0) return fail(results, CLAMD_AVE_PROBLEM);
  return clamd_parse_scan_reply(reply, path, results);
}

int clamd_stream_for_file(int rc, AVEAPI_RESULTS *results) {
  if (rc < 0 && results->proc_error && results->error == CLAMD_AVE_PROBLEM)
    results->error = CLAMD_SCAN_ERROR;
  return rc;
}

bool clamd_fits_scan_line(const char *file) {
  size_t n = std::strlen(file);
  return n > 0 && n <= CLAMD_PATH_MAX && std::strchr(file, '\n') == nullptr;
}

int clamd_path_precheck(const char *file, off_t max_size, AVEAPI_RESULTS *results) {
  results->notScannedCompletely = 1;
  if (file == nullptr) return fail(results, CLAMD_FSTAT_ERROR);
  if (max_size != 0) {
    struct stat st;
    if (lstat(file, &st) != 0) return fail(results, CLAMD_FSTAT_ERROR);
    if (st.st_size > max_size) {
      results->reachedArchiveMaxSize = 1;
      return fail(results, CLAMD_FSIZE_ERROR);
    }
  }
  return 0;
}

int clamd_fildes_precheck(int fd, off_t max_size, AVEAPI_RESULTS *results) {
  results->notScannedCompletely = 1;
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(results, CLAMD_FSTAT_ERROR);
  if (max_size != 0 && st.st_size > max_size) {
    results->reachedArchiveMaxSize = 1;
    return fail(results, CLAMD_FSIZE_ERROR);
  }
  return 0;
}

bool clamd_fildes_refused(int rc, const AVEAPI_RESULTS *results) {
  return rc < 0 && results->error == CLAMD_AVE_PROBLEM;
}

int clamd_parse_scan_reply(char *reply, const char *path, AVEAPI_RESULTS *results) {
  if (results == nullptr) return -1;
  results->notScannedCompletely = 1;
  if (reply == nullptr) return fail(results, CLAMD_AVE_PROBLEM);
  // One reply is one line; whatever follows its newline is not part of it.
  size_t len = strnlen(reply, CLAMD_REPLY_SIZE - 1);
  if (char *nl = static_cast<char *>(std::memchr(reply, '\n', len))) len = nl - reply;
  reply[len] = '\0';
  char *blank = static_cast<char *>(memrchr(reply, ' ', len));
  if (blank == nullptr) return fail(results, CLAMD_AVE_PROBLEM);
  const char *word = blank + 1;
  *blank = '\0';
  size_t cut = static_cast<size_t>(blank - reply);

  if (std::strcmp(word, "ERROR") == 0) {
    results->proc_error = 1;
    results->accessDenied = access_refusal(reply, cut) ? 1 : 0;
    return fail(results, path ? CLAMD_SCAN_ERROR : CLAMD_AVE_PROBLEM);
  }
  if (std::strcmp(word, "OK") == 0) {
    results->notScannedCompletely = 0;
    results->error = CLAMD_NO_ERROR;
    return 0;
  }
  if (std::strcmp(word, "FOUND") != 0) {
    // An unknown verdict ("UNKNOWN COMMAND", a size limit message, ...) is
    // no proof that the file is clean.
    return fail(results, CLAMD_AVE_PROBLEM);
  }
  // "label: name": the label is the path we sent (which may hold colons of
  // its own) or the engine's stream label.
  const char *name = nullptr;
  size_t plen = path ? std::strlen(path) : 0;
  if (path && cut >= plen + 2 && std::memcmp(reply, path, plen) == 0 && reply[plen] == ':' &&
      reply[plen + 1] == ' ') {
    name = reply + plen + 2;
  } else {
    const char *colon = static_cast<const char *>(std::memchr(reply, ':', cut));
    if (colon == nullptr || static_cast<size_t>(colon - reply) + 2 > cut)
      return fail(results, CLAMD_AVE_PROBLEM);
    name = colon + 2;
  }
  if (*name == '\0') return fail(results, CLAMD_AVE_PROBLEM);
  size_t nlen = std::strlen(name);
  char *copy = static_cast<char *>(std::malloc(nlen + 1));
  AVEAPI_ALERT *node = static_cast<AVEAPI_ALERT *>(std::malloc(sizeof(AVEAPI_ALERT)));
  if (copy == nullptr || node == nullptr) {
    std::free(copy);
    std::free(node);
    return fail(results, CLAMD_AVE_PROBLEM);
  }
  std::memcpy(copy, name, nlen + 1);
  node->string = copy;
  node->next = nullptr;
  results->notScannedCompletely = 0;
  results->error = CLAMD_NO_ERROR;
  results->alertList = node;
  // Both name no virus: the name stays in alertList for the caller's lines.
  if (starts_with(copy, kEncrypted, sizeof kEncrypted - 1)) {
    results->notScannedCompletely = 1;
    results->archiveEncrypted = 1;
    return 0;
  }
  if (starts_with(copy, kLimits, sizeof kLimits - 1)) {
    results->notScannedCompletely = 1;
    results->limitExceeded = 1;
    return 0;
  }
  return 1;
}

int clamd_scan(const char *socket_file, const char *file, AVEAPI_RESULTS *results, int timeout,
               off_t max_size) {
  if (results == nullptr) return -1;
  if (clamd_path_precheck(file, max_size, results) != 0) return -1;
  if (!clamd_fits_scan_line(file)) return scan_by_stream(socket_file, file, results, timeout);
  char command[CLAMD_COMMAND_SIZE];
  std::snprintf(command, sizeof command, "SCAN %s\n", file);
  return scan_request(socket_file, command, file, results, timeout);
}

int clamd_scan_fd(const char *socket_file, int fd, AVEAPI_RESULTS *results, int timeout,
                  unsigned long max_size) {
  (void)max_size;
  if (results == nullptr) return -1;
  results->notScannedCompletely = 1;
  return stream_fd(socket_file, fd, nullptr, results, timeout);
}

int clamd_scan_fildes(const char *socket_file, int fd, AVEAPI_RESULTS *results, int timeout,
                      off_t max_size) {
  if (results == nullptr) return -1;
  if (clamd_fildes_precheck(fd, max_size, results) != 0) return -1;
  char reply[CLAMD_REPLY_SIZE];
  int rc = clamd_send_fildes(fd, reply, socket_file, clamd_timeout_seconds(timeout));
  if (rc < 0) return clamd_exchange_result(rc, reply, nullptr, results);
  rc = clamd_parse_scan_reply(reply, nullptr, results);
  if (!clamd_fildes_refused(rc, results)) return rc;
  if (clamd_fildes_restart(fd, results) != 0) return -1;
  rc = stream_fd(socket_file, fd, nullptr, results, timeout);
  return clamd_stream_for_file(rc, results);
}

int clamd_fildes_restart(int fd, AVEAPI_RESULTS *results) {
  // Refused ("No file descriptor received. ERROR" where a relay dropped it,
  // "UNKNOWN COMMAND" from an engine without FILDES): the contents go as a
  // stream, read from the start whatever the engine did with the offset.
  clamd_cleanup_results(results);
  *results = AVEAPI_RESULTS{};
  results->notScannedCompletely = 1;
  if (lseek(fd, 0, SEEK_SET) != 0) return fail(results, CLAMD_FSTAT_ERROR);
  return 0;
}

void clamd_cleanup_results(AVEAPI_RESULTS *results) {
  if (results == nullptr || results->alertList == nullptr) return;
  std::free(results->alertList->string);
  std::free(results->alertList);
  // Left pointing at freed memory, a second cleanup would free it twice.
  results->alertList = nullptr;
}

int clamd_parse_version(const char *reply, AVEAPI_INFO *info) {
  if (reply == nullptr || info == nullptr) return -1;
  size_t len = strnlen(reply, CLAMD_REPLY_SIZE - 1);
  if (const char *nl = static_cast<const char *>(std::memchr(reply, '\n', len))) len = nl - reply;
  if (len <= 7) return -1;  // "ClamAV " and nothing after it
  const char *ver = reply + 7;
  size_t rest = len - 7;
  const char *slash = static_cast<const char *>(std::memchr(ver, '/', rest));
  size_t vlen = slash ? static_cast<size_t>(slash - ver) : rest;
  // A version that does not fit would be shown as a different version.
  if (vlen == 0 || vlen >= sizeof info->engineVersion) return -1;
  int vdf = 0;
  if (slash) {
    const char *db = slash + 1;
    size_t dlen = len - static_cast<size_t>(db - reply);
    const char *slash2 = static_cast<const char *>(std::memchr(db, '/', dlen));
    if (slash2) dlen = static_cast<size_t>(slash2 - db);
    if (dlen > 9) return -1;
    char work[10];
    std::memcpy(work, db, dlen);
    work[dlen] = '\0';
    vdf = std::atoi(work);
  }
  std::memcpy(info->engineVersion, ver, vlen);
  info->engineVersion[vlen] = '\0';
  info->vdfVersion = vdf;
  return 0;
}

int get_clamd_version(const char *socket_file, AVEAPI_INFO *info) {
  if (info == nullptr) return -1;
  char reply[CLAMD_REPLY_SIZE];
  if (clamd_send_command("VERSION\n", reply, socket_file, CLAMD_TIMEOUT_PROBE) != 0) return -1;
  return clamd_parse_version(reply, info);
}

int clamd_version_line(const char *socket_file, char *line, size_t cap) {
  if (line == nullptr || cap == 0) return -1;
  char reply[CLAMD_REPLY_SIZE];
  if (clamd_send_command("VERSION\n", reply, socket_file, CLAMD_TIMEOUT_PROBE) != 0) return -1;
  size_t len = strnlen(reply, CLAMD_REPLY_SIZE - 1);
  if (const char *nl = static_cast<const char *>(std::memchr(reply, '\n', len))) len = nl - reply;
  if (len == 0 || len >= cap) return -1;
  std::memcpy(line, reply, len);
  line[len] = '\0';
  return 0;
}

int clamd_is_running(const char *socket_file) {
  char reply[CLAMD_REPLY_SIZE];
  if (clamd_send_command("PING\n", reply, socket_file, CLAMD_TIMEOUT_PROBE) != 0) return -1;
  return std::strncmp(reply, "PONG", 4) == 0 ? 0 : -1;
}
