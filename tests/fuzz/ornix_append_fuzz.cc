// The AppendFile copy of the engine configuration: whatever the file holds,
// it reaches the engine's file byte for byte, ended by a line feed, followed
// only by default lines in their fixed order.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ornix.h"

namespace {

const char *const kDefaults[] = {
    "AlertEncrypted yes\n",    "LocalSocketMode 660\n",
    "CommandReadTimeout 30\n", "LogFileMaxSize 2M\n",
    "LogTime yes\n",           "LogVerbose yes\n",
    "ExtendedDetectionInfo yes\n", "DatabaseDirectory /usr/lib/clamav\n",
    "ScanImage no\n",          "ScanImageFuzzyHash no\n",
};

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = memfd_create("append", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  EngineSettings s;
  s.temp_path = "/t";
  s.socket_file = "/s";
  s.pid_file = "/p";
  s.symlink = "yes";
  s.archive_scan = "yes";
  s.log_path = "/l";
  s.facility = "user";
  s.append_file = "/proc/self/fd/" + std::to_string(fd);

  char *buf = nullptr;
  size_t len = 0;
  FILE *mem = open_memstream(&buf, &len);
  int rc = emit_engine_conf(mem, s);
  fclose(mem);
  close(fd);
  std::string out(buf, len);
  free(buf);
  check(rc == 0);

  size_t head = out.find("LogFile /l\n");
  check(head != std::string::npos);
  size_t at = head + strlen("LogFile /l\n");
  std::string input(reinterpret_cast<const char *>(data), size);
  check(out.compare(at, size, input) == 0);
  at += size;
  if (size > 0 && input.back() != '\n') {
    check(out[at] == '\n');
    at++;
  }
  size_t next = 0;
  while (at < out.size()) {
    while (next < 10 && out.compare(at, strlen(kDefaults[next]), kDefaults[next]) != 0) next++;
    check(next < 10);
    at += strlen(kDefaults[next]);
    next++;
  }
  return 0;
}
