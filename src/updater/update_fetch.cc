// wget's argument vector, the update server's URLs and the proxy
// credentials, which reach wget through a private wgetrc, never its argv.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "ornix_lib.h"
#include "ornixup.h"
#include "safe_file.h"
#include "updater_internal.h"

namespace {

constexpr size_t kMaxExtraWords = 19;
constexpr int kMaxHosts = 9;
constexpr size_t kHostRoom = 8191;

std::vector<std::string> split_any(const std::string &s, const char *seps) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (strchr(seps, c) != nullptr) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// A host reaches URLs and the engine script's settings: no blanks, no
// control characters.
bool good_host(const std::string &h) {
  if (h.empty() || h.size() > kHostRoom) return false;
  for (unsigned char c : h)
    if (c <= 0x20 || c >= 0x7f) return false;
  return true;
}

bool starts_nocase(const char *s, const char *prefix) {
  return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

// -U: "http://", "https://" or a bare host; "host:port" replaces the port.
int parse_option_url(const char *url, Fetcher *f) {
  const char *rest = url;
  f->protocol = "http";
  if (starts_nocase(url, "http://")) {
    rest = url + 7;
  } else if (starts_nocase(url, "https://")) {
    f->protocol = "https";
    rest = url + 8;
  }
  std::string host = rest;
  size_t colon = host.find(':');
  if (colon != std::string::npos) {
    std::string port = host.substr(colon + 1);
    while (!port.empty() && port.back() == '/') port.pop_back();
    char *end = nullptr;
    long p = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p <= 0 || p > 65535) {
      MsgLog(OrnixLog, 1, "Invalid update URL(%s): bad port\n", url);
      return -1;
    }
    f->port = static_cast<int>(p);
    f->port_in_https = f->protocol == "https" && p != 443;
    host.resize(colon);
  }
  while (!host.empty() && host.back() == '/') host.pop_back();
  if (!good_host(host)) {
    MsgLog(OrnixLog, 1, "Invalid update URL(%s): no usable host\n", url);
    return -1;
  }
  f->hosts.push_back(host);
  f->from_url = true;
  return 0;
}

// wget reads the credentials from this file; only root and wget see them.
int write_wgetrc(const std::string &dir, const std::string &user, const std::string &pass,
                 std::string *path) {
  for (const std::string *v : {&user, &pass}) {
    for (unsigned char c : *v) {
      if (c < 0x20 || c == 0x7f) {
        MsgLog(OrnixLog, 1, "HTTPProxyUser/HTTPProxyPassword hold a control character: refused\n");
        return -1;
      }
    }
    if (!v->empty() && (v->front() == ' ' || v->back() == ' ')) {
      MsgLog(OrnixLog, 1, "HTTPProxyUser/HTTPProxyPassword begin or end with a blank: refused\n");
      return -1;
    }
  }
  std::string p = dir + "/proxy.wgetrc";
  UniqueFd fd;
  UniqueFd d = open_dir(dir.c_str());
  if (d.ok()) fd = create_private_at(d.get(), "proxy.wgetrc", O_WRONLY);
  if (!fd.ok()) {
    MsgLog(OrnixLog, 1, "Could not create proxy settings file: %s\n",
           sys_message("create", p, errno).c_str());
    return -1;
  }
  std::string text = "proxy_user = " + user + "\nproxy_password = " + pass + "\n";
  bool ok = write_all(fd.get(), text.data(), text.size());
  explicit_bzero(text.data(), text.size());
  if (!ok || fd.close_checked() != 0) {
    MsgLog(OrnixLog, 1, "Could not write proxy settings file: %s\n",
           sys_message("write", p, errno).c_str());
    unlink(p.c_str());
    return -1;
  }
  *path = p;
  return 0;
}

}  // namespace

