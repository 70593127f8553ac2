// The recording stop handler (see stop_signal.h).
#include "stop_signal.h"

#include <cstring>

volatile sig_atomic_t ornix_stop_signal = 0;

namespace {

void (*volatile extra_action)(int) = nullptr;

void record(int sig) {
  if (ornix_stop_signal == 0) ornix_stop_signal = sig;
  if (void (*extra)(int) = extra_action) extra(sig);
}

}  // namespace

int install_stop_handler(const int *signals, int n, void (*extra)(int)) {
  extra_action = extra;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = record;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < n; i++) sigaddset(&sa.sa_mask, signals[i]);
  sa.sa_flags = 0;   // no SA_RESTART: a blocked read or wait returns EINTR
  for (int i = 0; i < n; i++)
    if (sigaction(signals[i], &sa, nullptr) != 0) return -1;
  return 0;
}
