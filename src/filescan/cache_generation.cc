// The signature generation of the engine, and the cache directory's record
// of the generation its verdicts were made under.
#include "cache_generation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "clamav_api.h"
#include "config.h"
#include "log.h"
#include "md5.h"
#include "ornixfs.h"
#include "safe_file.h"
#include "stop_signal.h"
#include "wait_scale.h"

namespace {

const long kLockWaitMs = 30000;       // a holder keeps the lock for one exchange at most
const long kConfigMax = 1024 * 1024;  // an engine configuration is a few KiB
const long kSelfCheckDefault = 600;   // clamd's own interval of looking at its databases
const long kReloadMargin = 120;       // seconds a reload of the databases may take

// Every name clamd loads a database from ends in one of these (any case).
const char *const kDatabaseSuffixes[] = {
    ".db",  ".db2", ".db3", ".hdb", ".hdu", ".fp",  ".sfp", ".mdb", ".mdu", ".hsb",
    ".hsu", ".msb", ".msu", ".ndb", ".ndu", ".ldb", ".ldu", ".sdb", ".zmd", ".rmd",
    ".pdb", ".gdb", ".wdb", ".cbc", ".ftm", ".cfg", ".cvd", ".cld", ".cud", ".cdb",
    ".cat", ".crb", ".idb", ".ioc", ".info", ".yar", ".yara", ".pwdb", ".ign", ".ign2",
    ".imp"};

bool is_database_name(const std::string &name) {
  for (const char *suffix : kDatabaseSuffixes) {
    size_t n = strlen(suffix);
    if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, suffix) == 0) return true;
  }
  return false;
}

std::string hex_digest(const std::string &data) {
  unsigned char digest[16];
  char hex[33];
  MD5_CTX ctx;
  MD5Init(&ctx);
  for (size_t off = 0; off < data.size(); off += 1 << 20) {
    size_t n = std::min(data.size() - off, static_cast<size_t>(1) << 20);
    MD5Update(&ctx, data.data() + off, static_cast<uint32_t>(n));
  }
  MD5Final(digest, &ctx);
  md5hex(digest, hex);
  return hex;
}

// The names in an open directory (its descriptor stays the caller's).
int list_names(int dfd, std::vector<std::string> *names) {
  int fd = openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR *d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return -1;
  }
  errno = 0;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
  }
  int err = errno;
  closedir(d);
  errno = err;
  return err == 0 ? 0 : -1;
}

// The value of the last line of key (clamd keeps the last one), or "".
std::string conf_value(const std::string &conf, const char *key) {
  std::string found;
  size_t pos = 0;
  while (pos < conf.size()) {
    size_t end = conf.find('\n', pos);
    if (end == std::string::npos) end = conf.size();
    std::string line = conf.substr(pos, end - pos);
    pos = end + 1;
    size_t k = line.find_first_not_of(" \t");
    if (k == std::string::npos || line[k] == '#') continue;
    size_t kend = line.find_first_of(" \t", k);
    if (kend == std::string::npos ||
        strcasecmp(line.substr(k, kend - k).c_str(), key) != 0)
      continue;
    size_t v = line.find_first_not_of(" \t", kend);
    size_t vend = line.find_last_not_of(" \t\r");
    if (v == std::string::npos || vend < v) continue;
    std::string value = line.substr(v, vend - v + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (!value.empty()) found = value;
  }
  return found;
}

// "<path> <digest of its contents>", or the reason it could not be read.
std::string describe_config(const char *path, std::string *contents) {
  FILE *fp = (path && path[0]) ? fopen(path, "re") : nullptr;
  if (fp == nullptr) return std::string(path ? path : "") + " unreadable: " + strerror(errno);
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, fp)) > 0 &&
         contents->size() < static_cast<size_t>(kConfigMax))
    contents->append(buf, n);
  bool failed = ferror(fp) != 0;
  int err = errno;
  fclose(fp);
  if (failed) return std::string(path) + " unreadable: " + strerror(err);
  return std::string(path) + " " + hex_digest(*contents);
}

