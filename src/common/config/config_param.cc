// One parameter line: key and value split, typing, size suffixes, values read
// from a file, and the keys that also set attributes of the current group.
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config_internal.h"
#include "log.h"
#include "ornix_lib.h"

using namespace ornix_config;

namespace {

bool all_digits(const std::string &v) {
  for (unsigned char c : v)
    if (c < '0' || c > '9') return false;
  return !v.empty();
}

bool is_size_key(const std::string &key) {
  static const char *const keys[] = {"MaxSize", "MaxArchiveSize", "BySize", "MaxFileSize"};
  for (const char *k : keys)
    if (strcasecmp(key.c_str(), k) == 0) return true;
  return false;
}

// Apply the size suffix; returns the number as decimal text.
std::string apply_size_suffix(const std::string &value) {
  unsigned char last = static_cast<unsigned char>(value.back());
  MsgLog(OrnixLog, 16384, "[DEBUG] set param long num. (n=%d,c=%c)\n", static_cast<int>(value.size()),
         last);
  int shift = 0;
  const char *what = nullptr;
  switch (last) {
    case 'G': case 'g': shift = 30; what = "Giga"; break;
    case 'M': case 'm': shift = 20; what = "Mega"; break;
    case 'K': case 'k': shift = 10; what = "Kiro"; break;
    default: return value;
  }
  int n = to_int(value.substr(0, value.size() - 1).c_str());
  unsigned long long l = n <= 0 ? 0ULL : static_cast<unsigned long long>(n) << shift;
  std::string text = std::to_string(l);
  MsgLog(OrnixLog, 16384, "[DEBUG] set param %s num. (L=%llu,value=%s)\n", what, l, text.c_str());
  return text;
}

// The lines of a "file:" value joined into one text. -1 when the file cannot
// be read or holds a line too long to be a pattern.
int file_value(const std::string &key, const std::string &fname, std::string &out) {
  UniqueFile fp(open_config_stream(fname.c_str(), true));
  if (!fp) {
    MsgLog(OrnixLog, 2, "Could not open parameta file(%s,%s,%s)\n", key.c_str(), fname.c_str(),
           strerror(errno));
    return -1;
  }
  bool masks = strcasecmp(key.c_str(), "ExcludeMask") == 0 || strcasecmp(key.c_str(), "IncludeMask") == 0;
  char sep = masks ? ':' : ',';
  out.clear();
  std::string line;
  int lineno = 0;
  for (;;) {
    line.clear();
    int c;
    while ((c = getc(fp.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) break;
    lineno++;
    line.resize(strlen(line.c_str()));
    if (!line.empty() && line[0] == '#') continue;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) continue;
    if (line.size() > kMaxFileValueLine) {
      config_error(2, "Line too long in parameta file(%s,%s,line %d)\n", key.c_str(), fname.c_str(),
                   lineno);
      return -1;
    }
    if (!out.empty()) out.push_back(sep);
    out += line;
  }
  if (ferror(fp.get())) {
    MsgLog(OrnixLog, 2, "Could not open parameta file(%s,%s,%s)\n", key.c_str(), fname.c_str(),
           strerror(errno));
    return -1;
  }
  return 0;
}

// ".*@" before every domain of a comma list, blanks dropped.
int domains_pattern(const std::string &value, std::string &out) {
  out = ".*@";
  bool after_comma = false;
  for (char c : value) {
    if (c == ' ' || c == '\t') continue;
    if (c == ',') {
      after_comma = true;
    } else if (after_comma) {
      out += ".*@";
      after_comma = false;
    }
    out.push_back(c);
  }
  if (out.size() > kMaxDomainsPattern) {
    config_error(2, "Domains value too long (at most %zu characters expanded): %.64s...\n",
                 kMaxDomainsPattern, value.c_str());
    return -1;
  }
  return 0;
}

// The users database beside the users list: its extension becomes ".db". Only
// the file name's own extension counts; a dot in a directory name does not.
std::string users_db(const std::string &value) {
  size_t slash = value.rfind('/');
  size_t dot = value.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return value + ".db";
  return value.substr(0, dot) + ".db";
}

char *dup(const std::string &s) { return strdup(s.c_str()); }

// Group attributes, prepared before anything is stored so that a failure
// leaves the group unchanged.
struct GroupUpdate {
  bool any = false;
  bool clear_addresses = false;
  std::string senders, recipients, users_db;
  bool set_senders = false, set_recipients = false, set_db = false;
  int condition = 0;
};

int prepare_group(const std::string &key, const std::string &value, GroupUpdate &u) {
  const char *k = key.c_str();
  if (strcasecmp(k, "Senders") == 0) {
    u.any = u.set_senders = true;
    u.senders = value;
  } else if (strcasecmp(k, "Recipients") == 0) {
    u.any = u.set_recipients = true;
    u.recipients = value;
  } else if (strcasecmp(k, "Domains") == 0) {
    std::string pattern;
    if (domains_pattern(value, pattern) != 0) return -1;
    u.any = u.set_senders = u.set_recipients = true;
    u.senders = u.recipients = pattern;
    u.condition = 1;
  } else if (strcasecmp(k, "Users") == 0) {
    u.any = u.set_db = u.clear_addresses = true;
    u.users_db = users_db(value);
    u.condition = 1;
  }
  return 0;
}

int apply_group(GRP *g, const GroupUpdate &u) {
  char *senders = nullptr, *recipients = nullptr, *db = nullptr;
  if (u.set_senders && (senders = dup(u.senders)) == nullptr) return -1;
  if (u.set_recipients && (recipients = dup(u.recipients)) == nullptr) {
    free(senders);
    return -1;
  }
  if (u.set_db && (db = dup(u.users_db)) == nullptr) {
    free(senders);
    free(recipients);
    return -1;
  }
  if (u.set_senders || u.clear_addresses) {
    free(g->Senders);
    g->Senders = senders;
  }
  if (u.set_recipients || u.clear_addresses) {
    free(g->Recipients);
    g->Recipients = recipients;
  }
  free(g->UsersDB);
  g->UsersDB = db;
  g->SRcondition = u.condition;
  return 0;
}

SSV *make_ssv(const std::string &key, int type, const std::string &value, const std::string &written) {
  SSV *v = static_cast<SSV *>(calloc(1, sizeof(SSV)));
  if (v == nullptr) return nullptr;
  v->ValueType = type;
  v->ParamName = dup(key);
  if (v->ParamName == nullptr) {
    free(v);
    return nullptr;
  }
  if (type == STR) {
    v->ParamValue = dup(value);
    v->ParamText = static_cast<char *>(v->ParamValue);   // same text, owned once
    if (v->ParamValue == nullptr) {
      free(v->ParamName);
      free(v);
      return nullptr;
    }
    MsgLog(OrnixLog, 16384, "[DEBUG] Create new param. ptr=%x(type=STR,name=%s,val=%s)\n", ptr32(v),
           v->ParamName, value.c_str());
    return v;
  }
  uint64_t *n = static_cast<uint64_t *>(malloc(sizeof(uint64_t)));
  v->ParamText = dup(written);
  if (n == nullptr || v->ParamText == nullptr) {
    free(n);
    free(v->ParamText);
    free(v->ParamName);
    free(v);
    return nullptr;
  }
  *n = to_u64(value.c_str());
  v->ParamValue = n;
  MsgLog(OrnixLog, 16384, "[DEBUG] Create new param. ptr=%x(type=NUM,name=%s,val=%s,L=%llu)\n",
         ptr32(v), v->ParamName, value.c_str(), static_cast<unsigned long long>(*n));
  MsgLog(OrnixLog, 16384, "[DEBUG] *** Create new param. ptr=%x(type=NUM,name=%s,val=%llu)\n",
         ptr32(v), v->ParamName, static_cast<unsigned long long>(*n));
  return v;
}

}  // namespace

int set_param(char *line) {
  if (line == nullptr) return -1;
  size_t len = strlen(line);
  while (len > 0 && line[len - 1] == ' ') line[--len] = '\0';
  char *eq = strchr(line, '=');
  if (eq == nullptr) return -1;
  size_t klen = static_cast<size_t>(eq - line);
  if (klen > kMaxKey) {
    config_error(2, "Parameter name too long (at most %zu characters): %.64s...\n", kMaxKey, line);
    return -1;
  }
  std::string key(line, klen);
  std::string written(eq + 1);
  if (written.empty()) return 0;
  if (CurrentSection == nullptr) {
    config_error(2, "Parameter outside of any section(%s)\n", key.c_str());
    return -1;
  }
  MsgLog(OrnixLog, 16384, "[DEBUG] set param. (name=%s,val=%s)\n", key.c_str(), written.c_str());

  std::string value = written;
  int type = all_digits(value) ? NUM : STR;
  bool from_file = value.compare(0, 5, "file:") == 0;
  if (from_file) {
    if (file_value(key, value.substr(5), value) != 0) return -1;
    if (value.empty()) return 0;   // nothing usable in the file: as an empty value
    type = STR;
  }
  if (check_value(key, value) != 0) return -1;
  if (!from_file && is_size_key(key)) {
    value = apply_size_suffix(value);
    type = NUM;
  }
  MsgLog(OrnixLog, 16384, "[DEBUG] set param type. (type=%s,name=%s,val=%s)\n", type_name(type),
         key.c_str(), value.c_str());

  GroupUpdate update;
  if (CurrentGroup != nullptr && prepare_group(key, type == NUM && !from_file ? written : value, update) != 0)
    return -1;
  SSV *v = make_ssv(key, type, value, written);
  if (v == nullptr) return -1;
  if (update.any && apply_group(CurrentGroup, update) != 0) {
    clear_value(v);
    return -1;
  }
  SSV **tail = &CurrentSection->SectionValueList;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = v;
  return 0;
}
