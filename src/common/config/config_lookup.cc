// Typed lookups in the live tree with fallback to the catalogue defaults.
#include <strings.h>
#include <sys/types.h>

#include <climits>
#include <cstring>
#include <string>

#include "config_internal.h"
#include "log.h"

using namespace ornix_config;

namespace {

bool valid_type(int t) { return t == NUM || t == STR || t == LNUM; }

// Text (a default, or a STR entry asked as a number) in the requested type.
void store_text(const char *text, int type, void *result) {
  switch (type) {
    case NUM: *static_cast<int *>(result) = to_int(text); break;
    case STR: *static_cast<const char **>(result) = text; break;
    case LNUM: *static_cast<off_t *>(result) = static_cast<off_t>(size_value(text)); break;
    default: break;
  }
}

// A password's value never reaches a trace line.
const char *shown(const char *name, const char *value) {
  return name != nullptr && strcasestr(name, "password") != nullptr ? "********" : value;
}

void log_result(const char *how, const char *section, const char *name, int type, void *result) {
  switch (type) {
    case NUM:
      MsgLog(OrnixLog, 32768, "[DEBUG] GetConfigValue(%s): SS=%s,N=%s,T=NUM,VAL=%d\n",
             how[0] == 'd' ? "default" : "result int", section, name, *static_cast<int *>(result));
      break;
    case STR:
      MsgLog(OrnixLog, 32768, "[DEBUG] GetConfigValue(%s): SS=%s,N=%s,T=STR,VAL=%s\n",
             how[0] == 'd' ? "default" : "result", section, name,
             shown(name, *static_cast<const char **>(result)));
      break;
    case LNUM:
      MsgLog(OrnixLog, 32768, "[DEBUG] GetConfigValue(%s): SS=%s,N=%s,T=LNUM,VAL=%llu\n",
             how[0] == 'd' ? "default" : "result off_t", section, name,
             static_cast<unsigned long long>(*static_cast<off_t *>(result)));
      break;
    default: break;
  }
}

// The configured value of a section of the live tree, logged as found.
bool from_tree(GRP *group, const char *section, const char *name, int type, void *result) {
  SSP *s = parse_section(group, section, 0, SectionList);
  if (s == nullptr || search_value(s->SectionValueList, name, type, result) != 0) return false;
  log_result("result", section, name, type, result);
  return true;
}

}  // namespace

int search_value(SSV *list, const char *name, int value_type, void *result) {
  MsgLog(OrnixLog, 32768, "[DEBUG] search_value: SSV=%x,P=%s,T=%s,A=%x\n", ptr32(list),
         name ? name : "(null)", type_name(value_type), ptr32(result));
  if (name == nullptr || result == nullptr || !valid_type(value_type)) return -1;
  size_t n = strlen(name);
  for (SSV *v = list; v != nullptr; v = v->next) {
    // The name may be followed by blanks as written ("Key =v"), but not by
    // more of a longer name: "SendMailCondition" must never answer "SendMail".
    if (strncasecmp(v->ParamName, name, n) != 0 ||
        v->ParamName[strspn(v->ParamName + n, " \t") + n] != '\0')
      continue;
    if (v->ValueType == NUM) {
      uint64_t num = *static_cast<uint64_t *>(v->ParamValue);
      switch (value_type) {
        case NUM:
          // beyond an int (a size asked as a number) is as large as an int gets, never wrapped
          *static_cast<int *>(result) = num > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(num);
          MsgLog(OrnixLog, 32768, "[DEBUG] search_value(result): v=%x,%s=%d\n", ptr32(v), name,
                 *static_cast<int *>(result));
          break;
        case LNUM:
          // a size beyond what off_t holds is as large as it can be, not negative
          *static_cast<off_t *>(result) =
              num > static_cast<uint64_t>(INT64_MAX) ? static_cast<off_t>(INT64_MAX) : static_cast<off_t>(num);
          MsgLog(OrnixLog, 32768, "[DEBUG] search_value(result): v=%x,%s=%llu\n", ptr32(v), name,
                 static_cast<unsigned long long>(num));
          break;
        case STR:
          // digits keep their leading zeros: "0400" is a mode, "0123" a password
          *static_cast<const char **>(result) = v->ParamText;
          MsgLog(OrnixLog, 32768, "[DEBUG] search_value(result): v=%x,%s=%s\n", ptr32(v), name,
                 shown(name, v->ParamText));
          break;
      }
    } else {
      const char *text = static_cast<const char *>(v->ParamValue);
      store_text(text, value_type, result);
      if (value_type == STR)
        MsgLog(OrnixLog, 32768, "[DEBUG] search_value(result): v=%x,%s=%s\n", ptr32(v), name,
               shown(name, text));
      else if (value_type == NUM)
        MsgLog(OrnixLog, 32768, "[DEBUG] search_value(result): v=%x,%s=%d\n", ptr32(v), name,
               *static_cast<int *>(result));
      else
        MsgLog(OrnixLog, 32768, "[DEBUG] search_value(result): v=%x,%s=%llu\n", ptr32(v), name,
               static_cast<unsigned long long>(*static_cast<off_t *>(result)));
    }
    return 0;
  }
  return -1;
}

