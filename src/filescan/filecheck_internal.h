// The per-file pipeline's record of one file and its steps, shared by the
// pipeline itself (filecheck_file.cc) and the queue that keeps several files'
// engine requests in flight (filecheck_queue.cc).
#ifndef ORNIX_FILECHECK_INTERNAL_H
#define ORNIX_FILECHECK_INTERNAL_H

#include <string>
#include <sys/stat.h>
#include <vector>

#include "clamav_api.h"
#include "filecheck.h"
#include "filecheck_util.h"
#include "ornix_common.h"
#include "ornixfs_json.h"
#include "safe_file.h"

// The date, time and size texts of a file, made only when a line that shows
// them is going to be written: most files of a run show nothing.
class FileTexts {
 public:
  explicit FileTexts(const struct stat *st) : st_(st) {}
  const char *date() { return make(), date_; }
  const char *time() { return make(), time_; }
  const char *size() { return make(), size_.c_str(); }

 private:
  void make();
  const struct stat *st_;
  bool ready_ = false;
  char date_[128];
  char time_[128];
  std::string size_;
};

// A line held back until the file's turn: log (with or without the prefix),
// report, or the erase sequence of the report terminal.
struct HeldLine {
  enum Kind { kLog, kOutput, kErase } kind;
  int level;
  std::string text;
};

// What the engine is sent for a file.
enum EngineForm { FORM_LOCAL = -1, FORM_PATH = 0, FORM_FILDES = 1, FORM_STREAM = 2 };

// The state of one file on its way through the pipeline.
struct FileJob {
  // queued: the walk's path, name and directory are copied, since the walk
  // goes on before the file's turn comes.
  FileJob(const WalkEntry &entry, int *p, off_t m, bool queued);
  FileJob(const FileJob &) = delete;
  FileJob &operator=(const FileJob &) = delete;
  WalkEntry e;
  int *param;
  off_t max;
  std::string own_path, own_name;
  UniqueFd own_dir;
  FileTexts texts;
  ShownName shown;
  // While held, the lines of the file wait in `held` for its turn.
  bool hold = false;
  std::vector<HeldLine> held;
  // prepare
  char hex[33] = "";
  bool have_digest = false;
  struct stat digested = {};
  // engine request
  UniqueFd file;           // the open file the engine reads or is given
  UniqueFd link_dir;       // TempPath, holding the ASCII name
  std::string link_name;   // the ASCII name there, while it exists
  FileId link_id;
  int link_slot = -1;
  struct stat link_seen = {};
  AVEAPI_RESULTS results = {};
  int rc = 0;
  const char *local = nullptr;  // a failure of our own, no engine reason
  struct stat scanned = {};     // the file the engine read
  int request = -1;             // the request in flight
  bool retried = false;         // handed over as a descriptor after a refusal
  bool to_engine = false;       // not decided by prepare: complete() is due
  // complete
  int cls = SCAN_CLEAN;
  std::string vname;
  FileRecord rec;   // what the run's records keep of the file, filled on the way
};

// A log or report line of the file, written now or held for its turn.
void job_log(FileJob &j, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void job_output(FileJob &j, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void job_erase(FileJob &j);
// The head of the file's result block ("File:", "Date:").
void block_head(int level, FileJob &j);
// Writes the held lines in their order; lines are written at once from now on.
void release_lines(FileJob &j);

// The filters that decide without the engine, and the cache look-up; true
// when the file is decided.
bool prepare(FileJob &j);
// Readies what the engine is sent: *path for FORM_PATH (the file's own path,
// or its ASCII name in TempPath), j.file for the descriptor forms; FORM_LOCAL
// with j.rc -1 and j.local set when it cannot be.
int engine_form(FileJob &j, std::string *path);
// The engine's user may not read the file: true when it is to be handed
// over as the open file (then in j.file, results reset) instead.
bool refusal_retry(FileJob &j);
// After the engine answered: the ASCII name removed, the file it read noted.
void engine_done(FileJob &j);
// The engine's answer: class, lines, counters, action, cache.
void complete(FileJob &j);
// The file is done, in walk order: completed when it went to the engine
// (j.to_engine), and its record handed to the run's records.
void finish(FileJob &j);
// The whole pipeline for one file, its request waited for; its class.
int file_check_now(const WalkEntry &e, int *param, off_t max);

#endif
