// Configuration file reader: the include stack, line classification, the
// directives and the group list.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config_internal.h"
#include "log.h"
#include "safe_file.h"

using namespace ornix_config;

namespace {

// One open file of the include stack.
struct FPstack {
  FILE *fp;
  char *fname;
  int line;
  FPstack *next;
};

FPstack *fp_top = nullptr;

int push_fp(FILE *fp, const char *name) {
  FPstack *e = static_cast<FPstack *>(calloc(1, sizeof(FPstack)));
  if (e == nullptr) return -1;
  e->fname = strdup(name);
  if (e->fname == nullptr) {
    free(e);
    return -1;
  }
  e->fp = fp;
  e->line = 0;
  e->next = fp_top;
  fp_top = e;
  return 0;
}

void pop_fp() {
  FPstack *e = fp_top;
  if (e == nullptr) return;
  fp_top = e->next;
  fclose(e->fp);
  free(e->fname);
  free(e);
}

// An aborted read closes what it opened: a long-lived program re-reads its
// configuration and must not collect descriptors.
void close_stack() {
  while (fp_top != nullptr) pop_fp();
}

// 1: a line is in buf; 0: every file is read; -1: read error.
int read_one_line(char *buf) {
  while (fp_top != nullptr) {
    size_t n = 0;
    int c = EOF;
    while (n < kMaxLine && (c = getc(fp_top->fp)) != EOF && c != '\n') buf[n++] = static_cast<char>(c);
    buf[n] = '\0';
    if (n == 0 && c == EOF) {
      if (ferror(fp_top->fp)) {
        MsgLog(OrnixLog, 1, "Could not read configuration file(%s): %s\n", fp_top->fname,
               strerror(errno));
        return -1;
      }
      pop_fp();
      continue;
    }
    fp_top->line++;
    read_place.file = fp_top->fname;
    read_place.line = fp_top->line;
    return 1;
  }
  return 0;
}

bool same_stream(FILE *a, FILE *b) {
  FileId ia, ib;
  return fd_id(fileno(a), &ia) == 0 && fd_id(fileno(b), &ib) == 0 && same_id(ia, ib);
}

int open_include(const char *name) {
  std::string path = name[0] == '/' ? std::string(name) : std::string(ConfigFileBase) + "/" + name;
  if (path.size() > kMaxFileName) {
    config_error(2, "Include file name too long (at most %zu characters): %.64s...\n", kMaxFileName,
                 path.c_str());
    return -1;
  }
  FILE *fp = open_config_stream(path.c_str(), true);
  if (fp == nullptr) {
    MsgLog(OrnixLog, 1, "Could not open configuration file(%s)\n", path.c_str());
    return -1;
  }
  for (FPstack *e = fp_top; e != nullptr; e = e->next) {
    if (same_stream(fp, e->fp)) {
      config_error(2, "Configuration file includes itself(%s)\n", path.c_str());
      fclose(fp);
      return -1;
    }
  }
  if (push_fp(fp, path.c_str()) != 0) {
    MsgLog(OrnixLog, 2, "Config file stack error\n");
    fclose(fp);
    return -1;
  }
  return 0;
}

GRP *check_group(const char *name) {
  for (GRP *g = SetGroupList; g != nullptr; g = g->next)
    if (strcasecmp(g->GroupName, name) == 0) return g;
  return nullptr;
}

void free_group(GRP *g) {
  free(g->GroupName);
  free(g->Senders);
  free(g->Recipients);
  free(g);
}

GRP *new_group(const char *name) {
  GRP *g = static_cast<GRP *>(calloc(1, sizeof(GRP)));
  if (g == nullptr) return nullptr;
  g->GroupName = strdup(name);
  g->Senders = strdup(".*@.*");
  g->Recipients = strdup(".*@.*");
  if (g->GroupName == nullptr || g->Senders == nullptr || g->Recipients == nullptr) {
    free_group(g);
    return nullptr;
  }
  MsgLog(OrnixLog, 16384, "[DEBUG] create new group table: addr=%x,name=%s\n", ptr32(g), name);
  if (strcasecmp(name, "default") == 0) {
    if (SetDefaultGroup != nullptr) {
      free_group(g);
      return nullptr;
    }
    SetDefaultGroup = g;
    GRP **tail = &SetGroupList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = g;
  } else {
    // the default group stays last; the others keep their file order
    GRP **at = &SetGroupList;
    while (*at != nullptr && *at != SetDefaultGroup) at = &(*at)->next;
    g->next = *at;
    *at = g;
  }
  CurrentGroup = g;
  return g;
}

int group_def(const char *name) {
  if (strlen(name) > kMaxGroupName) {
    config_error(2, "Group name too long (at most %zu characters): %.64s...\n", kMaxGroupName, name);
    return -1;
  }
  if (check_group(name) != nullptr) {
    MsgLog(OrnixLog, 2, "Group %s already exist\n", name);
    return -1;
  }
  if (new_group(name) == nullptr) {
    MsgLog(OrnixLog, 2, "Group table could not create\n");
    return -1;
  }
  return 0;
}

void group_undef() { CurrentGroup = nullptr; }

bool is_sep(char c) { return c == ' ' || c == '\t'; }

// p points just after the underscore.
int directive(char *p) {
  switch (p[0]) {
    case 'i': case 'I':
      if (strncasecmp(p, "include", 7) != 0 || !is_sep(p[7])) return -1;
      return open_include(p + 8);
    case 'g': case 'G':
      if (strncasecmp(p, "group", 5) != 0 || !is_sep(p[5])) return -1;
      return group_def(p + 6);
    case 'e': case 'E':
      if (strncasecmp(p, "end_group", 9) != 0 || !(p[9] == '\0' || is_sep(p[9]))) return -1;
      group_undef();
      return 0;
    default:
      return -1;
  }
}

// p points just after the bracket.
int section_header(const char *p) {
  const char *end = strchr(p, ']');
  std::string name = end ? std::string(p, end) : std::string(p);
  SSP *s = parse_section(CurrentGroup, name.c_str(), 1, SetSectionList);
  if (s == nullptr) return -1;
  CurrentSection = s;
  // the catalogue's name of it, as a lookup would spell it
  std::vector<std::string> parts;
  split_section(name.c_str(), true, parts);
  read_place.section.clear();
  for (const std::string &p : parts) read_place.section += (read_place.section.empty() ? "" : ".") + p;
  return 0;
}

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int process_line(char *line) {
  char *p = line;
  while (is_sep(*p)) p++;
  if (*p == '\0') return 0;
  for (; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '[') return section_header(p + 1);
    if (c == '#') return 0;
    if (c == '_') return directive(p + 1);
    if (is_letter(c)) return set_param(p);
  }
  return -1;   // digits and punctuation only
}

