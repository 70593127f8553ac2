// The live tree and the reader's state, apart from the code that uses them so
// that the reader, the parameter store and the section walk depend on this
// file and not on each other.
#include "config_internal.h"

SSP *SectionList = nullptr, *SetSectionList = nullptr, *CurrentSection = nullptr;
GRP *GroupList = nullptr, *SetGroupList = nullptr, *DefaultGroup = nullptr,
    *SetDefaultGroup = nullptr, *CurrentGroup = nullptr;
char ConfigFilename[1024];
char ConfigFileBase[1024];
int ConfigReloadFlag = 0;
ornix_config::ReadPlace ornix_config::read_place;
