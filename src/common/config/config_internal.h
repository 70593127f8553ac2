// Helpers shared by the configuration parser, the parameter store and the
// lookups; not part of the module's public interface.
#ifndef ORNIX_CONFIG_INTERNAL_H
#define ORNIX_CONFIG_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "config.h"

// The reader's state: the tree under construction and the cursors of the
// read in progress. Only a load touches them.
extern SSP *SetSectionList, *CurrentSection;
extern GRP *SetGroupList, *SetDefaultGroup, *CurrentGroup;
extern char ConfigFileBase[1024];   // directory of relative includes

// Read a file into the Set* tree; the caller resets the cursors before and
// releases the tree after a failure.
int ReadConfigFile(const char *fname);
// The section of a dotted name; type 1 creates what is missing (a header),
// type 0 only looks (a lookup).
SSP *parse_section(GRP *group, const char *name, int type, SSP *list);
int set_param(char *line);
int search_value(SSV *list, const char *name, int value_type, void *result);
const default_value *get_default_value(const char *section, const char *name);
void clear_config(SSP *sections, GRP *groups);
void clear_section(SSP *list);
void clear_group(GRP *list);
void clear_value(SSV *list);

namespace ornix_config {

// Where the read in progress is, for messages about a value: the file and
// line being read and the dotted name of the section that parameter lines go to.
struct ReadPlace {
  std::string file;
  int line = 0;
  std::string section;
};
extern ReadPlace read_place;

// The kind the catalogue gives a key of a section (names in any case);
// TEXT_VALUE for a key it does not list.
int key_kind(const char *section, const char *key);
// 0 when the value fits the kind of its key in read_place's section; else the
// error is printed and logged with file, line, key and value, and -1.
int check_value(const std::string &key, const std::string &value);

// Read a file and swap it in as the live tree. after_swap runs once the new
// tree is live and before the old one is released, so whoever still points
// into the old tree can move first.
int load_config(const char *path, void (*after_swap)());

// Values of keys that a lookup may ask of a section the catalogue does not
// describe (the log settings of any report section): key and text, ending
// with a null key.
extern const default_value fallbacks[];

// The fallback of a key looked up where neither the file nor the catalogue
// defines it: its entry in fallbacks, else "".
const char *fallback_text(const char *key);

// Limits of the file format. Longer names are refused, never cut.
constexpr size_t kMaxLine = 8191;         // one physical read
constexpr size_t kMaxSectionName = 255;
constexpr size_t kMaxComponents = 16;
constexpr size_t kMaxGroupName = 127;
constexpr size_t kMaxFileName = 1023;
constexpr size_t kMaxKey = 1024;
constexpr size_t kMaxFileValueLine = 1023;
constexpr size_t kMaxDomainsPattern = 16383;

// Split a section name into its components. Empty components are dropped, so
// "a..b" is "a" "b" and "" has none. with_colon also splits at ':' (headers do,
// the notify fallback of the group lookup does not).
// Returns 0; -1 when the name exceeds kMaxSectionName, -2 kMaxComponents.
int split_section(const char *name, bool with_colon, std::vector<std::string> &out);

// atoi without its undefined behaviour: leading blanks, an optional sign and
// the leading digits, clamped to the int range.
int to_int(const char *text);

// Leading decimal digits as an unsigned 64-bit number, saturating; 0 without digits.
uint64_t to_u64(const char *text);

// The size rule: a trailing G/M/K (any case) multiplies the int before it by
// 2^30, 2^20 or 2^10; otherwise the text as an unsigned decimal number.
// Negative counts give 0; the result never exceeds INT64_MAX.
int64_t size_value(const char *text);

// Pointers in debug messages keep the historical %x field.
inline unsigned ptr32(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

const char *type_name(int value_type);

// Print a configuration error on standard output as well as logging it, so an
// administrator sees it before the log is open.
void config_error(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Open a configuration file, an included file or a "file:" value for reading
// (close-on-exec). Directories are refused; with regular_only so is anything
// but a regular file. Null with errno set on failure.
FILE *open_config_stream(const char *path, bool regular_only);

// Sections created by a header that no lookup can reach (a group section
// header outside a group with further components). They are owned here and
// released when the read that made them ends.
void release_detached();

}  // namespace ornix_config

#endif
