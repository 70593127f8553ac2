// The notification body: template lines with macros, converted into the
// notification charset, and the scanned message attached whole or without
// its infected parts.
#include <errno.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "clamav_api.h"
#include "log.h"
#include "mail.h"
#include "mail_internal.h"

using namespace ornix_mail;

namespace {

// Appends into the caller's area and never past it; what does not fit is
// dropped and reported once.
class Out {
 public:
  Out(char *p, size_t cap) : p_(p), cap_(cap) {}
  void add(const char *s, size_t n) {
    if (n > cap_ - 1 - len_) {
      n = cap_ - 1 - len_;
      cut_ = true;
    }
    memcpy(p_ + len_, s, n);
    len_ += n;
  }
  void add(const char *s) { add(s, strlen(s)); }
  bool cut() const { return cut_; }
  void finish() { p_[len_] = '\0'; }

 private:
  char *p_;
  size_t cap_;
  size_t len_ = 0;
  bool cut_ = false;
};

bool empty(const char *s) { return s == nullptr || s[0] == '\0'; }

// The header of the scanned message, one line feed after each line.
void add_header(Out &out, const char *path) {
  FILE *fp = path ? fopen(path, "re") : nullptr;
  if (fp == nullptr) return;
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  while (!out.cut() && (n = getline(&line, &cap, fp)) >= 0) {
    size_t len = static_cast<size_t>(n);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) len--;
    if (len == 0) break;
    if (len > 1023) len = 1023;
    out.add(line, len);
    out.add("\n", 1);
  }
  free(line);
  fclose(fp);
}

void add_version(Out &out) {
  char engine[sizeof AVE_info.engineVersion + 1];
  memcpy(engine, AVE_info.engineVersion, sizeof AVE_info.engineVersion);
  engine[sizeof AVE_info.engineVersion] = '\0';  // the record need not terminate it
  char text[256];
  snprintf(text, sizeof text,
           "Ornix mail scanner ver. %s\nantivirus engine ver. %s\npattern file ver. %d\n",
           ORNIX_MAIL_VERSION, engine, AVE_info.vdfVersion);
  out.add(text);
}

// Expands the macro at line (just at its "%"); false when none starts there.
bool expand_one(const notifymail *n, const char *line, Out &out, size_t *used) {
  struct Macro {
    const char *name;
    int id;
  };
  static const Macro macros[] = {
      {"%SENDER%", 0},  {"%RECIPIENT%", 1}, {"%RCVDATE%", 2},    {"%SNDDATE%", 3},
      {"%SUBJECT%", 4}, {"%MSGID%", 5},     {"%VIRUSNAME%", 6},  {"%VIRUSINFO%", 7},
      {"%SCANSTATUS%", 8}, {"%HEADER%", 9}, {"%VERSION%", 10},   {"%TODAY%", 11},
      {"%NOWTIME%", 12}};
  for (const Macro &m : macros) {
    size_t len = strlen(m.name);
    if (strncmp(line, m.name, len) != 0) continue;
    *used = len;
    char now[128];
    switch (m.id) {
      case 0: out.add(empty(n->sender) ? "(none)" : n->sender); break;
      case 1: out.add(empty(n->recipient) ? "(none)" : n->recipient); break;
      case 2: if (!empty(n->rcvdate)) out.add(n->rcvdate); break;
      case 3: if (!empty(n->snddate)) out.add(n->snddate); break;
      case 4: if (!empty(n->subject)) out.add(n->subject); break;
      case 5:
        if (empty(n->msgid)) {
          out.add("(none)");
        } else {
          out.add("<");
          out.add(n->msgid);
          out.add(">");
        }
        break;
      case 6:
        if (!empty(n->virusname))
          out.add(n->virusname);
        else if (!empty(n->virusinfo))
          out.add(n->virusinfo);
        break;
      case 7: if (!empty(n->virusinfo)) out.add(n->virusinfo); break;
      case 8: if (!empty(n->statmsg)) out.add(n->statmsg); break;
      case 9: add_header(out, n->mail); break;
      case 10: add_version(out); break;
      case 11:
        format_now(now, sizeof now, DateFormat ? DateFormat : "%Y/%m/%d");
        out.add(now);
        break;
      default:
        format_now(now, sizeof now, TimeFormat ? TimeFormat : "%H:%M:%S");
        out.add(now);
        break;
    }
    return true;
  }
  return false;
}

int expand(const notifymail *n, const char *line, char *area, size_t cap) {
  Out out(area, cap);
  const char *p = line;
  while (*p != '\0' && !out.cut()) {
    const char *pct = strchr(p, '%');
    if (pct == nullptr) {
      out.add(p);
      break;
    }
    out.add(p, static_cast<size_t>(pct - p));
    size_t used = 0;
    if (n != nullptr && expand_one(n, pct, out, &used)) {
      p = pct + used;
    } else {
      out.add("%", 1);
      p = pct + 1;
    }
  }
  out.finish();
  if (out.cut())
    MsgLog(OrnixLog, 32, "Template line cut: its expansion exceeds %zu bytes\n", cap - 1);
  return 0;
}

