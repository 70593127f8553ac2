// Pieces of the updater shared between its own files.
#ifndef ORNIXUP_INTERNAL_H
#define ORNIXUP_INTERNAL_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "ornixup.h"

// Bounds of what one download may write.
constexpr long long kSmallFileCap = 1LL << 20;    // list, MD5 file, signatures, README
constexpr long long kScriptFileCap = 16LL << 20;  // post-update script, white list

// Where and how the files are fetched: one per run.
struct Fetcher {
  std::string wget;
  bool verbose = false;
  std::string extra_text;               // as configured, for the log line
  std::vector<std::string> extra;       // its words
  bool extra_ok = true;                 // false: too many words, nothing is fetched
  std::vector<std::string> proxy_args;  // "-Y on -e http_proxy=..." or nothing
  std::string wgetrc;                   // 0600 file with the proxy credentials, or ""
  int timeout = 300;
  // the server
  std::string protocol;                 // "http", "https" or "ftp"
  std::vector<std::string> hosts;
  int port = 80;
  bool from_url = false;                // -U: one host, no fail-over
  bool port_in_https = false;           // -U named the port of an https server
};

// Fills f from the settings and -U; -1 (logged) when they cannot be used.
int make_fetcher(const UpdaterSettings &s, const std::string &private_dir, Fetcher *f);
// Removes the credentials file.
void drop_fetcher(Fetcher *f);

// wget with the run's options; out is written by wget, at most cap bytes.
// Returns command2's result.
int wget_download(const Fetcher &f, const std::string &url, const std::string &out, long long cap);

// "proto://host[:port]/ibm/power[/NQZD52]/file"
std::string server_url(const Fetcher &f, const std::string &host, bool in_list_dir,
                       const std::string &file);

// True when path is a regular file the caller may execute.
bool is_executable(const std::string &path);

// MD5 of a file as 32 lowercase hex digits; false when it cannot be read.
bool md5_text(const std::string &path, std::string *hex);

// A new 0700 directory under parent for the run's own downloads.
int make_private_dir(const std::string &parent, std::string *dir);
void remove_private_dir(const std::string &dir);

// Copies src to a new file dst (exclusive create, no links followed), with
// mode, flushed to disk. 0 or -1 (errno set, dst removed).
int copy_new_file(const std::string &src, const std::string &dst, mode_t mode);
// Replaces dst by a copy of src: a temporary file in dst's directory, given
// mode and flushed, renamed over dst, the directory flushed. A failure leaves
// dst as it was. 0 or -1 (errno set).
int replace_file(const std::string &src, const std::string &dst, mode_t mode);
int fsync_dir(const std::string &dir);
std::string dir_of(const std::string &path);

// minisign signatures checked with libsodium: Ed and prehashed ED, and the
// signature over the trusted comment. 0 with the comment's timestamp (-1
// when it has none), or -1 with the reason in *why.
int verify_signature(const std::string &key_file, const std::string &data_file,
                     const std::string &sig_file, long long *timestamp, std::string *why);
// The time of the last accepted list, kept beside the modules: 0 when the
// list at `timestamp` may be used (and records it), -1 for an older one.
int accept_list_time(long long timestamp, std::string *why);

#endif
