// Putting files of the save tree back, and listing what it holds.
#ifndef ORNIX_SAVE_RESTORE_H
#define ORNIX_SAVE_RESTORE_H

#include <cstdio>
#include <string>

// Puts one saved file back where it was moved from, exactly: the contents
// (proven by the recorded digest), mode, owner, group and times. `target`
// is the copy's path in the save tree or the original's path. An existing
// file there is replaced only with `replace`. The copy and its record leave
// the save tree once the original is back. 0, or -1 with *err.
int restore_saved(const char *save, const std::string &target, bool replace, std::string *err);

// One line per copy in the save tree (or below `below`, a directory of it)
// with its record, names escaped; copies without a record say so. The
// number of copies listed, or -1 with *err.
int list_saved(const char *save, const std::string &below, FILE *out, std::string *err);

#endif
