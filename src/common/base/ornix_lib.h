// Host, process and pattern utilities.
#ifndef ORNIX_LIB_H
#define ORNIX_LIB_H

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

struct attach_obj;

// The mail scanner's message object. It lives here because get_fqdn fills
// its host name; the notification composer and the forwarding read it and
// never change it, except for the delivery statuses.
struct mail_obj {
  char *connect;           // connection text
  char *ip;                // client address, dotted text
  char *fqdn;              // client host name, owned by the object
  char *mid;               // the message's own identifier (file names, boundaries)
  char *fname;             // path of the stored message
  FILE *fp;                // open stream of the stored message
  int ScanStatus;          // scan result of the whole message, 0 clean
  char *HeloDomain;
  char *EnvFrom;           // envelope sender
  char **EnvTo;            // envelope recipients
  int EnvToCount;
  int RecipientMax;
  int *Status;             // one delivery status per recipient, ends with a negative value
  char *Subject;
  char *From;
  char *To;
  char *Cc;
  char *Mailer;
  char *MessageID;
  char *VirusName;
  char *ContentType;
  time_t SendDateTime;     // 0 when unknown
  time_t ReceiveDateTime;  // 0 when unknown
  off_t Size;
  attach_obj *AttachObj;   // the message's MIME parts, in order
  char *SpamIP;
  char *ViaIP[5];
  int soc;
};

extern char MailHostName[256];

void chomp(char *s);
void chomp2(char *s);
int isDir(const char *path);
int copy(const char *src, const char *dst);
int get_ave_pid(const char *pidfile);
int build_check(const char *own_version, const char *given);
void set_hostname(void);
int match(const char *str, const char *pattern, int flags);
void get_fqdn(mail_obj *mail, int resolve);
int IsPrivIP(const char *ip);

// An owned file descriptor, closed when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
  UniqueFd &operator=(UniqueFd &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports close itself: delayed write errors show up there.
  int close_checked() { return close(release()); }

 private:
  int fd_;
};

// An owned stream, closed when it goes out of scope.
struct FileCloser {
  void operator()(FILE *fp) const { fclose(fp); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Writes the whole buffer (at the file offset, or at `off`), retrying short
// writes and EINTR; false with errno set otherwise (EIO for a zero write).
bool write_all(int fd, const void *buf, size_t len);
bool pwrite_all(int fd, const void *buf, size_t len, off_t off);
// Reads the whole buffer at `off`, retrying short reads and EINTR; false with
// errno set otherwise (EIO when the file ends first).
bool pread_all(int fd, void *buf, size_t len, off_t off);
// Copies in to out, each from its offset to the end of in, in blocks of
// 8192 bytes; 0, or -1 with errno set on a read or write error (EINTR once a
// stop signal has been recorded, see stop_signal.h). With out below 0 it
// only reads; `seen`, when given, gets every block read.
int copy_data(int in, int out, void (*seen)(void *ctx, const char *buf, size_t n) = nullptr,
              void *ctx = nullptr);

// The text as one shell word in single quotes, so it is never shell syntax.
std::string shell_quote(const char *s);
// The directory of the running program: the first argument's when it holds a
// "/", else (found through PATH) the executable's own, never the working
// directory, where anybody may have put a program of the same name. Empty when
// the executable cannot be found.
std::string program_dir(const char *argv0);

#endif
