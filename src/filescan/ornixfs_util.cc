// Small self-contained pieces of the ornixfs run: recipient list split,
// time texts and the program directory.
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ornixfs.h"
#include "ornix_lib.h"

int split_recipients(char *list, char **recipients, int max) {
  if (list == nullptr || max <= 0) {
    recipients[0] = nullptr;
    return 0;
  }
  int n = 0;
  recipients[n++] = list;
  char *p = list;
  while (*p != '\0' && n < max) {
    if (*p == ',') {
      *p = '\0';
      recipients[n++] = p + 1;
      // The first character of a new address is taken as it is, even a comma;
      // but a list ending in a comma must not make the walk step past its end.
      if (p[1] == '\0') break;
      p += 2;
    } else {
      ++p;
    }
  }
  recipients[n] = nullptr;
  return n;
}

void time_of_day_text(time_t t, int utc, char out[9]) {
  struct tm tmv;
  char buf[64];
  struct tm *ok = utc ? gmtime_r(&t, &tmv) : localtime_r(&t, &tmv);
  if (ok == nullptr || asctime_r(&tmv, buf) == nullptr || strlen(buf) < 19) {
    memcpy(out, "00:00:00", 9);
    return;
  }
  // asctime's fixed layout "Www Mmm dd hh:mm:ss yyyy\n": the time of day
  // is characters 12 to 19.
  memcpy(out, buf + 11, 8);
  out[8] = '\0';
}

const char *base_name(const char *argv0) {
  if (argv0 == nullptr) return "";
  const char *slash = strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

int bin_path_from_argv0(const char *argv0, char *out, size_t cap) {
  if (cap == 0) return -1;
  out[0] = '\0';
  std::string text = program_dir(argv0);
  if (text.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (text.size() + 1 > cap) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  return 0;
}
