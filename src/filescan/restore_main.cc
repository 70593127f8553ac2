// ornixrestore: puts files that ornixfs moved into the save tree back where
// they were, or lists what the save tree holds. A program of its own, so
// that the scanner's command line stays as it is and a restore never starts
// an engine, a report or a mail.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "log.h"
#include "ornix_common.h"
#include "ornix_lib.h"
#include "filecheck_util.h"
#include "ornixfs.h"
#include "save_restore.h"
#include "stop_signal.h"

namespace {

void usage(FILE *out) {
  fputs("usage: ornixrestore [-c <config>] [-d <save_dir>] [-f] <path>...\n"
        "       ornixrestore [-c <config>] [-d <save_dir>] -l [<path>...]\n"
        "   <path> ... a copy in the save tree, or the path it was moved from\n"
        "   -f ... replace a file that exists at the original path\n"
        "   -l ... list the save tree (or the parts of it below the paths)\n"
        "   -c <filename> ... set config file path.\n"
        "   -d <directory_path> ... the save tree (default: SaveDirectory)\n"
        "   -h ... This message output.\n",
        out);
}

// Absolute, against the working directory when relative.
std::string absolute(const char *p) {
  if (p[0] == '/') return p;
  char *cwd = getcwd(nullptr, 0);   // any length
  if (cwd == nullptr) return p;
  std::string abs = std::string(cwd) + "/" + p;
  free(cwd);
  return abs;
}

}  // namespace

int main(int argc, char **argv) {
  const char *config = ORNIX_DEFAULT_CONFIG, *save = nullptr;
  bool replace = false, list = false;
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, ":c:d:flhb:")) != -1) {
    switch (c) {
      case 'c': config = optarg; break;
      case 'd': save = optarg; break;
      case 'f': replace = true; break;
      case 'l': list = true; break;
      case 'b': return build_check(ORNIXFS_VERSION, optarg);
      case 'h': usage(stdout); return 0;
      case ':':
        fprintf(stderr, "ornixrestore: %c parameters are insufficient\n", optopt);
        return 12;
      default:
        fprintf(stderr, "ornixrestore: Invalid option %c\n", optopt);
        usage(stderr);
        return 12;
    }
  }
  if (!list && optind >= argc) {
    usage(stderr);
    return 12;
  }
  if (LoadConfigFile(config) != 0) {
    fprintf(stderr, "This configuration is invalid, Could not execute.\n");
    return 13;
  }
  LogLevel = config_num("filescan.report", "ReportLevel");
  const char *log = config_text("filescan.report", "ReportFileName");
  if (OpenReportLog(log, "filescan.report") != 0) {
    fprintf(stderr, "ornixrestore logfile(%s) could not open\n", log);
    return 14;
  }
  // A stop ends the copy in progress (its temporary file removed) and the run.
  static const int kStop[] = {SIGINT, SIGTERM, SIGHUP};
  install_stop_handler(kStop, 3, nullptr);
  if (save == nullptr) save = config_text("filescan.options", "SaveDirectory");
  const std::string save_abs = absolute(save);
  int failed = 0;
  if (list) {
    std::vector<std::string> below(argv + optind, argv + argc);
    if (below.empty()) below.push_back("");
    for (const std::string &b : below) {
      std::string err;
      if (list_saved(save_abs.c_str(), b.empty() ? b : absolute(b.c_str()), stdout, &err) < 0) {
        fprintf(stderr, "ornixrestore: %s\n", err.c_str());
        failed++;
      }
    }
  }
  for (int i = optind; !list && i < argc; i++) {
    if (stop_requested()) break;
    std::string err;
    if (restore_saved(save_abs.c_str(), absolute(argv[i]), replace, &err) == 0) {
      printf("restored: %s\n", shown_name(argv[i]).c_str());
    } else {
      MsgLog(OrnixLog, 9, "  file restore fail(%s)\n", err.c_str());
      fprintf(stderr, "ornixrestore: %s\n", err.c_str());
      failed++;
    }
  }
  if (stop_requested()) {
    MsgLog(OrnixLog, 2, "ornixrestore stopped\n");
    fputs("ornixrestore: stopped\n", stderr);
    return 10;
  }
  return failed == 0 ? 0 : 1;
}
