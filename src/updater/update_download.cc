// The first half of a run: an update server that delivers the list, the
// modules it names that are newer, the white list and the post-update
// script. Everything but the staged modules is fetched into a private
// directory and put in place only once it has been verified.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "ornix_lib.h"
#include "ornixup.h"
#include "updater_internal.h"

namespace {

const char *const kListFile = ORNIXUP_LIST_NAME ".lst";

bool signing(const UpdaterSettings &s) { return !s.public_key.empty(); }

// The staging directory: a real directory, never a link planted in its place.
int ensure_dir(const std::string &dir) {
  if (mkdir(dir.c_str(), 0755) == 0) return 0;
  if (errno != EEXIST) return -1;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

// Fetches url + ".minisig" and checks file against it. 0, or -1 (logged).
int check_signature(const Fetcher &f, const UpdaterSettings &s, const std::string &url,
                    const std::string &file, long long *timestamp) {
  std::string sig = file + ".minisig";
  int rc = wget_download(f, url + ".minisig", sig, kSmallFileCap);
  if (rc != 0) {
    MsgLog(OrnixLog, 1, "Signature could not be fetched(error=%d,url=%s.minisig)\n", rc, url.c_str());
    return -1;
  }
  std::string why;
  if (verify_signature(s.public_key, file, sig, timestamp, &why) != 0) {
    MsgLog(OrnixLog, 1, "Signature refused(%s): %s\n", url.c_str(), why.c_str());
    unlink(sig.c_str());
    return -1;
  }
  unlink(sig.c_str());
  return 0;
}

int check_list_signature(const Fetcher &f, const UpdaterSettings &s, const std::string &url,
                         const std::string &list) {
  long long ts = -1;
  if (check_signature(f, s, url, list, &ts) != 0) return -1;
  std::string why;
  if (accept_list_time(ts, &why) != 0) {
    MsgLog(OrnixLog, 1, "Update list refused(%s): %s\n", url.c_str(), why.c_str());
    return -1;
  }
  MsgLog(OrnixLog, 128, "Update list signature verified(%s, timestamp %lld)\n", url.c_str(), ts);
  return 0;
}

int module_download(const Fetcher &f, const std::string &host, const char *name, const char *md5,
                    long long cap) {
  if (cons_out) printf("Need to update %s, Please wait...\n", name);
  std::string url = server_url(f, host, true, name);
  std::string dir = OrnixBinPath + "/new";
  if (ensure_dir(dir) != 0) {
    MsgLog(OrnixLog, 1, "Could not create store directory.(%s)\n", strerror(errno));
    return -1;
  }
  if (cons_out) printf("Downloading file %s\n", name);
  std::string out = dir + "/" + name;
  unlink(out.c_str());   // wget writes through a name; never through an old link
  int rc = wget_download(f, url, out, cap);
  if (rc != 0) {
    MsgLog(OrnixLog, 1, "Could not get Update module file(error=%d)\n", rc);
    if (cons_out) printf("File %s was downloaded failed\n", name);
    return rc;
  }
  if (md5 != nullptr) {
    std::string got;
    if (!md5_text(out, &got)) {
      MsgLog(OrnixLog, 1, "Download failed\n");
      if (cons_out) puts("Download failed");
      unlink(out.c_str());
      return -1;
    }
    if (got != md5) {
      MsgLog(OrnixLog, 1, "Download failed(md5sum error[%s][%s])\n", got.c_str(), md5);
      if (cons_out) printf("Download failed(md5sum error[%s][%s])\n", got.c_str(), md5);
      unlink(out.c_str());
      return -1;
    }
  }
  MsgLog(OrnixLog, 128, "Get Update module(%s)\n", name);
  if (strcasecmp(name, "README") != 0) chmod(out.c_str(), 0755);
  if (cons_out) printf("File %s was downloaded successfully\n", name);
  return 0;
}

// Version checks and downloads for every listed module. Returns the last
// download's result (0 when none ran).
int fetch_modules(const Fetcher &f, const std::string &host, int timeout) {
  int last = 0, fetched = 0;
  for (MOD &m : mod_list) {
    MsgLog(OrnixLog, 128, "List status:%s %s %d %s\n", m.name, m.build, m.size, m.md5);
    std::string installed = OrnixBinPath + "/" + m.name;
    MsgLog(OrnixLog, 128, "Ornix version check(module=%s)\n", installed.c_str());
    if (!is_executable(installed)) continue;
    MsgLog(OrnixLog, 128, "Version check command execute(cmd=%s -b %s)\n", installed.c_str(), m.build);
    int v = command2(installed.c_str(), {installed, "-b", m.build}, timeout);
    if (v != 1 && !force) {
      if (v < 0) MsgLog(OrnixLog, 1, "Version check error\n");
      continue;
    }
    std::string have;
    if (md5_text(installed, &have) && have == m.md5) continue;
    last = module_download(f, host, m.name, m.md5, m.size);
    if (last == 0) {
      m.download = 1;
      ++fetched;
    }
  }
  if (last == 0 && fetched > 0) {
    last = module_download(f, host, "README", nullptr, kSmallFileCap);
    MsgLog(OrnixLog, 128, "New Ornix modules download successfully\n");
    if (cons_out) puts("New Ornix modules download successfully");
  }
  return last;
}

// Tries the hosts in turn. Returns 1 when a server delivered a list, else 0;
// *chosen is the host the later steps use.
int fetch_list(const Fetcher &f, const UpdaterSettings &s, const std::string &pdir, int timeout,
               std::string *chosen) {
  std::string list = pdir + "/update.lst";
  bool answered = false, stopped = false;
  size_t i = 0;
  for (; i < f.hosts.size(); ++i) {
    const std::string &host = f.hosts[i];
    std::string url = server_url(f, host, false, kListFile);
    if (cons_out) {
      printf("Trying update from server %s\n", url.c_str());
      printf("Downloading file %s, Please wait...\n", kListFile);
    }
    int rc = is_executable(f.wget) ? wget_download(f, url, list, kSmallFileCap) : -1;
    if (rc == 0 && signing(s)) rc = check_list_signature(f, s, url, list);
    if (rc != 0) {
      MsgLog(OrnixLog, 1, "Update list download failed(error=%d)\n", rc);
      if (cons_out) printf("Update list download failed(error=%d)\n", rc);
      if (f.from_url) {
        stopped = true;
        break;
      }
      continue;
    }
    MsgLog(OrnixLog, 128, "Get Update list(%s) successfull\n", kListFile);
    if (cons_out) printf("Success: Get Update list(%s)\n", kListFile);
    answered = true;
    mod_list.clear();
    if (read_update_list(list.c_str(), &mod_list) != 0) {
      stopped = true;
      break;
    }
    if (fetch_modules(f, host, timeout) == 0 || f.from_url) {
      stopped = true;
      break;
    }
  }
  *chosen = stopped ? f.hosts[i] : f.hosts[0];
  if (answered) rename(list.c_str(), (s.temp_path + "/update.lst").c_str());
  return answered ? 1 : 0;
}

std::string server_path_url(const Fetcher &f, const std::string &path) {
  std::string url = f.protocol + "://" + update_server;
  if ((f.protocol == "http" && f.port != 80) || (f.protocol == "https" && f.port_in_https))
    url += ":" + std::to_string(f.port);
  return url + "/" + path;
}

void fetch_white_list(const Fetcher &f, const UpdaterSettings &s, const std::string &pdir) {
  if (strncasecmp(s.s25r_url.c_str(), "none", 4) == 0) return;
  std::string url = s.s25r_url.rfind("http://", 0) == 0 || s.s25r_url.rfind("https://", 0) == 0
                        ? s.s25r_url
                        : server_path_url(f, s.s25r_url);
  if (cons_out) puts("Downloading white-list file, Please wait...");
  if (!is_executable(f.wget)) return;
  std::string tmp = pdir + "/white-list";
  int rc = wget_download(f, url, tmp, kScriptFileCap);
  if (rc == 0 && replace_file(tmp, s.s25r_file, 0644) != 0) {
    MsgLog(OrnixLog, 1, "Could not replace %s: %s\n", s.s25r_file.c_str(), strerror(errno));
    rc = -1;
  }
  if (rc != 0) {
    MsgLog(OrnixLog, 1, "S25R White list download failed(error=%d,url=%s)\n", rc, url.c_str());
    if (cons_out) printf("S25R White list download failed(error=%d,url=%s)\n", rc, url.c_str());
    return;
  }
  MsgLog(OrnixLog, 128, "Get S25R White list(%s) successfull\n", url.c_str());
  if (cons_out) printf("Success: Get S25R White list(%s)\n", url.c_str());
}

// The expected sum from the MD5 file: its first 32 characters.
bool read_expected_md5(const std::string &path, std::string *md5) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  char buf[64];
  ssize_t n = fd.ok() ? read(fd.get(), buf, sizeof buf) : -1;
  if (n < 32) return false;
  md5->assign(buf, 32);
  for (unsigned char c : *md5)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Fetches the script when the server's differs from ours. 0 fetched,
// 1 nothing new, -1 or wget's failure otherwise.
int fetch_post_update(const Fetcher &f, const UpdaterSettings &s, const std::string &pdir,
                      std::string *expected) {
  if (!is_executable(f.wget)) return -1;
  std::string md5file = pdir + "/post_update.md5";
  int rc = wget_download(f, server_url(f, update_server, true, "post_update.md5"), md5file,
                         kSmallFileCap);
  if (rc != 0) return rc;
  if (!read_expected_md5(md5file, expected)) {
    MsgLog(OrnixLog, 1, "post_update.md5 holds no MD5 sum\n");
    return -1;
  }
  std::string local = OrnixBinPath + "/post_update.sh";
  struct stat st;
  if (lstat(local.c_str(), &st) == 0) {
    std::string have;
    if (!md5_text(local, &have)) return -1;
    if (have == *expected) return 1;
    if (cons_out) puts("New Post-update file found.");
  }
  std::string url = server_url(f, update_server, true, "post_update.sh");
  std::string script = pdir + "/post_update.sh";
  rc = wget_download(f, url, script, kScriptFileCap);
  if (rc == 0 && signing(s)) {
    long long ts;
    if (check_signature(f, s, url, script, &ts) != 0) {
      MsgLog(OrnixLog, 1, "post_update.sh dropped: its signature is missing or bad\n");
      unlink(script.c_str());
      return -1;
    }
  }
  return rc;
}

int install_post_update(const Fetcher &f, const UpdaterSettings &s, const std::string &pdir) {
  if (cons_out) puts("Downloading Post-update file, Please wait...");
  std::string expected;
  int rc = fetch_post_update(f, s, pdir, &expected);
  if (rc != 0) {
    MsgLog(OrnixLog, 1, "No Post-update file\n");
    if (cons_out) puts("No Post-update file");
    return rc;
  }
  std::string script = pdir + "/post_update.sh", got;
  if (!md5_text(script, &got)) {
    MsgLog(OrnixLog, 1, "Download failed\n");
    if (cons_out) puts("Download failed");
    return -1;
  }
  if (got != expected) {
    MsgLog(OrnixLog, 1, "Download failed(md5sum error[%s][%s])\n", got.c_str(), expected.c_str());
    if (cons_out) printf("Download failed(md5sum error[%s][%s])\n", got.c_str(), expected.c_str());
    return -1;
  }
  std::string local = OrnixBinPath + "/post_update.sh";
  if (replace_file(script, local, 0755) != 0) {
    MsgLog(OrnixLog, 1, "Could not install %s: %s\n", local.c_str(), strerror(errno));
    return -1;
  }
  rename((pdir + "/post_update.md5").c_str(), (s.temp_path + "/post_update.md5").c_str());
  MsgLog(OrnixLog, 128, "Get post update file successfull[md5sum %s]\n", got.c_str());
  if (cons_out) printf("Success: Get post update file [md5sum %s]\n", got.c_str());
  post_install_shell_exec = 1;
  return 0;
}

}  // namespace

int ornix_update(const UpdaterSettings &s, int timeout) {
  if (!signing(s))
    MsgLog(OrnixLog, 1, "Update lists are not signature-checked (UpdateListPublicKey is not set)\n");
  std::string pdir;
  if (make_private_dir(s.temp_path, &pdir) != 0) {
    MsgLog(OrnixLog, 1, "Could not create download directory in %s: %s\n", s.temp_path.c_str(),
           strerror(errno));
    return -1;
  }
  Fetcher f;
  f.timeout = timeout;
  int rc = make_fetcher(s, pdir, &f);
  f.timeout = timeout;
  if (rc == 0) {
    update_port = f.port;
    if (fetch_list(f, s, pdir, timeout, &update_server) == 0) {
      MsgLog(OrnixLog, 128, "Ornix update server is down\n");
      if (cons_out) puts("Ornix update server is down");
      rc = -1;
    } else {
      fetch_white_list(f, s, pdir);
      rc = install_post_update(f, s, pdir);
    }
  } else {
    update_port = s.update_port;
    if (!f.hosts.empty()) update_server = f.hosts[0];
  }
  drop_fetcher(&f);
  remove_private_dir(pdir);
  return rc;
}
