// Arbitrary engine replies into the scan and version parsers: the reply
// buffer is the client's own 1,024 bytes, so the fuzzer fills it the same way.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "clamav_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // First byte picks the scan kind and whether the buffer is terminated.
  const uint8_t mode = data[0];
  ++data;
  --size;
  char reply[CLAMD_REPLY_SIZE];
  memset(reply, 0, sizeof reply);
  size_t n = size < sizeof reply ? size : sizeof reply;
  if ((mode & 2) == 0 && n == sizeof reply) n = sizeof reply - 1;
  memcpy(reply, data, n);

  AVEAPI_RESULTS r;
  memset(&r, 0, sizeof r);
  const char *path = (mode & 1) ? "/tmp/a:b c" : nullptr;
  int rc = clamd_parse_scan_reply(reply, path, &r);
  if (rc == 1 && r.alertList == nullptr) __builtin_trap();
  if (r.alertList && r.alertList->string[0] == '\0') __builtin_trap();
  clamd_cleanup_results(&r);

  char vreply[CLAMD_REPLY_SIZE];
  memset(vreply, 0, sizeof vreply);
  memcpy(vreply, data, size < sizeof vreply - 1 ? size : sizeof vreply - 1);
  AVEAPI_INFO info;
  memset(&info, 0, sizeof info);
  if (clamd_parse_version(vreply, &info) == 0 &&
      strnlen(info.engineVersion, sizeof info.engineVersion) >= sizeof info.engineVersion)
    __builtin_trap();
  return 0;
}
