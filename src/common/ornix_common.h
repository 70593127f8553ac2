// Declarations shared by every program of the suite.
#ifndef ORNIX_COMMON_H
#define ORNIX_COMMON_H

#include "config.h"
#include "log.h"
#include "ornix_lib.h"

#define ORNIX_DEFAULT_CONFIG "/etc/opt/ornix/ornix.conf"
#define ORNIX_RIGHTS "Copyright (C) Ornix developers. All rights reserved."

// Result class of one checked file; also the single-file mode's exit status.
enum FileScanStatus {
  SCAN_CLEAN = 0,
  SCAN_INFECTED = 1,
  SCAN_PROTECTED = 2,
  SCAN_ERROR = 3,
  SCAN_SUSPICIOUS = 4,
  SCAN_TIMEOUT = 5,
  SCAN_ARCHIVE_LIMIT = 6,
};

#endif
