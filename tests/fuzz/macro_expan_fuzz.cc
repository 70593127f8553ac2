// macro_expan on an arbitrary template line, with record texts and a stored
// message header taken from the same bytes; the output area is exactly
// MACRO_BUFSIZE bytes on the heap.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "log.h"
#include "mail.h"

namespace {
std::string msg;
void cleanup() { unlink(msg.c_str()); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (msg.empty()) {
    char t[] = "/tmp/ornix-fuzz-macro-XXXXXX";
    int fd = mkstemp(t);
    if (fd < 0) abort();
    close(fd);
    msg = t;
    LogLevel = 0;
    atexit(cleanup);
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  std::string line = text.substr(0, text.find('\0'));
  FILE *fp = fopen(msg.c_str(), "w");
  fwrite(data, 1, size, fp);  // the same bytes as the scanned message
  fclose(fp);
  std::string half = line.substr(line.size() / 2);
  notifymail n{};
  n.mail = msg.c_str();
  n.sender = half.c_str();
  n.recipient = line.c_str();
  n.subject = line.c_str();
  n.msgid = half.c_str();
  n.virusname = const_cast<char *>(line.c_str());
  n.virusinfo = const_cast<char *>(half.c_str());
  n.statmsg = line.c_str();
  auto out = std::make_unique<char[]>(MACRO_BUFSIZE);
  macro_expan(&n, line.c_str(), out.get());
  if (memchr(out.get(), 0, MACRO_BUFSIZE) == nullptr) abort();
  return 0;
}
