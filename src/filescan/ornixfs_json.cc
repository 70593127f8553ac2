// JSON Lines of a run: one object per reported file and one summary object,
// appended to JsonReportFile. Several runs may append to one file (and a
// reader may follow it with tail -F), so every line is built whole and goes
// out in one write(2) on a descriptor opened O_APPEND: lines of concurrent
// runs never interleave within a line. Nothing is flushed to disk per line;
// the walk must not wait for the report.
#include "ornixfs_json.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "md5.h"
#include "ornix_common.h"
#include "ornixfs.h"
#include "safe_file.h"

namespace {

struct RunReport {
  UniqueFd fd;
  std::string json_path;
  std::string metrics_path;
  std::string run_id;
  int mode = 0;
  double start = 0;          // wall clock, seconds since the epoch
  struct timespec mono = {};  // the same instant on the monotonic clock
  bool ended = false;
};
RunReport state;

const char *const kClassNames[] = {"clean",   "infected", "protected",    "error",
                                   "suspicious", "timeout", "archive-limit"};

const char *class_name(int cls) {
  return cls >= 0 && cls <= SCAN_ARCHIVE_LIMIT ? kClassNames[cls] : "unknown";
}

double wall_now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double elapsed_since(const struct timespec &from) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - from.tv_sec) + (now.tv_nsec - from.tv_nsec) / 1e9;
}

// The civil date of a day count since 1970-01-01 (proleptic Gregorian),
// without the time zone machinery of gmtime and strftime: every file's line
// has two times in it.
void civil_from_days(long long z, long long *y, unsigned *m, unsigned *d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<long long>(yoe) + era * 400 + (*m <= 2);
}

void digits(std::string &out, unsigned v, int width) {
  char buf[8];
  for (int i = width - 1; i >= 0; i--, v /= 10) buf[i] = static_cast<char>('0' + v % 10);
  out.append(buf, static_cast<size_t>(width));
}

// RFC 3339 in UTC: "2026-12-07T06:40:00Z", or with milliseconds.
std::string utc_text(double t, bool millis) {
  long long sec = static_cast<long long>(t);
  if (static_cast<double>(sec) > t) sec--;   // floor, for times before 1970
  long long days = sec >= 0 ? sec / 86400 : (sec - 86399) / 86400;
  unsigned rem = static_cast<unsigned>(sec - days * 86400);
  long long y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  std::string out;
  if (y < 0 || y > 9999) return "1970-01-01T00:00:00Z";
  digits(out, static_cast<unsigned>(y), 4);
  out += '-';
  digits(out, m, 2);
  out += '-';
  digits(out, d, 2);
  out += 'T';
  digits(out, rem / 3600, 2);
  out += ':';
  digits(out, rem / 60 % 60, 2);
  out += ':';
  digits(out, rem % 60, 2);
  if (millis) {
    double ms = (t - static_cast<double>(sec)) * 1000.0;
    out += '.';
    digits(out, ms < 0 ? 0 : ms > 999 ? 999 : static_cast<unsigned>(ms), 3);
  }
  return out + "Z";
}

// The time of a file's line: the text changes once a second.
const std::string &line_time() {
  static time_t shown = -1;
  static std::string text;
  time_t now = time(nullptr);
  if (now != shown) {
    shown = now;
    text = utc_text(static_cast<double>(now), false);
  }
  return text;
}

void key(std::string &out, const char *k) {
  out += ",\"";
  out += k;
  out += "\":";
}

void add_text(std::string &out, const char *k, const std::string &v) {
  if (v.empty()) {
    key(out, k);
    out += "null";
    return;
  }
  out += ',';
  json_name(out, k, v.data(), v.size());
}

void add_num(std::string &out, const char *k, long long v) {
  key(out, k);
  out += std::to_string(v);
}

// Sends one finished line; the first failure is logged and ends the report
// for this run (a full disk is not fought line by line).
void send_line(const std::string &line) {
  if (!state.fd.ok()) return;
  if (write_all(state.fd.get(), line.data(), line.size())) return;
  MsgLog(OrnixLog, 1, "%s\n", sys_message("JSON report write", state.json_path, errno).c_str());
  state.fd.reset();
}

std::string make_run_id() {
  // Lines of runs appending at the same time are told apart by this.
  return random_suffix();
}

// The report file: appended to, never through a link; a new one is 0600
// since it names files of every user. An existing file keeps its mode (an
// administrator may have opened it to a monitoring group), but it must be a
// regular file with one name, of ours or root's: a name planted in a shared
// directory would otherwise collect the scanned paths or be written through
// to another file.
UniqueFd open_report(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  UniqueFd dfd = open_dir(dir.c_str());
  if (!dfd.ok()) {
    MsgLog(OrnixLog, 1, "%s\n", sys_message("JSON report open", dir, errno).c_str());
    return UniqueFd();
  }
  UniqueFd fd = open_at(dfd.get(), leaf.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK,
                        FileKind::kRegular, 0600);
  if (!fd.ok()) {
    MsgLog(OrnixLog, 1, "%s\n", sys_message("JSON report open", path, errno).c_str());
    return fd;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    MsgLog(OrnixLog, 1, "%s\n", sys_message("JSON report fstat", path, errno).c_str());
    return UniqueFd();
  }
  if ((st.st_uid != geteuid() && st.st_uid != 0) || st.st_nlink != 1) {
    MsgLog(OrnixLog, 1,
           "JSON report open(%s): refused, owned by uid %lu with %lu links (must be ours or "
           "root's, one link)\n",
           path.c_str(), static_cast<unsigned long>(st.st_uid),
           static_cast<unsigned long>(st.st_nlink));
    return UniqueFd();
  }
  return fd;
}

