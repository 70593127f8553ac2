// The machine-readable records of a run: JSON Lines appended to
// JsonReportFile (one object per file the report shows at level 271, one
// summary object per run) and the Prometheus text file MetricsFile, both
// of section filescan.report and both off while empty.
#ifndef ORNIXFS_JSON_H
#define ORNIXFS_JSON_H

#include <string>
#include <sys/stat.h>
#include <vector>

// What the report records of one file, filled along the pipeline and handed
// over once when the file is done.
struct FileRecord {
  const char *path = nullptr;
  struct stat st = {};        // size and mtime as the walk saw them
  int cls = 0;                // FileScanStatus
  // Why a file was let through without a scan ("pattern match exclude",
  // "cache hit", ...) or why its check failed ("timeout", "link error", ...).
  std::string reason;
  std::vector<std::string> detections;   // as the engine named them
  char digest[33] = "";       // MD5 digits, when computed
  // The action tried on the file (none when empty), whether it was done,
  // and where the file went (the save-tree copy of a move).
  std::string action;
  bool action_done = false;
  std::string action_error;
  std::string moved_to;
};

// Opens JsonReportFile and remembers MetricsFile of the configuration just
// settled; mode 0 is a normal run (the only one that writes metrics), 1 and
// 2 the single-file mode. A report file that cannot be opened is logged and
// left out; the run goes on.
void run_report_open(int mode);
// Appends the record of one file (nothing when no report file is open).
void run_report_file(const FileRecord &r);
// Writes the summary object and the metrics file of the run ending with
// exit status `status`; only the first call of a run writes.
void run_report_end(int status);

// Pieces of the JSON text, for the writer and its tests.
// True when s[0..n) is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool utf8_valid(const char *s, size_t n);
// "key":"text" for a name of any bytes: valid UTF-8 is written as it is
// (JSON-escaped); otherwise each byte of a malformed sequence becomes U+FFFD
// and "key_base64" follows with the exact bytes in standard Base64.
void json_name(std::string &out, const char *key, const char *s, size_t n);
// The JSON string literal of valid UTF-8 text (quotes and escapes added).
void json_string(std::string &out, const char *s, size_t n);
// The Prometheus text of the run's metrics, ending in a newline.
std::string metrics_text(int status, double start, double finish);

#endif