// "<dir> <digest of its signature files' names, sizes, times and inodes>":
// a file added, removed, replaced or rewritten in place changes it. *newest
// gets the latest modification time among them.
std::string describe_databases(const std::string &dir, time_t *newest) {
  UniqueFd dfd = open_dir(dir.c_str());
  std::vector<std::string> names, lines;
  if (!dfd.ok() || list_names(dfd.get(), &names) != 0)
    return dir + " unreadable: " + strerror(errno);
  for (const std::string &name : names) {
    if (!is_database_name(name)) continue;
    struct stat st;
    if (fstatat(dfd.get(), name.c_str(), &st, 0) != 0) {
      lines.push_back(name + " " + strerror(errno) + "\n");
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    *newest = std::max(*newest, st.st_mtim.tv_sec);
    char line[256];
    snprintf(line, sizeof line, " %lld %lld.%09ld %lld.%09ld %llu:%llu\n",
             static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
             st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec,
             static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    lines.push_back(name + line);
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string &l : lines) all += l;
  return dir + " " + hex_digest(all);
}

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// flock, bounded: a run that died holding it has released it, and a live
// holder keeps it for one exchange with the engine at most.
int lock_bounded(int fd, int op) {
  const long long deadline = now_ms() + scaled_wait_ms(kLockWaitMs);
  long pause_ms = 1;
  while (flock(fd, op | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (stop_requested()) {   // the run ends at its next check; no wait for the lock
      errno = EINTR;
      return -1;
    }
    if (now_ms() >= deadline) {
      errno = ETIMEDOUT;
      return -1;
    }
    struct timespec ts = {0, pause_ms * 1000 * 1000};
    nanosleep(&ts, nullptr);
    pause_ms = std::min(pause_ms * 2, 20L);
  }
  return 0;
}

void unlock(int fd) { flock(fd, LOCK_UN); }

int read_record(int fd, std::string *out) {
  char buf[CACHE_GENERATION_MAX + 1];
  ssize_t n;
  do {
    n = pread(fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  out->assign(buf, static_cast<size_t>(n));
  return 0;
}

// Rewritten in place rather than renamed over: the file is the lock the other
// runs hold. A torn record matches no generation, so it only empties the
// tree once more.
int write_record(int fd, const std::string &g) {
  if (ftruncate(fd, 0) != 0 || !pwrite_all(fd, g.data(), g.size(), 0)) return -1;
  return fsync(fd);
}

bool is_tree_name(const std::string &n) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  return n.size() == 2 && hex(n[0]) && hex(n[1]);
}

bool is_grave_name(const std::string &n) {
  return n.compare(0, strlen(CACHE_GENERATION_GRAVE), CACHE_GENERATION_GRAVE) == 0;
}

// Removes name below parent without following links; the tree is two levels
// deep, anything deeper was not put there by the cache and is left.
void remove_tree_at(int parent, const char *name, int depth) {
  if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return;
  if (errno != EISDIR && errno != EPERM) return;
  if (depth < 3) {
    UniqueFd d = open_at(parent, name, O_RDONLY | O_DIRECTORY, FileKind::kDirectory);
    std::vector<std::string> names;
    if (d.ok() && list_names(d.get(), &names) == 0)
      for (const std::string &n : names) remove_tree_at(d.get(), n.c_str(), depth + 1);
  }
  unlinkat(parent, name, AT_REMOVEDIR);
}

void log_failure(const char *op, const std::string &path, int err) {
  MsgLog(OrnixLog, 1, "cache generation error. %s; the cache is not used in this run\n",
         sys_message(op, path, err).c_str());
}

// Moves every tree directory into a new directory of a unique name, so that
// no lookup or insertion reaches them any more; *grave gets its name.
int move_tree_aside(int dfd, const std::string &dir, std::string *grave) {
  std::vector<std::string> names;
  if (list_names(dfd, &names) != 0) {
    log_failure("readdir", dir, errno);
    return -1;
  }
  // Left by a run that ended before it removed them; nobody moves into them
  // while we hold the lock.
  for (const std::string &n : names)
    if (is_grave_name(n)) remove_tree_at(dfd, n.c_str(), 0);
  if (std::none_of(names.begin(), names.end(), is_tree_name)) return 0;
  for (int tries = 0; grave->empty(); tries++) {
    std::string name = CACHE_GENERATION_GRAVE + random_suffix();
    if (mkdirat(dfd, name.c_str(), 0700) == 0) *grave = name;
    else if (errno != EEXIST || tries >= 8) {
      log_failure("mkdir", dir + "/" + name, errno);
      return -1;
    }
  }
  UniqueFd gfd = open_at(dfd, grave->c_str(), O_RDONLY | O_DIRECTORY, FileKind::kDirectory);
  if (!gfd.ok()) {
    log_failure("open", dir + "/" + *grave, errno);
    return -1;
  }
  for (const std::string &n : names) {
    if (!is_tree_name(n)) continue;
    if (renameat(dfd, n.c_str(), gfd.get(), n.c_str()) != 0 && errno != ENOENT) {
      log_failure("rename", dir + "/" + n, errno);
      return -1;
    }
  }
  // The tree must be gone for good before a record says it is new.
  if (fsync(dfd) != 0) {
    log_failure("fsync", dir, errno);
    return -1;
  }
  return 0;
}

// Under the exclusive lock: the generation found again (so the record never
// goes back to one older than a run found meanwhile), and the tree emptied
// when it differs from the record.
int replace_generation(int dfd, int fd, const std::string &dir,
                       const std::function<int(std::string *)> &compute, std::string *now,
                       std::string *grave) {
  const std::string file = dir + "/" CACHE_GENERATION_FILE;
  if (lock_bounded(fd, LOCK_EX) != 0) {
    log_failure("flock", file, errno);
    return -1;
  }
  std::string recorded;
  int rc = compute(now);
  if (rc < 0) {
    // compute() said why
  } else if (read_record(fd, &recorded) != 0) {
    log_failure("read", file, errno);
    rc = -1;
  } else if (recorded != *now) {
    if (move_tree_aside(dfd, dir, grave) != 0) {
      rc = -1;
    } else if (write_record(fd, *now) != 0) {
      log_failure("write", file, errno);
      rc = -1;
    } else {
      MsgLog(OrnixLog, 16,
             "cache %s: the engine's signatures changed; earlier clean results dropped\n",
             dir.c_str());
    }
  }
  unlock(fd);
  return rc;
}

}  // namespace

int signature_generation(const char *socket_path, const char *engine_conf, std::string *out) {
  char version[CLAMD_REPLY_SIZE];
  if (clamd_version_line(socket_path, version, sizeof version) != 0) return -1;
  std::string conf;
  std::string conf_line = describe_config(engine_conf, &conf);
  std::string dbdir = conf_value(conf, "DatabaseDirectory");
  if (dbdir.empty()) dbdir = CACHE_DEFAULT_DATABASE_DIR;
  time_t newest = 0;
  *out = std::string("ornix scan-result cache generation 1\n") + "engine " + version + "\n" +
         "configuration " + conf_line + "\n" + "databases " +
         describe_databases(dbdir, &newest) + "\n";
  if (out->size() > CACHE_GENERATION_MAX) *out = out->substr(0, CACHE_GENERATION_MAX);
  // clamd takes changed files at a RELOAD, or at its next self-check, and
  // answers from the old ones meanwhile.
  std::string self_check = conf_value(conf, "SelfCheck");
  long interval = self_check.empty() ? kSelfCheckDefault : atol(self_check.c_str());
  if (interval < 0 || interval > 7 * 24 * 3600) interval = kSelfCheckDefault;
  return time(nullptr) < newest + interval + kReloadMargin ? 1 : 0;
}

int cache_bind(const char *dir, const std::function<int(std::string *)> &compute,
               CacheBinding *b) {
  const std::string d = dir ? dir : "";
  const std::string file = d + "/" CACHE_GENERATION_FILE;
  if (d.empty()) {
    log_failure("open", d, ENOENT);
    return -1;
  }
  mkdir(dir, 0700);  // an existing one is kept as it is
  UniqueFd dfd = open_dir(dir);
  if (!dfd.ok()) {
    log_failure("open", d, errno);
    return -1;
  }
  bool writable = true;
  UniqueFd fd =
      open_at(dfd.get(), CACHE_GENERATION_FILE, O_RDWR | O_CREAT, FileKind::kRegular, 0600);
  if (!fd.ok() && (errno == EACCES || errno == EROFS)) {
    writable = false;  // lookups may still use a tree of our generation
    fd = open_at(dfd.get(), CACHE_GENERATION_FILE, O_RDONLY, FileKind::kRegular);
  }
  if (!fd.ok()) {
    log_failure("open", file, errno);
    return -1;
  }
  // Shared first: while the generation stays the same, runs start side by side.
  if (lock_bounded(fd.get(), LOCK_SH) != 0) {
    log_failure("flock", file, errno);
    return -1;
  }
  std::string now, recorded;
  int rc = compute(&now);
  bool same = rc >= 0 && read_record(fd.get(), &recorded) == 0 && recorded == now;
  unlock(fd.get());
  if (rc < 0) return -1;  // compute() said why
  std::string grave;
  if (!same) {
    if (!writable) {
      log_failure("open", file, EACCES);
      return -1;
    }
    rc = replace_generation(dfd.get(), fd.get(), d, compute, &now, &grave);
    if (rc < 0) return -1;
  }
  // After the lock: removing a large tree keeps nobody waiting.
  if (!grave.empty()) remove_tree_at(dfd.get(), grave.c_str(), 0);
  b->fd = std::move(fd);
  b->generation = now;
  b->adds = rc == 0;
  return 0;
}

int cache_hold(const CacheBinding &b) {
  if (!b.adds) return 1;
  if (!b.fd.ok() || lock_bounded(b.fd.get(), LOCK_SH) != 0) return -1;
  std::string recorded;
  if (read_record(b.fd.get(), &recorded) != 0) {
    unlock(b.fd.get());
    return -1;
  }
  if (recorded == b.generation) return 0;
  unlock(b.fd.get());
  return 1;
}

void cache_release(const CacheBinding &b) {
  if (b.fd.ok()) unlock(b.fd.get());
}

// -- ornixfs --

namespace {

enum class Bound { kNo, kYes, kFailed };
Bound g_bound = Bound::kNo;
CacheBinding g_binding;
bool g_outdated_told = false;

}  // namespace

void cache_generation_begin(void) {
  g_bound = Bound::kNo;
  if (md5check_flag != 1 || !config_yesno("filescan.options", "CacheSignatureBound")) return;
  const char *engine_conf = config_text("aveserver", "ConfigFile");
  auto compute = [engine_conf](std::string *out) {
    int rc = signature_generation(SocketPath, engine_conf, out);
    if (rc < 0)
      MsgLog(OrnixLog, 1, "cache generation error. VERSION(%s): the engine did not answer; "
             "the cache is not used in this run\n", SocketPath ? SocketPath : "");
    return rc;
  };
  g_bound = cache_bind(cache_dir, compute, &g_binding) == 0 ? Bound::kYes : Bound::kFailed;
  if (g_bound == Bound::kYes && !g_binding.adds)
    MsgLog(OrnixLog, 16, "cache %s: the engine's signature files changed lately and it may "
           "not have taken them yet; clean results are not added in this run\n", cache_dir);
}

bool cache_generation_usable(void) { return g_bound != Bound::kFailed; }

int cache_add_begin(void) {
  if (g_bound == Bound::kNo) return 0;
  if (g_bound == Bound::kFailed) return 1;  // said once when the binding failed
  int rc = cache_hold(g_binding);
  if (rc < 0) {
    MsgLog(OrnixLog, 1, "cache generation error. %s\n",
           sys_message("flock", std::string(cache_dir) + "/" CACHE_GENERATION_FILE, errno).c_str());
  } else if (rc == 1 && !g_outdated_told) {
    g_outdated_told = true;
    MsgLog(OrnixLog, 16, "cache %s: the engine's signatures changed during this run; "
           "its clean results are not added\n", cache_dir);
  }
  return rc;
}

void cache_add_end(void) {
  if (g_bound == Bound::kYes) cache_release(g_binding);
}