void set_base(const char *name) {
  const char *slash = strrchr(name, '/');
  if (slash != nullptr) {
    size_t n = static_cast<size_t>(slash - name);
    memcpy(ConfigFileBase, name, n);
    ConfigFileBase[n] = '\0';
  } else if (getcwd(ConfigFileBase, sizeof ConfigFileBase) == nullptr) {
    strcpy(ConfigFileBase, ".");
  }
}

}  // namespace

int ReadConfigFile(const char *fname) {
  if (fname == nullptr) return -1;
  std::string name(fname);   // may be ConfigFilename itself (reload)
  if (name.size() > kMaxFileName) {
    config_error(1, "Configuration file name too long (at most %zu characters): %.64s...\n",
                 kMaxFileName, name.c_str());
    return -1;
  }
  close_stack();
  read_place = ReadPlace();
  FILE *fp = open_config_stream(name.c_str(), false);
  if (fp == nullptr) {
    config_error(1, "Could not open configuration file(%s)\n", name.c_str());
    return -1;
  }
  memcpy(ConfigFilename, name.c_str(), name.size() + 1);
  set_base(ConfigFilename);
  if (push_fp(fp, ConfigFilename) != 0) {
    fclose(fp);
    MsgLog(OrnixLog, 2, "Config file stack error\n");
    fputs("Config file stack error\n", stdout);
    fflush(stdout);
    return -1;
  }

  char buf[kMaxLine + 1];
  for (;;) {
    int r = read_one_line(buf);
    if (r == 0) break;
    if (r < 0 || process_line(buf) != 0) {
      config_error(2, "Read configuration error. Filename:%s,Line:%d\n", fp_top->fname, fp_top->line);
      close_stack();
      release_detached();
      return -1;
    }
  }
  release_detached();
  if (SetDefaultGroup == nullptr) {
    GRP *current = CurrentGroup;
    if (new_group("default") == nullptr) {
      MsgLog(OrnixLog, 2, "Group table could not create\n");
      return -1;
    }
    CurrentGroup = current;
  }
  return 0;
}
