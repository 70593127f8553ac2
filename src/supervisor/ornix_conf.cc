// The engine configuration file clamd is started with, written fresh on
// every start from the suite's own settings.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "ornix.h"
#include "ornix_lib.h"
#include "safe_file.h"

const facility_code facilitynames2[] = {
    {"auth", "LOG_AUTH"},       {"cron", "LOG_CRON"},       {"daemon", "LOG_DAEMON"},
    {"kern", "LOG_KERN"},       {"lpr", "LOG_LPR"},         {"mail", "LOG_MAIL"},
    {"mark", "INTERNAL_MARK"},  {"news", "LOG_NEWS"},       {"security", "LOG_AUTH"},
    {"syslog", "LOG_SYSLOG"},   {"user", "LOG_USER"},       {"uucp", "LOG_UUCP"},
    {"local0", "LOG_LOCAL0"},   {"local1", "LOG_LOCAL1"},   {"local2", "LOG_LOCAL2"},
    {"local3", "LOG_LOCAL3"},   {"local4", "LOG_LOCAL4"},   {"local5", "LOG_LOCAL5"},
    {"local6", "LOG_LOCAL6"},   {"local7", "LOG_LOCAL7"},   {nullptr, nullptr},
};

const char *name2facility(const char *name) {
  const facility_code *c = facilitynames2;
  while (c->c_name != nullptr && (name == nullptr || strcasecmp(c->c_name, name) != 0)) c++;
  return c->c_val;
}

namespace {

// Keys the engine needs; each default line is written only when the
// AppendFile does not set the key itself. Order is the order of the defaults.
struct presence_key {
  const char *prefix;        // key plus one blank, matched ignoring case
  const char *default_line;
};
constexpr presence_key kPresence[ENGINE_PRESENCE_FLAGS] = {
    {"AlertEncrypted ", "AlertEncrypted yes\n"},
    {"LocalSocketMode ", "LocalSocketMode 660\n"},
    {"CommandReadTimeout ", "CommandReadTimeout 30\n"},
    {"LogFileMaxSize ", "LogFileMaxSize 2M\n"},
    {"LogTime ", "LogTime yes\n"},
    {"LogVerbose ", "LogVerbose yes\n"},
    {"ExtendedDetectionInfo ", "ExtendedDetectionInfo yes\n"},
    {"DatabaseDirectory ", "DatabaseDirectory /usr/lib/clamav\n"},
    {"ScanImage ", "ScanImage no\n"},
    {"ScanImageFuzzyHash ", "ScanImageFuzzyHash no\n"},
};

// Pieces of at most this many bytes: one line, or part of a longer one.
constexpr size_t kPieceMax = 1023;

// Reads one piece: up to kPieceMax bytes, ending after a line feed.
// Counted, so a zero byte inside a line is copied like any other byte.
size_t read_piece(FILE *in, char *buf) {
  size_t n = 0;
  while (n < kPieceMax) {
    int c = getc(in);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}

void mark_present(const char *piece, size_t len, bool *flags) {
  for (int i = 0; i < ENGINE_PRESENCE_FLAGS; i++) {
    size_t plen = strlen(kPresence[i].prefix);
    if (len >= plen && strncasecmp(piece, kPresence[i].prefix, plen) == 0) flags[i] = true;
  }
}

// Copies the AppendFile as it stands and notes which keys it sets.
// Returns -1 only on a write error to out.
int copy_append_file(FILE *out, const char *path, bool *flags) {
  UniqueFile in(fopen(path, "re"));
  if (!in) {
    MsgLog(OrnixLog, 1, "AppendFile=%s open error(%s)\n", path, strerror(errno));
    return 0;
  }
  char piece[kPieceMax + 1];
  char last = '\n';
  size_t n;
  while ((n = read_piece(in.get(), piece)) > 0) {
    mark_present(piece, n, flags);
    if (fwrite(piece, 1, n, out) != n) return -1;
    last = piece[n - 1];
  }
  if (ferror(in.get()))
    MsgLog(OrnixLog, 1, "AppendFile=%s read error(%s)\n", path, strerror(errno));
  // A last line without its line feed would run into the next default line
  // and corrupt both settings.
  if (last != '\n' && fputc('\n', out) == EOF) return -1;
  return 0;
}

}  // namespace

int emit_engine_conf(FILE *out, const EngineSettings &s) {
  bool flags[ENGINE_PRESENCE_FLAGS] = {};
  int r = 0;
  auto put = [&](int n) {
    if (n < 0) r = -1;
  };
  put(fprintf(out, "TemporaryDirectory %s\n", s.temp_path.c_str()));
  put(fprintf(out, "LocalSocket %s\n", s.socket_file.c_str()));
  put(fprintf(out, "PidFile %s\n", s.pid_file.c_str()));
  put(fprintf(out, "FollowFileSymlinks %s\n", s.symlink.c_str()));
  put(fprintf(out, "FollowDirectorySymlinks %s\n", s.symlink.c_str()));
  put(fprintf(out, "ScanArchive %s\n", s.archive_scan.c_str()));
  put(fputs("MaxScanSize 0\n", out));
  put(fputs("MaxFileSize 0\n", out));
  put(fprintf(out, "MaxRecursion %d\n", s.max_recursion));
  // Without it the engine answers OK for what it stopped reading at one of
  // its limits (files from about 2 GiB on, whatever MaxFileSize says; the
  // file count of an archive), and such a file would pass as clean.
  put(fputs("AlertExceedsMax yes\n", out));
  put(fputs("DisableCache yes\n", out));
  if (s.log_path.compare(0, 6, "syslog") != 0) {
    put(fprintf(out, "LogFile %s\n", s.log_path.c_str()));
  } else {
    const char *facility = name2facility(s.facility.c_str());
    if (facility == nullptr) {
      // No row for it (authpriv, ftp, a typo): the engine would refuse an
      // empty or unknown facility, so it logs as the suite's default does.
      MsgLog(OrnixLog, 2, "Facility %s has no engine name, LOG_USER is used\n",
             s.facility.c_str());
      facility = "LOG_USER";
    }
    put(fputs("LogSyslog yes\n", out));
    put(fprintf(out, "LogFacility %s\n", facility));
  }
  if (r == 0 && !s.append_file.empty() && copy_append_file(out, s.append_file.c_str(), flags) != 0)
    r = -1;
  for (int i = 0; i < ENGINE_PRESENCE_FLAGS; i++)
    if (!flags[i]) put(fputs(kPresence[i].default_line, out));
  if (r == 0 && ferror(out)) r = -1;
  return r;
}

int write_engine_conf(const char *path, const EngineSettings &s, std::string *err) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  if (out == nullptr) {
    *err = sys_message("write", path, errno);
    return -1;
  }
  int rc = emit_engine_conf(out, s);
  int err_no = errno;
  if (fclose(out) != 0 && rc == 0) {
    rc = -1;
    err_no = errno;
  }
  std::string data(buf != nullptr ? buf : "", len);
  free(buf);
  if (rc != 0) {
    *err = sys_message("write", path, err_no);
    return -1;
  }
  // The engine may run as another user and must be able to read its file.
  return atomic_replace(path, data, 0644, err);
}
