// The notification file, its header fields and the small helpers around it.
#include "mail.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"
#include "log.h"
#include "mail_internal.h"
#include "protocol.h"
#include "safe_file.h"

const char *const ScanStatusName[10] = {"ok",       "infected", "protected", "error", "suspicious",
                                        "filtered", "other",    "notscan",   "spam",  "repair"};
const char *const SpamLevelName[4] = {"none", "low", "medium", "high"};

namespace ornix_mail {

Charset charset_of(const char *name) {
  if (name == nullptr) return CS_OTHER;
  if (strncasecmp(name, "iso-2022-jp", 11) == 0) return CS_JIS;
  if (strncasecmp(name, "EUC-JP", 6) == 0) return CS_EUC;
  if (strncasecmp(name, "Shift_JIS", 9) == 0) return CS_SJIS;
  if (strncasecmp(name, "UTF-8", 5) == 0) return CS_UTF8;
  return CS_OTHER;
}

FILE *create_exclusive(const char *path) {
  std::string p = path;
  size_t slash = p.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
  std::string leaf = slash == std::string::npos ? p : p.substr(slash + 1);
  UniqueFd d = open_dir(dir.c_str());
  if (!d.ok()) return nullptr;
  UniqueFd fd = create_private_at(d.get(), leaf.c_str(), O_RDWR);
  if (!fd.ok() && errno == EEXIST) {
    // removing the name removes a planted link itself, never what it points to
    MsgLog(OrnixLog, 16, "Removing a file left at %s\n", path);
    if (unlink_at(d.get(), leaf.c_str()) == 0) fd = create_private_at(d.get(), leaf.c_str(), O_RDWR);
  }
  if (!fd.ok()) return nullptr;
  FILE *fp = fdopen(fd.get(), "w+");
  if (fp == nullptr) {
    int err = errno;
    unlink_at(d.get(), leaf.c_str());
    errno = err;
    return nullptr;
  }
  fd.release();
  return fp;
}

namespace {

const char *iconv_target(Charset cs) {
  switch (cs) {
    case CS_JIS: return ICONV_JIS;
    case CS_EUC: return ICONV_EUC;
    case CS_SJIS: return ICONV_SJIS;
    default: return nullptr;
  }
}

void write_piece(FILE *fp, const char *text, size_t len, Charset cs) {
  const char *target = iconv_target(cs);
  if (target == nullptr) {
    fwrite(text, 1, len, fp);
    return;
  }
  char out[ICONV_BUFSIZE];
  while (len > 0) {
    size_t take = len < ICONV_BUFSIZE - 1 ? len : ICONV_BUFSIZE - 1;
    size_t used = 0;
    size_t n = iconv_str_n(text, take, out, sizeof out, ICONV_UTF8, target, &used);
    fwrite(out, 1, n, fp);
    // Short of the piece's end because the area was full, or because the
    // piece ends inside a character: go on from there. Otherwise an invalid
    // sequence ends the line, as with the plain wrappers.
    bool full = n + 8 >= sizeof out - 1;
    bool cut = take < len && take - used < 4;
    if (used == 0 || (used < take && !full && !cut)) return;
    text += used;
    len -= used;
  }
}

}  // namespace

void write_converted(FILE *fp, const char *text, size_t len, Charset cs) {
  while (true) {
    const char *lf = static_cast<const char *>(memchr(text, '\n', len));
    size_t piece = lf ? static_cast<size_t>(lf - text) : len;
    write_piece(fp, text, piece, cs);
    if (lf == nullptr) return;
    fputs("\r\n", fp);
    text += piece + 1;
    len -= piece + 1;
  }
}

void format_now(char *buf, size_t cap, const char *fmt) {
  time_t now = time(nullptr);
  struct tm tm;
  buf[0] = '\0';
  if (localtime_r(&now, &tm) == nullptr || strftime(buf, cap, fmt, &tm) == 0) buf[0] = '\0';
}

}  // namespace ornix_mail

using namespace ornix_mail;

int open_mail(notifymail *n) {
  if (n == nullptr) return 0;
  std::string name = std::string(n->mail ? n->mail : "") + ".notify" + n->type;
  n->filename = strdup(name.c_str());
  if (n->filename != nullptr) {
    MsgLog(OrnixLog, 8192, "[DEBUG] notify mail open: %s\n", n->filename);
    n->fp = create_exclusive(n->filename);
  }
  if (n->filename == nullptr || n->fp == nullptr) {
    MsgLog(OrnixLog, 32, "Could not create notification file %s (%s)\n", name.c_str(),
           strerror(errno));
    free(n->filename);
    n->filename = nullptr;
    close_mail(n);
    return -1;
  }
  return 0;
}

int close_mail(notifymail *n) {
  if (n == nullptr) return 0;
  if (n->fp != nullptr) fclose(n->fp);
  if (n->filename != nullptr) {
    MsgLog(OrnixLog, 8192, "[DEBUG] notify mail closed: %s\n", n->filename);
    if (unlink(n->filename) != 0 && errno != ENOENT)
      MsgLog(OrnixLog, 32, "Could not remove notification file %s (%s)\n", n->filename,
             strerror(errno));
  }
  free(n->rcvdate);
  free(n->snddate);
  if (n->virusname != n->virusinfo) free(n->virusname);
  free(n->virusinfo);
  free(n->filename);
  free(n);
  return 0;
}

