// The configuration parser fed arbitrary bytes as a configuration file, then
// the lookups run over whatever tree came out. Each run releases its tree so
// memory stays flat and leaks show up.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config.h"
#include "log.h"

namespace {

std::string conf_dir, conf_path;

void cleanup() {
  unlink(conf_path.c_str());
  rmdir(conf_dir.c_str());
}

void init() {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ornix_config_fuzz.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  conf_dir = tmpl;
  conf_path = tmpl + "/fuzz.conf";
  atexit(cleanup);
  // configuration errors are also printed; keep the fuzzer's output readable
  int devnull = open("/dev/null", O_WRONLY);
  if (devnull >= 0) {
    dup2(devnull, 1);
    close(devnull);
  }
  // every message is formatted, so bad format arguments cannot hide
  OrnixLog = fopen("/dev/null", "w");
  LogLevel = 65535;
}

void lookups() {
  static const char *const sections[] = {"general", "filescan.options", "smtpscan.notify.sender.infected",
                                         "smtpscan.action.x", "smtpscan.group", "a.b", "A"};
  static const char *const keys[] = {"MaxSize", "SMTPPort", "Subject", "A", "Senders", "Key"};
  for (const char *s : sections) {
    for (const char *k : keys) {
      int n;
      const char *t;
      off_t l;
      GetConfigValue(s, k, NUM, &n);
      GetConfigValue(s, k, STR, &t);
      GetConfigValue(s, k, LNUM, &l);
      config_text(s, k);
      config_size(s, k);
      for (GRP *g = GroupList; g != nullptr; g = g->next) {
        GetGroupConfigValue(g, s, k, STR, &t);
        GetGroupConfigValue(g, s, k, LNUM, &l);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (conf_path.empty()) init();
  int fd = open(conf_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t w = write(fd, data + done, size - done);
    if (w <= 0) abort();
    done += static_cast<size_t>(w);
  }
  close(fd);

  if (LoadConfigFile(conf_path.c_str()) == 0) {
    lookups();
    UnloadConfig();
  }
  return 0;
}
