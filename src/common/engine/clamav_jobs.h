// Several engine requests in flight at once, each on a connection of its own,
// all advanced by one poll on the calling thread.
//
// clamd scans with a pool of worker threads; one request at a time leaves all
// but one of them idle. A caller starts up to `capacity` requests, goes on
// with its own work, and collects each result when it needs it, in any
// order. Each request sends the same bytes and reads its reply the same way
// as clamd_scan, clamd_scan_fildes and clamd_scan_fd, with the same
// time-outs (each wait of the exchange bounded by `timeout` seconds), and
// its result is the AVEAPI_RESULTS record and return value those give.
//
// No thread is started: the caller's thread does everything when it calls
// clamd_jobs_poll or clamd_jobs_collect, so the caller's state needs no lock
// and a stop request (stop_signal.h) ends a wait within kStopPollMs.
#ifndef ORNIX_CLAMAV_JOBS_H
#define ORNIX_CLAMAV_JOBS_H

#include <sys/types.h>

#include "clamav_api.h"

struct clamd_jobs;

#define CLAMD_JOBS_MAX 64   // requests one set may keep in flight

// A set of at most capacity (1..CLAMD_JOBS_MAX) requests to the engine at
// socket_file (copied); null when out of range or out of memory.
clamd_jobs *clamd_jobs_open(const char *socket_file, int capacity);
// Cancels what is in flight and releases the set. A null set is ignored.
void clamd_jobs_close(clamd_jobs *jobs);

// Starts a request: its id (0..capacity-1), or -1 when every slot is taken.
// A request that fails before anything is sent (the size limit, a status
// error, no engine at the socket) is complete at once. A descriptor stays
// the caller's: it must stay open until the request is collected.
int clamd_jobs_scan(clamd_jobs *jobs, const char *file, int timeout, off_t max_size);
int clamd_jobs_scan_fildes(clamd_jobs *jobs, int fd, int timeout, off_t max_size);
int clamd_jobs_scan_fd(clamd_jobs *jobs, int fd, int timeout);

// Advances every request, waiting at most wait_ms (-1: until one more
// completes) and returning early once one does. The number of complete
// requests not yet collected, or -1 with errno EINTR on a stop request.
int clamd_jobs_poll(clamd_jobs *jobs, int wait_ms);
// 1 complete, 0 in flight, -1 no such request.
int clamd_jobs_done(const clamd_jobs *jobs, int id);
// Requests started and not yet collected.
int clamd_jobs_active(const clamd_jobs *jobs);

// Waits for request id (bounded by its own time-outs; a stop request fails
// it as a broken exchange) and hands over its result: results is filled as
// clamd_scan fills it (the caller releases it with clamd_cleanup_results)
// and the value is clamd_scan's: 1 found, 0 clean, -1 failed. The slot is
// free again. -1 with results untouched for no such request.
int clamd_jobs_collect(clamd_jobs *jobs, int id, AVEAPI_RESULTS *results);

// Ends every request at once: connections closed, results dropped, every
// slot free. For a run that is stopping.
void clamd_jobs_cancel(clamd_jobs *jobs);

#endif
