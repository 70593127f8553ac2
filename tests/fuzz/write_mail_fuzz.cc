// write_mail in attach mode 2 on a scanned message of arbitrary bytes: the
// first byte chooses the scan results of up to eight parts and of the whole
// message, the rest is the message, with or without boundaries.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "log.h"
#include "mail.h"

namespace {

std::string dir;

void cleanup() {
  unlink((dir + "/tmpl").c_str());
  unlink((dir + "/msg").c_str());
  rmdir(dir.c_str());
}

void setup() {
  char t[] = "/tmp/ornix-fuzz-mail-XXXXXX";
  if (mkdtemp(t) == nullptr) abort();
  dir = t;
  FILE *fp = fopen((dir + "/tmpl").c_str(), "w");
  fputs("Virus %VIRUSNAME% from %SENDER%\n%HEADER%\nend\n", fp);
  fclose(fp);
  LogLevel = 0;
  atexit(cleanup);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (dir.empty()) setup();
  if (size == 0) return 0;
  std::string msg = dir + "/msg";
  FILE *fp = fopen(msg.c_str(), "w");
  fwrite(data + 1, 1, size - 1, fp);
  fclose(fp);

  attach_obj parts[8] = {};
  for (int i = 0; i < 8; i++) {
    parts[i].ScanStatus = (data[0] >> i) & 1;
    parts[i].next = i + 1 < (data[0] & 7) ? &parts[i + 1] : nullptr;
  }
  mail_obj m{};
  m.fname = const_cast<char *>(msg.c_str());
  m.mid = const_cast<char *>("fuzz");
  m.ScanStatus = data[0] >> 7;
  m.AttachObj = (data[0] & 7) ? parts : nullptr;

  notifymail *n = static_cast<notifymail *>(calloc(1, sizeof(notifymail)));
  n->mail = m.fname;
  n->type = 'A';
  n->sender = "s@x";
  if (open_mail(n) != 0) abort();
  if (write_mail(&m, n, (dir + "/tmpl").c_str(), 2, "text/plain", "iso-2022-jp") != 0) abort();
  close_mail(n);
  return 0;
}
