// Writes ornix.conf(5) from its template, putting the catalogue the programs
// are built with (defval) where the template says @CATALOGUE@, each key with
// its default and the meaning from the meanings file.
//   ornix_conf_manpage [--strict] TEMPLATE MEANINGS OUTPUT
// A key without a meaning, or a meaning naming no key, is reported; with
// --strict either makes the exit status 1.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "config.h"

namespace {

using Key = std::pair<std::string, std::string>;   // section, key ("" for the section)

struct Meanings {
  std::map<Key, std::string> text;
  std::set<Key> used;
};

int read_text(const char *path, std::string *out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "read %s: %s\n", path, strerror(errno));
    return -1;
  }
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return 0;
}

// "[section] text" opens a section; "Key text" gives a key's meaning.
int parse_meanings(const char *path, Meanings *m) {
  std::string all;
  if (read_text(path, &all) != 0) return -1;
  std::istringstream in(all);
  std::string line, section;
  int n = 0;
  while (std::getline(in, line)) {
    n++;
    if (line.empty() || line[0] == '#') continue;
    size_t sp = line.find(' ');
    std::string head = line.substr(0, sp);
    std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (head.size() > 2 && head.front() == '[' && head.back() == ']') {
      section = head.substr(1, head.size() - 2);
      m->text[{section, ""}] = rest;
    } else if (section.empty() || rest.empty()) {
      fprintf(stderr, "%s:%d: a key line needs a section before it and a meaning\n", path, n);
      return -1;
    } else {
      m->text[{section, head}] = rest;
    }
  }
  return 0;
}

// A default as roff text: backslashes escaped, anything beyond ASCII as a
// Unicode escape, so the page is plain ASCII whatever the catalogue holds.
std::string roff_value(const char *v) {
  if (v[0] == '\0') return "(empty)";
  std::string out = "\\fB";
  const unsigned char *p = reinterpret_cast<const unsigned char *>(v);
  while (*p != 0) {
    unsigned c = *p;
    int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    if (c < 0x80) {
      if (c == '\\') out += "\\e";
      else if (c == '-') out += "\\-";
      else out += static_cast<char>(c);
      p++;
      continue;
    }
    unsigned cp = c & (0x3f >> extra);
    p++;
    for (int i = 0; i < extra && (*p & 0xc0) == 0x80; i++, p++) cp = (cp << 6) | (*p & 0x3f);
    char buf[16];
    snprintf(buf, sizeof buf, "\\[u%04X]", cp);
    out += buf;
  }
  return out + "\\fR";
}

const std::string *meaning(Meanings *m, const std::string &section, const std::string &key) {
  for (const Key &k : {Key{section, key}, Key{"*", key}}) {
    auto it = m->text.find(k);
    if (it != m->text.end()) {
      m->used.insert(k);
      return &it->second;
    }
  }
  return nullptr;
}

// The catalogue as roff; counts the keys and sections without a meaning.
std::string catalogue(Meanings *m, int *missing) {
  std::string out, section;
  for (const default_value *d = defval; d->key != nullptr; d++) {
    if (strcmp(d->key, "SS") == 0) {
      section = d->str;
      out += ".SS [" + section + "]\n";
      const std::string *t = meaning(m, section, "");
      if (t == nullptr) {
        fprintf(stderr, "no meaning for section [%s]\n", section.c_str());
        ++*missing;
      } else {
        out += *t + "\n";
      }
      continue;
    }
    out += ".TP\n.B " + std::string(d->key) + "\n";
    const std::string *t = meaning(m, section, d->key);
    if (t == nullptr) {
      fprintf(stderr, "no meaning for key %s of section [%s]\n", d->key, section.c_str());
      ++*missing;
    } else {
      out += *t + "\n";
    }
    out += ".br\nDefault: " + roff_value(d->str) + "\n";
  }
  return out;
}

int write_text(const char *path, const std::string &text) {
  FILE *f = fopen(path, "we");
  if (f == nullptr) {
    fprintf(stderr, "create %s: %s\n", path, strerror(errno));
    return -1;
  }
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (fclose(f) != 0) ok = false;
  if (!ok) fprintf(stderr, "write %s: %s\n", path, strerror(errno));
  return ok ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv) {
  bool strict = argc > 1 && strcmp(argv[1], "--strict") == 0;
  if (strict) {
    argc--;
    argv++;
  }
  if (argc != 4) {
    fprintf(stderr, "usage: %s [--strict] TEMPLATE MEANINGS OUTPUT\n", argv[0]);
    return 2;
  }
  std::string page;
  Meanings m;
  if (read_text(argv[1], &page) != 0 || parse_meanings(argv[2], &m) != 0) return 1;
  int missing = 0;
  std::string cat = catalogue(&m, &missing);
  int unused = 0;
  for (const auto &[k, text] : m.text) {
    if (m.used.count(k) != 0 || (k.first == "*" && k.second.empty())) continue;
    fprintf(stderr, "%s: meaning of %s%s[%s] names nothing in the catalogue\n", argv[2],
            k.second.c_str(), k.second.empty() ? "" : " of ", k.first.c_str());
    unused++;
  }
  size_t at = page.find("@CATALOGUE@\n");
  if (at == std::string::npos) {
    fprintf(stderr, "%s: no @CATALOGUE@ line\n", argv[1]);
    return 1;
  }
  page.replace(at, strlen("@CATALOGUE@\n"), cat);
  if (write_text(argv[3], page) != 0) return 1;
  return strict && (missing != 0 || unused != 0) ? 1 : 0;
}
