// Helpers of the file scanner used by its walk, pipeline and actions alike;
// this file calls none of them.
#ifndef ORNIX_FILECHECK_UTIL_H
#define ORNIX_FILECHECK_UTIL_H

#include <string>
#include <sys/stat.h>

#include "ornix_lib.h"

#define FC_PATH_MAX 8192   // paths built by the walk, terminator included
#define FC_CWD_MAX 1024

// 1 when text matches one of the ":"-separated extended regular expressions
// of mask (also when text or mask is empty), 0 otherwise.
int match2(const char *text, const char *mask, int flag);
// Why match2 cannot use mask (the regular expression library's words); empty
// when it compiles or is empty.
std::string mask_error(const char *mask, int flag);
// 1 when every byte is printable ASCII.
int is_ascii_name(const char *s);
// Opens the regular file at path for reading without following a link at
// any step, and only when it is the file `walked` describes (device and
// inode); otherwise empty, with *err naming operation, path and error.
UniqueFd open_walked_file(const char *path, const struct stat &walked, std::string *err);
// "1234567" -> "1,234,567".
std::string size_text(long long size);

#endif
