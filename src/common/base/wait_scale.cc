// Fixed waits, shortened only when the test rig asks (see wait_scale.h).
#include "wait_scale.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "stop_signal.h"

namespace {

double wait_scale() {
  const char *text = getenv("ORNIX_WAIT_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (*end != '\0' || !(v > 0.0 && v <= 1.0)) return 1.0;
  return v;
}

}  // namespace

long scaled_wait_ms(long production_ms) {
  double scale = wait_scale();
  if (scale == 1.0 || production_ms <= 1) return production_ms;
  long ms = std::lround(static_cast<double>(production_ms) * scale);
  return ms < 1 ? 1 : ms;
}

void scaled_pause_ms(long production_ms) {
  // In slices, so that a stop request met just before a sleep is seen soon.
  long left = scaled_wait_ms(production_ms);
  while (left > 0 && !stop_requested()) {
    long ms = left < kStopPollMs ? left : kStopPollMs;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !stop_requested()) {
    }
    left -= ms;
  }
}
