// Masks, name and size texts shared by the walk, the pipeline and the actions.
#include "filecheck_util.h"

#include <regex.h>

#include <string>

#include "log.h"

int match2(const char *text, const char *mask, int flag) {
  if (text == nullptr || *text == '\0' || mask == nullptr || *mask == '\0') return 1;
  std::string expr(mask);
  for (char &c : expr)
    if (c == ':') c = '|';
  regex_t re;
  int rc = regcomp(&re, expr.c_str(), flag | REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    // A broken mask matches nothing; said once per mask rather than per file.
    static std::string reported;
    if (reported != expr) {
      char err[256];
      regerror(rc, &re, err, sizeof(err));
      MsgLog(OrnixLog, 1, "[Warning] mask is not a valid regular expression(%s): %s\n", mask, err);
      reported = expr;
    }
    return 0;
  }
  int hit = regexec(&re, text, 0, nullptr, 0) == 0 ? 1 : 0;
  regfree(&re);
  return hit;
}

int is_ascii_name(const char *s) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++)
    if (*p < 32 || *p > 126) return 0;
  return 1;
}

std::string size_text(long long size) {
  std::string digits = std::to_string(size < 0 ? -size : size);
  std::string out;
  int n = static_cast<int>(digits.size());
  for (int i = 0; i < n; i++) {
    out += digits[i];
    int left = n - 1 - i;
    if (left > 0 && left % 3 == 0) out += ',';
  }
  return size < 0 ? "-" + out : out;
}
