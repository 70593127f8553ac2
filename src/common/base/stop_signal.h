// A stop request by signal, recorded by the handler and acted on by the
// program's main path: a handler that did the clean-up itself would run the
// allocator, stdio and the logger at an arbitrary point of the program, where
// any of them may be holding its own lock.
//
// Every wait of the common libraries that a stop request should end (engine
// and mail exchanges, the scaled pauses) looks at stop_requested() whenever
// it wakes, and wakes at least once a second.
#ifndef ORNIX_STOP_SIGNAL_H
#define ORNIX_STOP_SIGNAL_H

#include <csignal>

// The first stop signal received, 0 while none.
extern volatile sig_atomic_t ornix_stop_signal;

inline bool stop_requested() { return ornix_stop_signal != 0; }

// Makes each of the n signals only record itself (the first one received
// wins), without SA_RESTART, so that a blocking call returns EINTR. `extra`,
// when given, is called from the handler after the record: it may use only
// async-signal-safe calls. 0, or -1 with errno set.
int install_stop_handler(const int *signals, int n, void (*extra)(int));

// The longest single sleep of a wait that watches for a stop request.
constexpr int kStopPollMs = 200;

#endif
