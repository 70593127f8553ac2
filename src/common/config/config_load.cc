// Making a freshly read file the live tree: at start-up, on reload, and the
// log settings that follow the tree.
#include <cstring>

#include "config_internal.h"
#include "log.h"

using namespace ornix_config;

char *TempDir = nullptr;
const char *ReportSection = nullptr;

namespace {

void reset_cursors() {
  CurrentSection = nullptr;
  CurrentGroup = nullptr;
  SetDefaultGroup = nullptr;
  SetSectionList = nullptr;
  SetGroupList = nullptr;
}

// The settings that point into the tree move to the new one before the old is
// released.
void follow_reloaded_tree() {
  MsgLog(OrnixLog, 2, "Reloading...\n");
  LogLevel = config_num("smtpscan.report", "ReportLevel");
  TimeFormat = config_text("locale", "TimeFormat");
  DateFormat = config_text("locale", "DateFormat");
  TempDir = const_cast<char *>(config_text("path", "TempPath"));
  set_syslog_facility(config_text(ReportSection, "Facility"), config_text(ReportSection, "Priority"));
}

}  // namespace

namespace ornix_config {

int load_config(const char *path, void (*after_swap)()) {
  reset_cursors();
  if (ReadConfigFile(path) != 0) {
    clear_config(SetSectionList, SetGroupList);
    reset_cursors();
    return -1;
  }
  SSP *old_sections = SectionList;
  GRP *old_groups = GroupList;
  SectionList = SetSectionList;
  GroupList = SetGroupList;
  DefaultGroup = SetDefaultGroup;
  reset_cursors();
  if (after_swap != nullptr) after_swap();
  clear_config(old_sections, old_groups);
  return 0;
}

}  // namespace ornix_config

int LoadConfigFile(const char *path) { return load_config(path, nullptr); }

void UnloadConfig(void) {
  clear_config(SectionList, GroupList);
  SectionList = nullptr;
  GroupList = nullptr;
  DefaultGroup = nullptr;
}

void ConfigReload(void) {
  ConfigReloadFlag = 2;
  MsgLog(OrnixLog, 2, "Reload configuration\n");
  MsgLog(OrnixLog, 2, "Read configuration file(%s)\n", ConfigFilename);
  if (load_config(ConfigFilename, follow_reloaded_tree) != 0) {
    MsgLog(OrnixLog, 2, "new config invalid, could not load\n");
    ConfigReloadFlag = 0;
    return;
  }
  ConfigReloadFlag = 0;
  MsgLog(OrnixLog, 2, "New configuration loaded\n");
}

namespace {

LogSettings report_log_settings(const char *section) {
  LogSettings settings;
  settings.time_format = config_text("locale", "TimeFormat");
  settings.date_format = config_text("locale", "DateFormat");
  settings.facility = config_text(section, "Facility");
  settings.priority = config_text(section, "Priority");
  return settings;
}

}  // namespace

int OpenReportLog(const char *fname, const char *section) {
  if (OpenLog(fname, report_log_settings(section)) != 0) return -1;
  ReportSection = section;
  return 0;
}

int OpenReportLogFd(int fd, const char *section) {
  if (OpenLogFd(fd, report_log_settings(section)) != 0) return -1;
  ReportSection = section;
  return 0;
}