// Reads the next line (at most NOTIFY_LINE_MAX bytes of it per call) without
// its line end. *fresh tells whether the chunk begins a line. A chunk that is
// only the line end of a longer line read before is no line of its own.
bool next_line(FILE *fp, char *buf, size_t cap, bool &open, bool *fresh) {
  for (;;) {
    if (fgets(buf, static_cast<int>(cap), fp) == nullptr) return false;
    size_t raw = strlen(buf);
    bool tail = open && (strcmp(buf, "\n") == 0 || strcmp(buf, "\r\n") == 0);
    *fresh = !open;
    open = raw > 0 && buf[raw - 1] != '\n';
    if (tail) continue;
    while (raw > 0 && (buf[raw - 1] == '\n' || buf[raw - 1] == '\r')) buf[--raw] = '\0';
    return true;
  }
}

// The boundary value of a Content-Type header line, if it names one.
bool find_boundary(const char *line, std::string &boundary) {
  const char *p = line;
  for (; *p; p++)
    if (strncasecmp(p, "boundary=", 9) == 0) break;
  if (*p == '\0') return false;
  p += 9;
  if (*p == '"') p++;
  size_t len = strcspn(p, "\" ;\t\r\n");
  boundary.assign(p, len);
  return len > 0;
}

enum Skip { SKIP_CLEAR, SKIP_PART, SKIP_DELETED };

// Mode 2: the scanned message with every part the attachment list marks as
// not clean left out, boundary line included.
void copy_without_infected(mail_obj *m, FILE *in, FILE *out) {
  char line[NOTIFY_LINE_MAX + 1];
  bool open = false, fresh = true, header = true, searching = false;
  std::string boundary;
  Skip skip = SKIP_CLEAR;
  attach_obj *part = m->AttachObj;
  int counter = 0;
  while (next_line(in, line, sizeof line, open, &fresh)) {
    if (header) {
      if (fresh && line[0] == '\0') {
        header = false;
        fputs("\r\n", out);
        continue;
      }
      if (fresh && strncasecmp(line, "Content-Type:", 13) == 0 && match(line, "multipart", 2))
        searching = true;
      if (searching && boundary.empty() && find_boundary(line, boundary)) searching = false;
    } else if (!boundary.empty()) {
      if (fresh && strncmp(line, "--", 2) == 0 &&
          strncmp(line + 2, boundary.c_str(), boundary.size()) == 0) {
        skip = SKIP_CLEAR;
        if (part != nullptr) {
          MsgLog(OrnixLog, 8192, "Notify Attach Mail part.%d status %d\n", ++counter,
                 part->ScanStatus);
          if (part->ScanStatus != 0) skip = SKIP_PART;
          part = part->next;
        }
      }
    } else if (m->ScanStatus != 0) {
      skip = SKIP_DELETED;
    }
    if (skip == SKIP_CLEAR) {
      fputs(line, out);
      fputs("\r\n", out);
    }
  }
  if (skip == SKIP_DELETED) fputs("\n\rMessages were deleted by Ornix.\r\n\n\r", out);
}

void copy_whole(FILE *in, FILE *out) {
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in)) > 0) fwrite(buf, 1, n, out);
}

void attach_message(mail_obj *m, notifymail *n, int attach, FILE *out) {
  const char *mid = m && m->mid ? m->mid : "";
  fprintf(out, "\r\n------%s\r\nContent-Type: message/rfc822\r\n\r\n", mid);
  const char *path = m && m->fname ? m->fname : n->mail;
  FILE *in = path ? fopen(path, "re") : nullptr;
  if (in == nullptr) {
    fputs("Original Mail broken.\r\n", out);
  } else {
    if (attach == 1)
      copy_whole(in, out);
    else
      copy_without_infected(m, in, out);
    fclose(in);
  }
  fprintf(out, "------%s--\r\n", mid);
}

}  // namespace

int macro_expan(notifymail *n, const char *line, char *out) {
  if (out == nullptr) return 0;
  return expand(n, line ? line : "", out, MACRO_BUFSIZE);
}

int write_mail(mail_obj *m, notifymail *n, const char *tmpl, int attach, const char *ctype,
               const char *charset) {
  if (n == nullptr || n->fp == nullptr) return -1;
  FILE *tp = tmpl ? fopen(tmpl, "re") : nullptr;
  if (tp == nullptr) {
    MsgLog(OrnixLog, 32, "Could not open template file(%s)\n", tmpl ? tmpl : "");
    return -1;
  }
  if (m == nullptr) attach = 0;
  FILE *out = n->fp;
  Charset cs = charset_of(charset);
  fputs("\r\n", out);
  if (attach != 0) {
    // 8-bit charsets are not 7bit data, whatever the part says
    fprintf(out,
            "This is a multi-part message in MIME format.\r\n\r\n------%s\r\n"
            "Content-Type: %s;charset=\"%s\"\r\nContent-Transfer-Encoding: %s\r\n\r\n",
            m->mid ? m->mid : "", ctype ? ctype : "text/plain", charset ? charset : "",
            cs == CS_JIS || cs == CS_OTHER ? "7bit" : "8bit");
  }
  char line[NOTIFY_LINE_MAX + 1];
  char expanded[MACRO_BUFSIZE];
  bool open = false, fresh = true;
  while (next_line(tp, line, sizeof line, open, &fresh)) {
    const char *text = line;
    if (strchr(line, '%') != nullptr) {
      expand(n, line, expanded, sizeof expanded);
      text = expanded;
    }
    write_converted(out, text, strlen(text), cs);
    fputs("\r\n", out);
  }
  fclose(tp);
  if (attach != 0) attach_message(m, n, attach, out);
  fflush(out);
  return 0;
}