void add_counters(std::string &out) {
  out += ",\"counters\":{\"directories\":" + std::to_string(scan_dir_num);
  out += ",\"files\":" + std::to_string(scan_file_num);
  out += ",\"alerts\":" + std::to_string(alert_num);
  out += ",\"infected\":" + std::to_string(infected_file_num);
  out += ",\"protected\":" + std::to_string(protected_file_num);
  out += ",\"errors\":" + std::to_string(error_file_num);
  out += ",\"delete\":" + std::to_string(delete_file_num);
  out += ",\"move\":" + std::to_string(move_file_num);
  out += ",\"exclude\":" + std::to_string(exclude_file_num);
  out += ",\"engine_restarts\":" + std::to_string(ClamdRestartCount);
  out += "}";
}

std::string engine_version() {
  size_t n = strnlen(AVE_info.engineVersion, sizeof AVE_info.engineVersion);
  return std::string(AVE_info.engineVersion, n);
}

std::string summary_line(int status, double end, double duration) {
  std::string out = "{\"type\":\"summary\"";
  add_text(out, "run", state.run_id);
  add_text(out, "mode", state.mode == 0 ? "normal" : "single-file");
  add_text(out, "start", utc_text(state.start, true));
  add_text(out, "end", utc_text(end, true));
  char dur[32];
  snprintf(dur, sizeof dur, "%.3f", duration < 0 ? 0.0 : duration);
  key(out, "duration");
  out += dur;
  add_num(out, "exit_status", status);
  add_counters(out);
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  add_text(out, "host", host);
  add_num(out, "pid", static_cast<long long>(getpid()));
  add_text(out, "version", ORNIXFS_VERSION);
  add_text(out, "engine_version", engine_version());
  key(out, "database_version");
  out += AVE_info.vdfVersion > 0 ? std::to_string(AVE_info.vdfVersion) : "null";
  add_text(out, "config", config_path != nullptr ? config_path : "");
  return out + "}\n";
}

void write_metrics(int status, double end) {
  if (state.mode != 0 || state.metrics_path.empty()) return;
  std::string err;
  // Counters only, no names: readable by the collector's own user.
  if (atomic_replace(state.metrics_path.c_str(), metrics_text(status, state.start, end), 0644,
                     &err) != 0)
    MsgLog(OrnixLog, 1, "metrics file: %s\n", err.c_str());
}

}  // namespace

void run_report_open(int mode) {
  state.mode = mode;
  state.start = wall_now();
  clock_gettime(CLOCK_MONOTONIC, &state.mono);
  state.run_id = make_run_id();
  const char *json = config_text("filescan.report", "JsonReportFile");
  const char *metrics = config_text("filescan.report", "MetricsFile");
  state.metrics_path = metrics != nullptr ? metrics : "";
  if (json == nullptr || json[0] == '\0') return;
  state.json_path = json;
  state.fd = open_report(state.json_path);
}

void run_report_file(const FileRecord &r) {
  if (!state.fd.ok() || r.path == nullptr) return;
  std::string out;
  out.reserve(512);
  out += "{\"type\":\"file\"";
  add_text(out, "run", state.run_id);
  add_text(out, "time", line_time());
  out += ',';
  json_name(out, "path", r.path, strlen(r.path));
  add_num(out, "class", r.cls);
  add_text(out, "result", class_name(r.cls));
  key(out, "detections");
  out += '[';
  for (size_t i = 0; i < r.detections.size(); i++) {
    if (i > 0) out += ',';
    json_string(out, r.detections[i].data(), r.detections[i].size());
  }
  out += ']';
  add_text(out, "reason", r.reason);
  add_text(out, "digest", r.digest);
  add_num(out, "size", static_cast<long long>(r.st.st_size));
  add_text(out, "mtime", utc_text(static_cast<double>(r.st.st_mtime), false));
  add_text(out, "action", r.action);
  if (!r.action.empty()) {
    key(out, "action_done");
    out += r.action_done ? "true" : "false";
    add_text(out, "action_error", r.action_error);
    add_text(out, "moved_to", r.moved_to);
  }
  send_line(out + "}\n");
}

void run_report_end(int status) {
  if (state.ended) return;
  state.ended = true;
  double end = wall_now();
  double duration = elapsed_since(state.mono);
  if (state.fd.ok()) send_line(summary_line(status, end, duration));
  state.fd.reset();
  write_metrics(status, end);
}
