// The file scanner's directory walk, per-file pipeline and infected-file actions.
#ifndef ORNIX_FILECHECK_H
#define ORNIX_FILECHECK_H

#include <cstddef>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "filecheck_util.h"

// Slots of the scan parameter vector built once per FileCheck / FileCheck2.
enum {
  P_MAXSCANTIME = 0,
  P_MAXRECURSION = 1,
  P_ALERTCOUNT = 2,
  P_MAXRATIO = 3,
  P_READTIMEOUT = 4,
  P_ARCHIVESCAN = 5,
  P_MAILBOXSCAN = 6,
  P_REPAIR = 7,
  P_MAXCHECKLEVEL = 8,
  P_CHECKTIME = 9,
  P_UPDATEONLY = 10,
  P_EXECONLY = 11,
  P_MD5CHECK = 12,
  P_MOVEMODE = 13,
  P_MOVEOWNER = 14,
  P_PASSFD = 15,
  P_SLOTS = 16,
};

// EnginePassDescriptor: when the engine gets the open file instead of its path.
enum { PASSFD_NO = 0, PASSFD_AUTO = 1, PASSFD_ALWAYS = 2 };
// "no", "auto", "always"; -1 for any other text.
int pass_descriptor_mode(const char *text);

// One entry of the walk that is to go through the per-file pipeline: its
// path as shown and mirrored in the save tree, its directory (held open by
// the walk) and its name there, and its status: of the link's target when
// `link` is set (a symbolic link the walk follows).
struct WalkEntry {
  const char *path = nullptr;
  int dirfd = -1;
  const char *name = nullptr;
  struct stat st = {};
  bool link = false;
};
// The per-file pipeline; the FileScanStatus of the file, or 0 for a file
// whose request is left in flight (see pipeline_open).
int file_check(const WalkEntry &e, int *param, off_t max);
// With ScanJobs above 1, file_check keeps up to that many engine requests
// in flight; every line, counter, action and cache entry of a file still
// comes in walk order, after the files before it. pipeline_flush finishes
// every file in flight (the walk calls it before a line of its own);
// pipeline_close finishes them and goes back to one file at a time.
void pipeline_open(void);
void pipeline_flush(void);
void pipeline_close(void);

// Builds the parameter vector and the size limit from the configuration.
void build_scan_param(int *param, off_t *max, time_t check_time);
// Resolves one command-line path (already cut of trailing "/"; orig_len is its
// length before the cut) against cwd, for the lines that show it (the walk
// itself opens the path as given). 0 resolved, -2 the result would not fit
// FC_PATH_MAX.
int resolve_scan_path(const char *path, size_t orig_len, const char *cwd, std::string *out);
// Removes the ASCII hard link of a scan in progress (safe in a signal handler).
void filecheck_cleanup(void);

// What an action did to a file, as the run's records keep it.
struct ActionOutcome {
  const char *action = nullptr;   // "delete" or "move"; null when none was tried
  bool done = false;
  int err = 0;                    // errno of a failure
  std::string where;              // the save-tree copy a move made
};

// filecheck_action.cc
// Removes the partial copy of a move in progress (safe in a signal handler).
void move_cleanup(void);
void object_action(const ScannedFile &f, int mode, int owner, ActionOutcome *out = nullptr);
int delete_file(const ScannedFile &f);
// placed: the path of the copy in the save tree.
int move_file(const ScannedFile &f, const char *save, int mode, int owner,
              std::string *placed = nullptr);

#endif
