// Test driver for SendMail: reads a configuration file, opens a log file and
// sends one message file, so the black-box tests can drive the submission
// dialogue against a real SMTP server with a temporary configuration.
//
//   smtp_send_tool CONFIG LOGFILE LOGLEVEL TIMEOUT FROM MESSAGE [RCPT ...]
//
// Prints "SendMail=<result>" on standard output and exits 0; 2 on a usage or
// setup error.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "config.h"
#include "log.h"
#include "protocol.h"

int main(int argc, char **argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: %s CONFIG LOGFILE LOGLEVEL TIMEOUT FROM MESSAGE [RCPT ...]\n", argv[0]);
    return 2;
  }
  if (LoadConfigFile(argv[1]) != 0) {
    fprintf(stderr, "cannot read configuration %s\n", argv[1]);
    return 2;
  }
  LogLevel = atoi(argv[3]);
  if (OpenReportLog(argv[2], "filescan.report") != 0) {
    fprintf(stderr, "cannot open log %s\n", argv[2]);
    return 2;
  }
  SmtpTimeout = atoi(argv[4]);
  std::vector<char *> to(argv + 7, argv + argc);
  to.push_back(nullptr);
  FILE *fp = fopen(argv[6], "r");
  if (fp == nullptr && argv[6][0] != '\0') {
    perror(argv[6]);
    return 2;
  }
  int rc = SendMail(argv[5], to.data(), fp);
  if (fp != nullptr) fclose(fp);
  printf("SendMail=%d\n", rc);
  CloseLog(OrnixLog);
  return 0;
}
