// The Prometheus text of the last run, for node_exporter's textfile
// collector. Every value is of the last run only, so each is a gauge: a
// scan that found something shows in ornixfs_last_run_infected_files, a
// scan that stopped running in an old ornixfs_last_run_finish_timestamp_seconds.
#include <cstdio>
#include <cstring>
#include <string>

#include "ornix_common.h"
#include "ornixfs.h"
#include "ornixfs_json.h"

namespace {

void gauge(std::string &out, const char *name, const char *help, const std::string &value) {
  out += "# HELP ornixfs_";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ornixfs_";
  out += name;
  out += " gauge\nornixfs_";
  out += name;
  out += ' ';
  out += value;
  out += '\n';
}

void gauge(std::string &out, const char *name, const char *help, long long value) {
  gauge(out, name, help, std::to_string(value));
}

std::string seconds(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.3f", v < 0 ? 0.0 : v);
  return buf;
}

// A label value: backslash, double quote and line feed escaped.
std::string label_value(const char *s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n && s[i] != '\0'; i++) {
    if (s[i] == '\\') out += "\\\\";
    else if (s[i] == '"') out += "\\\"";
    else if (s[i] == '\n') out += "\\n";
    else if (static_cast<unsigned char>(s[i]) >= 0x80) out += '?';   // labels are UTF-8
    else out += s[i];
  }
  return out;
}

}  // namespace

std::string metrics_text(int status, double start, double finish) {
  std::string out;
  gauge(out, "last_run_exit_status",
        "Exit status of the last run (0 no alerts, 1 alerts, 10 stopped, 97 engine down).",
        status);
  gauge(out, "last_run_start_timestamp_seconds", "Start of the last run, seconds since the epoch.",
        seconds(start));
  gauge(out, "last_run_finish_timestamp_seconds",
        "End of the last run, seconds since the epoch.", seconds(finish));
  gauge(out, "last_run_duration_seconds", "Duration of the last run in seconds.",
        seconds(finish - start));
  const struct {
    const char *name, *help;
    long long value;
  } counters[] = {
      {"last_run_directories", "Directories entered by the last run.", scan_dir_num},
      {"last_run_files", "Regular files checked by the last run.", scan_file_num},
      {"last_run_alerts", "Alerts of the last run.", alert_num},
      {"last_run_infected_files", "Files found infected by the last run.", infected_file_num},
      {"last_run_protected_files", "Encrypted objects met by the last run.", protected_file_num},
      {"last_run_error_files", "Files whose check failed in the last run.", error_file_num},
      {"last_run_deleted_files", "Files deleted by the last run.", delete_file_num},
      {"last_run_moved_files", "Files moved into the save tree by the last run.", move_file_num},
      {"last_run_excluded_entries", "Entries skipped by a filter or a walk rule.",
       exclude_file_num},
      {"last_run_engine_restarts", "Engine restarts done by the last run.", ClamdRestartCount},
  };
  for (const auto &c : counters) gauge(out, c.name, c.help, c.value);
  out += "# HELP ornixfs_last_run_info Versions of the last run: scanner, engine, signatures.\n"
         "# TYPE ornixfs_last_run_info gauge\n"
         "ornixfs_last_run_info{version=\"" ORNIXFS_VERSION "\",engine_version=\"";
  out += label_value(AVE_info.engineVersion, sizeof AVE_info.engineVersion);
  out += "\",database_version=\"" + std::to_string(AVE_info.vdfVersion) + "\"} 1\n";
  return out;
}
