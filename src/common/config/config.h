// Configuration tree, parser and typed lookups.
#ifndef ORNIX_CONFIG_H
#define ORNIX_CONFIG_H

#include <cstdint>
#include <cstdio>

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

// One open file of the include stack.
struct FPstack {
  FILE *fp;
  char *fname;
  int line;
  FPstack *next;
};

struct default_value {
  const char *key;
  const char *str;
};

extern SSP *SectionList, *SetSectionList, *CurrentSection;
extern GRP *GroupList, *SetGroupList, *DefaultGroup, *SetDefaultGroup, *CurrentGroup;
extern char ConfigFilename[1024];
extern char ConfigFileBase[1024];
extern int ConfigReloadFlag;
extern const default_value defval[];

int ReadConfigFile(const char *fname);
SSP *parse_section(GRP *group, const char *name, int type, SSP *list);
int set_param(char *line);

// Result variables: NUM int *, STR const char ** (borrowed), LNUM off_t *.
int GetConfigValue(const char *section, const char *name, int value_type, void *result);
int GetGroupConfigValue(GRP *group, const char *section, const char *name, int value_type,
                        void *result);
// Lookups for callers with a built-in fallback: the fallback applies only
// when the key is defined nowhere (neither configured nor in the catalogue).
// A yes/no key counts as 1 when it reads "yes" in any case.
const char *config_text(const char *section, const char *key, const char *fallback);
int config_num(const char *section, const char *key, int fallback);
int config_yesno(const char *section, const char *key, int fallback);
int search_value(SSV *list, const char *name, int value_type, void *result);
const default_value *get_default_value(const char *section, const char *name);
void clear_config(SSP *sections, GRP *groups);
void clear_section(SSP *list);
void clear_group(GRP *list);
void clear_value(SSV *list);
void ConfigReload(void);

extern char *TempDir;   // temporary directory of the long-lived programs (reload)

#endif
