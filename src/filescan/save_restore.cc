// Restore from the save tree and its listing. Both walk the save tree and the
// original's directories one component at a time without following links:
// the mirrored directories belong to the originals' owners, and so may the
// directories a file goes back to.
#include "save_restore.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "filecheck.h"
#include "log.h"
#include "ornix_lib.h"
#include "safe_file.h"
#include "save_sidecar.h"

namespace {

// Names as the scanner's log shows them: one line each, lossless.
std::string shown(const std::string &s) { return shown_name(s.c_str()); }

// A copy in the save tree: its directory, its name there, its record.
struct Saved {
  UniqueFd dir;
  std::string name, path;
  SavedMeta meta;
  FileId id;   // of the copy as it was read
};

std::string strip_slashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::vector<std::string> dir_names(int dirfd) {
  std::vector<std::string> names;
  DIR *d = fdopendir(fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
  if (d == nullptr) return names;
  rewinddir(d);
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  return names;
}

// The copy named by its save-tree path, or the one copy of an original path.
int find_saved(const std::string &save, const std::string &target, Saved *out,
               std::string *err) {
  UniqueFd top = open_dir(save.c_str());
  if (!top.ok()) {
    *err = sys_message("open save directory", save, errno);
    return -1;
  }
  bool in_save = target.compare(0, save.size() + 1, save + "/") == 0;
  const std::string rel = in_save ? target.substr(save.size()) : target;
  out->dir = open_parent(top.get(), rel, &out->name);
  if (!out->dir.ok()) {
    *err = sys_message("open saved directory", shown(save + rel), errno);
    return -1;
  }
  if (in_save) {
    out->path = target;
    return read_sidecar(out->dir.get(), out->name, &out->meta, err);
  }
  // An original path: the records beside its mirror that name it.
  std::vector<SavedMeta> found;
  std::string refused;
  for (const std::string &n : dir_names(out->dir.get())) {
    SavedMeta m;
    std::string why;
    if (!is_sidecar_name(n)) continue;
    if (read_record(out->dir.get(), n, &m, &why) != 0)
      refused = why;
    else if (m.path == target)
      found.push_back(m);
  }
  if (found.size() != 1) {
    *err = found.empty() ? "no saved copy of " + shown(target) +
                               (refused.empty() ? "" : " (" + refused + ")")
                         : std::to_string(found.size()) + " saved copies of " +
                               shown(target) + "; name one by its save-tree path";
    return -1;
  }
  out->meta = found[0];
  out->name = found[0].copy;
  out->path = save + target.substr(0, target.rfind('/') + 1) + out->name;
  return 0;
}

// Writes the copy's contents into a new temporary file beside the original's
// place, with every recorded attribute, proven equal to what was moved.
int rebuild(Saved &s, int tdir, std::string *tmp, std::string *err) {
  const SavedMeta &m = s.meta;
  UniqueFd in = open_at(s.dir.get(), s.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY,
                        FileKind::kRegular);
  if (!in.ok() || fd_id(in.get(), &s.id) != 0) {
    *err = sys_message("open saved copy", shown(s.name), errno);
    return -1;
  }
  UniqueFd out = create_temp_at(tdir, ".ornixfs_restore_", tmp);
  if (!out.ok()) {
    *err = sys_message("create", shown(m.path), errno);
    return -1;
  }
  std::string md5;
  long long size = 0;
  int rc = copy_with_digest(in.get(), out.get(), &md5, &size);
  struct timespec times[2] = {m.atime, m.mtime};
  if (rc != 0) {
    *err = sys_message("copy", shown(m.path), errno);
  } else if (md5 != m.md5 || size != m.size) {
    *err = "saved copy " + shown(s.name) + " differs from its record (md5 " + md5 +
           ", recorded " + m.md5 + ")";
    rc = -1;
  } else if (fchown(out.get(), m.uid, m.gid) != 0 || fchmod(out.get(), m.mode) != 0 ||
             futimens(out.get(), times) != 0 || fsync(out.get()) != 0 ||
             out.close_checked() != 0) {
    *err = sys_message("set attributes of", shown(m.path), errno);
    rc = -1;
  }
  if (rc != 0) {
    out.reset();
    unlinkat(tdir, tmp->c_str(), 0);
  }
  return rc;
}

void log_restored(const SavedMeta &m, const std::string &from) {
  char mtext[11];
  get_mode_string(S_IFREG | m.mode, mtext);
  MsgLog(OrnixLog, 8, "  file restore to %s(m=%04o[%s],o=%s,g=%s) from %s\n",
         shown(m.path).c_str(), static_cast<unsigned>(m.mode), mtext,
         owner_text(m.uid).c_str(), group_text(m.gid).c_str(), shown(from).c_str());
}

std::string utc_text(time_t t) {
  struct tm tm;
  char buf[32];
  if (gmtime_r(&t, &tm) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
    return std::to_string(static_cast<long long>(t));
  return buf;
}

void print_entry(FILE *out, const std::string &where, const SavedMeta &m) {
  char mtext[11];
  get_mode_string(S_IFREG | m.mode, mtext);
  fprintf(out, "%s\t%s\tm=%04o[%s]\to=%s\tg=%s\tsize=%lld\tmtime=%s\tmoved=%s\tmd5=%s\t%s\n",
          shown(where).c_str(), shown(m.path).c_str(),
          static_cast<unsigned>(m.mode), mtext, shown(m.owner).c_str(),
          shown(m.group).c_str(), m.size, utc_text(m.mtime.tv_sec).c_str(),
          utc_text(m.moved).c_str(), m.md5.c_str(), shown(m.detections).c_str());
}

// Lists one directory of the save tree and, depth first, those below it.
// Every level keeps one descriptor: the depth is bounded to keep them.
int list_dir(int dirfd, const std::string &where, int depth, FILE *out, std::string *err) {
  if (depth > 512) {
    *err = "save tree deeper than 512 levels at " + shown(where);
    return -1;
  }
  int count = 0;
  for (const std::string &n : dir_names(dirfd)) {
    struct stat st;
    if (fstatat(dirfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string path = where + "/" + n;
    if (S_ISDIR(st.st_mode)) {
      UniqueFd sub = open_at(dirfd, n.c_str(), O_RDONLY | O_DIRECTORY, FileKind::kDirectory);
      int c = sub.ok() ? list_dir(sub.get(), path, depth + 1, out, err) : 0;
      if (c < 0) return -1;
      count += c;
    } else if (S_ISREG(st.st_mode) && !is_sidecar_name(n) &&
               n.compare(0, 14, ".ornixfs_move_") != 0) {
      SavedMeta m;
      std::string why;
      if (read_sidecar(dirfd, n, &m, &why) == 0)
        print_entry(out, path, m);
      else
        fprintf(out, "%s\t-\t(%s)\n", shown(path).c_str(), why.c_str());
      count++;
    }
  }
  return count;
}

}  // namespace

int restore_saved(const char *save_dir, const std::string &target_arg, bool replace,
                  std::string *err) {
  const std::string save = strip_slashes(save_dir), target = strip_slashes(target_arg);
  Saved s;
  if (target.empty() || target[0] != '/') {
    *err = "not an absolute path: " + shown(target);
    return -1;
  }
  if (find_saved(save, target, &s, err) != 0) return -1;
  const SavedMeta &m = s.meta;
  std::string leaf, tmp;
  UniqueFd tdir = open_parent_from_root(m.path, &leaf);
  if (!tdir.ok()) {
    *err = sys_message("open the directory of", shown(m.path), errno);
    return -1;
  }
  struct stat st;
  if (!replace && fstatat(tdir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    *err = shown(m.path) + " exists; not replaced";
    return -1;
  }
  if (rebuild(s, tdir.get(), &tmp, err) != 0) return -1;
  int rc = replace ? rename_at(tdir.get(), tmp.c_str(), leaf.c_str())
                   : rename_noreplace_at(tdir.get(), tmp.c_str(), leaf.c_str());
  if (rc != 0 || fsync(tdir.get()) != 0) {
    *err = sys_message("rename", shown(m.path), errno);
    unlinkat(tdir.get(), tmp.c_str(), 0);
    return -1;
  }
  // Back in place: the copy and its record leave the save tree.
  if (unlink_at(s.dir.get(), s.name.c_str(), &s.id) == 0)
    unlinkat(s.dir.get(), sidecar_name(s.name).c_str(), 0);
  fsync(s.dir.get());
  log_restored(m, s.path);
  return 0;
}

int list_saved(const char *save_dir, const std::string &below, FILE *out, std::string *err) {
  const std::string save = strip_slashes(save_dir);
  UniqueFd top = open_dir(save.c_str());
  if (!top.ok()) {
    *err = sys_message("open save directory", save, errno);
    return -1;
  }
  std::string rel = strip_slashes(below);
  if (rel.compare(0, save.size() + 1, save + "/") == 0) rel = rel.substr(save.size());
  if (rel.empty() || rel == "/") return list_dir(top.get(), save, 0, out, err);
  std::string leaf;
  UniqueFd parent = open_parent(top.get(), rel, &leaf);
  UniqueFd dir = parent.ok() ? open_at(parent.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY,
                                       FileKind::kDirectory)
                             : UniqueFd();
  if (!dir.ok()) {
    *err = sys_message("open saved directory", shown(save + rel), errno);
    return -1;
  }
  return list_dir(dir.get(), save + (rel[0] == '/' ? rel : "/" + rel), 0, out, err);
}
