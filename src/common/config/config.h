// The configuration: the live tree, loading a file into it and typed lookups.
#ifndef ORNIX_CONFIG_H
#define ORNIX_CONFIG_H

#include <sys/types.h>

#include <cstdint>

// Stored value types of an SSV, and requested types of a lookup.
enum { NUM = 0, STR = 1, LNUM = 2 };

// One parameter.
struct SSV {
  int ValueType;      // NUM or STR as stored
  char *ParamName;    // key as written
  void *ParamValue;   // STR: the text; NUM: uint64_t *
  char *ParamText;    // the value exactly as written (answers a STR lookup of a NUM entry)
  SSV *next;
};

// One section node (one component of a dotted name).
struct SSP {
  int SectionLevel;
  char *SectionName;
  SSP *LowerLevelSectionList;
  SSV *SectionValueList;
  SSP *next;
};

// One mail-scanner group.
struct GRP {
  char *GroupName;
  char *Senders;
  char *Recipients;
  int SRcondition;
  char *UsersDB;
  SSP *GroupSectionList;
  SSP *FilterSectionList;
  SSP *ActionSectionList;
  SSP *NotifySectionList;
  SSP *SpamSectionList;
  SSP *SpamActionSectionList;
  SSP *SpamNotifySectionList;
  SSP *WBLSectionList;
  GRP *next;
};

// What a key's value must be. A text takes anything; a number is decimal
// with optional leading blanks and sign, within the int range; a size is
// decimal digits with optional leading blanks and one optional K, M or G (any
// case: times 2^10, 2^20, 2^30); yes/no is one of those words in any case.
enum { TEXT_VALUE = 0, NUM_VALUE, SIZE_VALUE, YESNO_VALUE };

// One record of the catalogue: an "SS" key opens a section (its text is the
// full dotted name); the table ends with a record of two nulls. A key with a
// kind other than TEXT_VALUE is refused at load when its value is not of it.
struct default_value {
  const char *key;
  const char *str;
  int kind = TEXT_VALUE;
};

// The live tree. The default group is also the last of the list.
extern SSP *SectionList;
extern GRP *GroupList, *DefaultGroup;
extern char ConfigFilename[1024];   // the file the live tree was read from
extern int ConfigReloadFlag;        // 2 while a reload runs
extern char *TempDir;               // temporary directory of the long-lived programs (reload)
extern const char *ReportSection;   // section whose log settings OpenReportLog applied

// Every section and key with its built-in value, as text. The one table of
// fallbacks: a key missing from the file answers with its value here.
extern const default_value defval[];

// Read a file and make it the live tree, releasing the tree it replaces.
// On failure (message printed and logged) the live tree stays as it was: -1.
int LoadConfigFile(const char *path);
// Release the live tree (end of a test or a fuzz run; leak checks).
void UnloadConfig(void);
// Load ConfigFilename again; on success the log level, formats, syslog
// facility and TempDir follow the new tree. A failure keeps the old tree.
void ConfigReload(void);

// Result variables: NUM int *, STR const char ** (borrowed), LNUM off_t *.
// 0 with the configured value or the catalogue's; -1 when the key is in neither.
int GetConfigValue(const char *section, const char *name, int value_type, void *result);
int GetGroupConfigValue(GRP *group, const char *section, const char *name, int value_type,
                        void *result);

// Lookups that always answer: the configured value, else the catalogue's. A
// key defined in neither answers "", 0 or no. A yes/no key counts as 1 when it
// reads "yes" in any case. The text is borrowed from the tree or the catalogue.
const char *config_text(const char *section, const char *key);
int config_num(const char *section, const char *key);
int config_yesno(const char *section, const char *key);
off_t config_size(const char *section, const char *key);

// The value rules of the kinds, for the loader and for command lines that
// take the same values: 0 with the value stored, -1 (value untouched) when the
// text is not of the kind or out of its range. A suffixed size keeps the int
// range before its suffix; an unsuffixed one the off_t range.
int parse_num(const char *text, int *value);
int parse_size(const char *text, off_t *value);
int parse_yesno(const char *text, int *value);

// Open the log with the date and time formats of section "locale" and the
// syslog facility and priority of the given report section, which becomes
// ReportSection. Same result as OpenLog.
int OpenReportLog(const char *fname, const char *section);
// The same for a log file already open as fd (closed on failure).
int OpenReportLogFd(int fd, const char *section);

#endif