int make_fetcher(const UpdaterSettings &s, const std::string &private_dir, Fetcher *f) {
  f->wget = s.wget_path;
  f->verbose = s.show_output;
  f->timeout = s.command_timeout;
  f->extra_text = s.extra_wget_options;
  f->extra = split_any(s.extra_wget_options, " \t");
  if (f->extra.size() > kMaxExtraWords) {
    MsgLog(OrnixLog, 1, "ExtraWgetOptions has %zu words, at most %zu are allowed: nothing fetched\n",
           f->extra.size(), kMaxExtraWords);
    f->extra_ok = false;
  }
  f->port = s.update_port;
  if (option_url != nullptr) {
    if (parse_option_url(option_url, f) != 0) return -1;
  } else {
    if (strcasecmp(s.update_protocol.c_str(), "ftp") == 0)
      f->protocol = "ftp";
    else if (strcasecmp(s.update_protocol.c_str(), "https") == 0)
      f->protocol = "https";
    else
      f->protocol = "http";
    for (const std::string &h : split_any(s.update_host, ",; ")) {
      if (static_cast<int>(f->hosts.size()) == kMaxHosts) {
        MsgLog(OrnixLog, 1, "UpdateHost names more than %d hosts: the rest are ignored\n", kMaxHosts);
        break;
      }
      if (!good_host(h)) {
        MsgLog(OrnixLog, 1, "UpdateHost: a host name longer than %zu characters or with control "
               "characters is ignored\n", kHostRoom);
        continue;
      }
      f->hosts.push_back(h);
    }
  }
  if (f->hosts.empty()) {
    MsgLog(OrnixLog, 1, "No update host configured (UpdateHost)\n");
    return -1;
  }
  if (!s.proxy_server.empty()) {
    if (cons_out) printf("Use Proxy update. proxy=%s,port=%d\n", s.proxy_server.c_str(), s.proxy_port);
    MsgLog(OrnixLog, 128, "Use Proxy update. proxy=%s,port=%d\n", s.proxy_server.c_str(),
           s.proxy_port);
    char assign[64];
    snprintf(assign, sizeof assign, ":%d/", s.proxy_port);
    std::string proxy = "http://" + s.proxy_server + assign;
    f->proxy_args = {"-Y", "on", "-e", "http_proxy=" + proxy, "-e", "https_proxy=" + proxy};
    if (!s.proxy_user.empty()) {
      if (cons_out)
        printf("Use Proxy authentication: user=%s,pass=%s\n", s.proxy_user.c_str(), "********");
      MsgLog(OrnixLog, 128, "Use Proxy authentication: user=%s,pass=%s\n", s.proxy_user.c_str(),
             "********");
      if (write_wgetrc(private_dir, s.proxy_user, s.proxy_password, &f->wgetrc) != 0) return -1;
    }
  }
  return 0;
}

void drop_fetcher(Fetcher *f) {
  if (!f->wgetrc.empty()) unlink(f->wgetrc.c_str());
  f->wgetrc.clear();
}

std::string server_url(const Fetcher &f, const std::string &host, bool in_list_dir,
                       const std::string &file) {
  std::string url = f.protocol + "://" + host;
  bool with_port = (f.protocol == "http" && f.port != 80) ||
                   (f.protocol == "https" && f.port_in_https);
  if (with_port) url += ":" + std::to_string(f.port);
  url += "/" ORNIXUP_SERVER_DIR "/";
  if (in_list_dir) url += ORNIXUP_LIST_NAME "/";
  return url + file;
}

int wget_download(const Fetcher &f, const std::string &url, const std::string &out, long long cap) {
  if (!f.extra_ok) return -1;
  std::vector<std::string> argv = {f.wget};
  // --config must come first: wget reads it before the other options.
  if (!f.wgetrc.empty()) argv.push_back("--config=" + f.wgetrc);
  argv.push_back(f.verbose ? "-v" : "-q");
  argv.push_back("--cache=off");
  argv.push_back("-O");
  argv.push_back(out);
  argv.insert(argv.end(), f.extra.begin(), f.extra.end());
  argv.insert(argv.end(), f.proxy_args.begin(), f.proxy_args.end());
  argv.push_back(url);
  MsgLog(OrnixLog, 128, "Wget program execute (%s %s %s %s %s %s)\n", f.wget.c_str(),
         f.verbose ? "-v" : "-q", "-O", out.c_str(), f.extra_text.c_str(), url.c_str());
  int rc = command2(f.wget.c_str(), argv, f.timeout, cap);
  if (rc != 0) unlink(out.c_str());   // a partial file is never taken for the real one
  return rc;
}