namespace {

// A header value must stay one field: a line break in it would start a
// field (or the body) of the sender's choosing.
std::string one_line(const char *value, size_t max, const char *name) {
  std::string v = value ? value : "";
  if (v.size() > max) {
    MsgLog(OrnixLog, 32, "Header %s value of %zu bytes cut to %zu\n", name, v.size(), max);
    size_t cut = max;
    // never in the middle of a UTF-8 character
    while (cut > 0 && (static_cast<unsigned char>(v[cut]) & 0xC0) == 0x80) cut--;
    v.resize(cut);
  }
  for (char &c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return v;
}

}  // namespace

int write_header2(notifymail *n, const char *name, const char *value) {
  if (n == nullptr || n->fp == nullptr) return -1;
  std::string v = one_line(value, NOTIFY_HEADER_MAX, name);
  fprintf(n->fp, "%s: %s\r\n", name, v.c_str());
  return fflush(n->fp);
}

int write_header(notifymail *n, const char *name, const char *value, const char *charset) {
  if (n == nullptr || n->fp == nullptr) return -1;
  return write_mime_header(n->fp, name, value, charset);
}

int write_mime_header(FILE *fp, const char *name, const char *value, const char *charset) {
  if (fp == nullptr || name == nullptr) return -1;
  if (charset == nullptr) charset = "";
  MsgLog(OrnixLog, 8192, "[DEBUG] write_mime_header header=%s,field=%s,charset=%s\n", name,
         value ? value : "", charset);
  fprintf(fp, "%s: ", name);
  std::string v = one_line(value, NOTIFY_HEADER_MAX, name);
  // fold inserts at most one line feed per 15 bytes of text
  char text[2 * (NOTIFY_HEADER_MAX + 1) + 8];
  memcpy(text, v.c_str(), v.size() + 1);
  int lines = fold(text, static_cast<int>(strlen(name)) + 2);
  MsgLog(OrnixLog, 8192, "[DEBUG] write_mime_header n=%d,p=%s\n", lines, text);
  Charset cs = charset_of(charset);
  char *line = text;
  for (int i = 0; i < lines && line != nullptr; i++) {
    char *next = strchr(line, '\n');
    if (next != nullptr) *next++ = '\0';
    if (i > 0) fputc(' ', fp);
    char conv[ICONV_BUFSIZE];
    const char *word = line;
    if (cs == CS_JIS) UTF8toJIS(line, conv), word = conv;
    if (cs == CS_EUC) UTF8toEUC(line, conv), word = conv;
    if (cs == CS_SJIS) UTF8toSJIS(line, conv), word = conv;
    if (cs != CS_OTHER && word[0] != '\0') {
      char encoded[MIME_WORD_BUFSIZE];
      EncodeHeaderMIME(word, encoded, charset);
      fputs(encoded, fp);
    } else if (cs == CS_OTHER) {
      fputs(line, fp);
    }
    fputs("\r\n", fp);
    fflush(fp);
    line = next;
  }
  return 0;
}

int fold(char *text, int used) {
  if (text == nullptr) return 0;
  size_t len = strlen(text);
  while (len > 0 && text[len - 1] == ' ') text[--len] = '\0';
  std::string src(text, len);
  std::string out;
  out.reserve(len + len / 8 + 2);
  int count = used;
  int lines = 1;
  for (char ch : src) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80 && c < 0xC0) {  // continuation: no width, never a break
      out += ch;
      continue;
    }
    int width = c < 0x80 ? 1 : (c < 0xF0 ? 2 : 0);
    count += width;
    if (count >= 30) {
      lines++;
      count = 0;
      if (c == ' ') {
        out += '\n';
        continue;
      }
      out += '\n';
    }
    out += ch;
  }
  memcpy(text, out.c_str(), out.size() + 1);
  return lines;
}

char *datetime_str(time_t t) {
  char date[64] = "", clock[64] = "";
  struct tm tm;
  if (localtime_r(&t, &tm) != nullptr) {
    if (strftime(date, sizeof date, DateFormat ? DateFormat : "%Y/%m/%d", &tm) == 0) date[0] = 0;
    if (strftime(clock, sizeof clock, TimeFormat ? TimeFormat : "%H:%M:%S", &tm) == 0) clock[0] = 0;
  }
  char *res = static_cast<char *>(malloc(128));
  if (res != nullptr) snprintf(res, 128, "%s %s", date, clock);
  return res;
}

int mail_send(const char *from, const char *to, FILE *fp) {
  if (fp == nullptr) return -1;
  rewind(fp);
  char *list[2] = {const_cast<char *>(to), nullptr};
  return SendMail(from, list, fp);
}

int isJapanese(const char *text) {
  if (text == nullptr) return 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  auto cont = [](unsigned char c) { return c >= 0x80 && c <= 0xBF; };
  for (; *p; p++) {
    if (*p >= 0xC0 && *p <= 0xDF && cont(p[1])) return 1;
    if (*p >= 0xE0 && *p <= 0xEF && cont(p[1]) && cont(p[2])) return 1;
  }
  return 0;
}