const char *ornix_config::fallback_text(const char *key) {
  if (key == nullptr) return "";
  for (const default_value *f = fallbacks; f->key != nullptr; f++)
    if (strcmp(f->key, key) == 0) return f->str;
  return "";
}

const default_value *get_default_value(const char *section, const char *name) {
  if (section == nullptr || name == nullptr) return nullptr;
  const default_value *answer = nullptr;
  bool in_section = false;
  for (const default_value *d = defval; d->key != nullptr || d->str != nullptr; d++) {
    if (d->key != nullptr && strcmp(d->key, "SS") == 0) {
      in_section = d->str != nullptr && strcmp(d->str, section) == 0;
      continue;
    }
    if (in_section && d->key != nullptr && strcmp(d->key, name) == 0) answer = d;
  }
  return answer;
}

int GetConfigValue(const char *section, const char *name, int value_type, void *result) {
  MsgLog(OrnixLog, 32768, "[DEBUG] GetConfigValue: SS=%s,N=%s,T=%s,A=%x\n", section ? section : "(null)",
         name ? name : "(null)", type_name(value_type), ptr32(result));
  if (section == nullptr || name == nullptr || result == nullptr || !valid_type(value_type)) return -1;
  if (from_tree(nullptr, section, name, value_type, result)) return 0;
  const default_value *d = get_default_value(section, name);
  if (d == nullptr) {
    MsgLog(OrnixLog, 8192, "[DEBUG] Parameta not defined.(Section=%s,Name=%s)\n", section, name);
    return -1;
  }
  store_text(d->str, value_type, result);
  log_result("default", section, name, value_type, result);
  return 0;
}

int GetGroupConfigValue(GRP *group, const char *section, const char *name, int value_type,
                        void *result) {
  MsgLog(OrnixLog, 32768, "[DEBUG] GetGroupConfigValue: G=%x,SS=%s,N=%s,T=%s,A=%x\n", ptr32(group),
         section ? section : "(null)", name ? name : "(null)", type_name(value_type), ptr32(result));
  if (section == nullptr || name == nullptr || result == nullptr || !valid_type(value_type)) return -1;
  if (from_tree(group, section, name, value_type, result)) return 0;

  // a notification section falls back to its shorter relatives, an action
  // sub-section to the group's action section
  std::vector<std::string> c;
  if (split_section(section, false, c) == 0 && c.size() >= 2 && strcasecmp(c[0].c_str(), "smtpscan") == 0) {
    std::string base = c[0] + "." + c[1];
    if (strcasecmp(c[1].c_str(), "notify") == 0) {
      if (c.size() >= 4 && from_tree(group, (base + "." + c[3]).c_str(), name, value_type, result)) return 0;
      if (c.size() >= 3 && from_tree(group, (base + "." + c[2]).c_str(), name, value_type, result)) return 0;
      if (from_tree(group, base.c_str(), name, value_type, result)) return 0;
    }
    if (strcasecmp(c[1].c_str(), "action") == 0 &&
        from_tree(group, "smtpscan.action", name, value_type, result))
      return 0;
  }

  const default_value *d = get_default_value(section, name);
  if (d == nullptr) {
    MsgLog(OrnixLog, 2, "Parameta not defined.(Section=%s,Name=%s,Type=%d)\n", section, name, value_type);
    return -1;
  }
  store_text(d->str, value_type, result);
  return 0;
}

const char *config_text(const char *section, const char *key) {
  const char *v = nullptr;
  if (section != nullptr && GetConfigValue(section, key, STR, &v) == 0 && v != nullptr) return v;
  return fallback_text(key);
}

int config_num(const char *section, const char *key) {
  int v = 0;
  if (section != nullptr && GetConfigValue(section, key, NUM, &v) == 0) return v;
  return to_int(fallback_text(key));
}

int config_yesno(const char *section, const char *key) {
  return strcasecmp(config_text(section, key), "yes") == 0 ? 1 : 0;
}

off_t config_size(const char *section, const char *key) {
  off_t v = 0;
  if (section != nullptr && GetConfigValue(section, key, LNUM, &v) == 0) return v;
  return static_cast<off_t>(size_value(fallback_text(key)));
}
