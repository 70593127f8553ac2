// Masks, name and size texts shared by the walk, the pipeline and the actions.
#include "filecheck_util.h"

#include <errno.h>
#include <regex.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "log.h"
#include "safe_file.h"

namespace {

// The directory of the previous file stays open: a walk hands over the files
// of one directory in a row, and the identity check below holds whatever is
// opened in it to the walked file even if its path has changed meanwhile.
UniqueFd open_no_links(const char *path, std::string *err) {
  static UniqueFd root = open_dir("/");
  static std::string last_dir;
  static UniqueFd last_fd;
  const char *slash = strrchr(path, '/');
  std::string dir(path, static_cast<size_t>(slash - path));
  if (!last_fd.ok() || dir != last_dir) {
    std::string leaf;
    last_fd = root.ok() ? open_parent(root.get(), path, &leaf) : UniqueFd();
    last_dir = last_fd.ok() ? dir : std::string();
  }
  UniqueFd fd = last_fd.ok() ? open_at(last_fd.get(), slash + 1, O_RDONLY | O_NONBLOCK | O_NOCTTY)
                             : UniqueFd();
  if (!fd.ok()) *err = sys_message("open", path, errno);
  return fd;
}

// A mask is one extended regular expression with ":" as its alternation.
int compile_mask(const char *mask, int flag, regex_t *re, std::string *expr) {
  *expr = mask;
  for (char &c : *expr)
    if (c == ':') c = '|';
  return regcomp(re, expr->c_str(), flag | REG_EXTENDED | REG_NOSUB);
}

}  // namespace

std::string mask_error(const char *mask, int flag) {
  if (mask == nullptr || *mask == '\0') return std::string();
  regex_t re;
  std::string expr;
  int rc = compile_mask(mask, flag, &re, &expr);
  if (rc == 0) {
    regfree(&re);
    return std::string();
  }
  char err[256];
  regerror(rc, &re, err, sizeof(err));
  return err[0] != '\0' ? err : "not a regular expression";
}

int match2(const char *text, const char *mask, int flag) {
  if (text == nullptr || *text == '\0' || mask == nullptr || *mask == '\0') return 1;
  regex_t re;
  std::string expr;
  int rc = compile_mask(mask, flag, &re, &expr);
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

UniqueFd open_walked_file(const char *path, const struct stat &walked, std::string *err) {
  if (path == nullptr || path[0] != '/') {
    *err = sys_message("open", path ? path : "", EINVAL);
    return UniqueFd();
  }
  UniqueFd fd = open_no_links(path, err);
  if (!fd.ok() && (errno == ELOOP || errno == ENOTDIR)) {
    // The walk went through a linked directory (Symlink=yes): the file's
    // own path has none, and the identity check below still holds it to
    // what was walked.
    char *real = realpath(path, nullptr);
    if (real != nullptr) {
      fd = open_no_links(real, err);
      free(real);
    }
  }
  if (!fd.ok()) return fd;
  // Device and inode, not the change time: a file written to while the walk
  // passes (a log) is still the file that was walked.
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    *err = sys_message("fstat", path, errno);
    return UniqueFd();
  }
  if (!S_ISREG(st.st_mode)) {
    *err = sys_message("open", path, EINVAL);
    return UniqueFd();
  }
  if (st.st_dev != walked.st_dev || st.st_ino != walked.st_ino) {
    *err = sys_message("open", path, ESTALE);
    return UniqueFd();
  }
  return fd;
}
