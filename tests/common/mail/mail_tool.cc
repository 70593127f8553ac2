// Test driver for the notification and delivery entry points: reads a
// configuration, opens a log, builds a message object from a stored message
// file and calls SendNotify, DetectNotify or DeliverMail, so the black-box
// tests run the real entry points against real servers. Not installed.
//
//   mail_tool CONFIG LOGFILE LOGLEVEL TIMEOUT send MESSAGE FROM TO ENVFROM ENVTO
//             TYPE STATUS ATTACH [scan=N] [group=NAME] [part=STATUS:VIRUS:FILE:TYPE ...]
//   mail_tool CONFIG LOGFILE LOGLEVEL TIMEOUT detect TO FILE ACTION SAVEDIR
//   mail_tool CONFIG LOGFILE LOGLEVEL TIMEOUT deliver MESSAGE ENVFROM RCPT=STATUS ...
//
// Prints the result ("SendNotify=<n>", "DetectNotify", or one
// "status <rcpt> <n>" line per recipient) and exits 0; 2 on a setup error.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "clamav_api.h"
#include "config.h"
#include "log.h"
#include "mail.h"
#include "protocol.h"

namespace {

std::string header_value(const std::string &path, const char *name) {
  std::ifstream in(path);
  std::string line, want = std::string(name) + ":";
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (strncasecmp(line.c_str(), want.c_str(), want.size()) == 0) {
      std::string v = line.substr(want.size());
      while (!v.empty() && v[0] == ' ') v.erase(0, 1);
      return v;
    }
  }
  return "";
}

char *dup(const std::string &s) { return s.empty() ? nullptr : strdup(s.c_str()); }

// The message object of a stored message; parts from "part=" arguments.
void build(mail_obj &m, const std::string &path, char **args, int n, GRP **group) {
  m.fname = strdup(path.c_str());
  std::string base = path.substr(path.rfind('/') + 1);
  m.mid = strdup(base.c_str());
  m.Subject = dup(header_value(path, "Subject"));
  std::string id = header_value(path, "Message-ID");
  if (id.size() > 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  m.MessageID = dup(id);
  struct stat st;
  if (stat(path.c_str(), &st) == 0) m.ReceiveDateTime = st.st_mtime;
  attach_obj **tail = &m.AttachObj;
  for (int i = 0; i < n; i++) {
    std::string a = args[i];
    if (a.rfind("scan=", 0) == 0) m.ScanStatus = atoi(a.c_str() + 5);
    if (a.rfind("virus=", 0) == 0) m.VirusName = strdup(a.c_str() + 6);
    if (a.rfind("group=", 0) == 0)
      for (GRP *g = GroupList; g != nullptr; g = g->next)
        if (a.substr(6) == g->GroupName) *group = g;
    if (a.rfind("part=", 0) != 0) continue;
    std::vector<std::string> f;
    size_t s = 5, c;
    while ((c = a.find(':', s)) != std::string::npos && f.size() < 3) {
      f.push_back(a.substr(s, c - s));
      s = c + 1;
    }
    f.push_back(a.substr(s));
    f.resize(4);
    attach_obj *p = static_cast<attach_obj *>(calloc(1, sizeof(attach_obj)));
    p->ScanStatus = atoi(f[0].c_str());
    p->VirusName = dup(f[1]);
    p->Filename = dup(f[2]);
    p->ContentType = dup(f[3]);
    *tail = p;
    tail = &p->next;
  }
}

int run(int argc, char **argv) {
  std::string cmd = argv[5];
  if (cmd == "send" && argc >= 14) {
    mail_obj m{};
    GRP *group = nullptr;
    build(m, argv[6], argv + 14, argc - 14, &group);
    int rc = SendNotify(argv[7], argv[8], argv[9], argv[10], &m, argv[11][0], atoi(argv[12]),
                        atoi(argv[13]), group);
    printf("SendNotify=%d\n", rc);
    return 0;
  }
  if (cmd == "detect" && argc == 10) {
    DetectNotify(argv[6], argv[7], atoi(argv[8]), argv[9]);
    printf("DetectNotify\n");
    return 0;
  }
  if (cmd == "deliver" && argc >= 8) {
    mail_obj m{};
    GRP *group = nullptr;
    build(m, argv[6], nullptr, 0, &group);
    m.EnvFrom = argv[7];
    std::vector<char *> to;
    std::vector<int> status;
    for (int i = 8; i < argc; i++) {
      char *eq = strrchr(argv[i], '=');
      if (eq == nullptr) return 2;
      *eq = '\0';
      to.push_back(argv[i]);
      status.push_back(atoi(eq + 1));
    }
    status.push_back(-1);
    m.EnvTo = to.data();
    m.EnvToCount = static_cast<int>(to.size());
    m.Status = status.data();
    DeliverMail(&m);
    for (size_t i = 0; i < to.size(); i++) printf("status %s %d\n", to[i], status[i]);
    return 0;
  }
  fprintf(stderr, "usage: see the head of mail_tool.cc\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: %s CONFIG LOGFILE LOGLEVEL TIMEOUT send|detect|deliver ...\n", argv[0]);
    return 2;
  }
  if (LoadConfigFile(argv[1]) != 0) {
    fprintf(stderr, "cannot read configuration %s\n", argv[1]);
    return 2;
  }
  LogLevel = atoi(argv[3]);
  if (OpenReportLog(argv[2], "smtpscan.report") != 0) {
    fprintf(stderr, "cannot open log %s\n", argv[2]);
    return 2;
  }
  SmtpTimeout = atoi(argv[4]);
  memcpy(AVE_info.engineVersion, "0.103.8", 8);
  AVE_info.vdfVersion = 27500;
  int rc = run(argc, argv);
  CloseLog(OrnixLog);
  return rc;
}
