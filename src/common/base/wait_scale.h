// The one seam for the programs' fixed waits.
//
// Every wait whose length is fixed by the program rather than by the
// configuration goes through these calls: the pause before the file
// scanner's engine health check, the supervisor's socket probes and its
// bound on the engine's return, the SMTP dialogue's time-outs, and the
// updater's wait for the run lock and its grace between SIGTERM and SIGKILL.
//
// The test rig sets ORNIX_WAIT_SCALE to a fraction such as "0.01" so that
// runs meeting these waits finish in a moment. The variable can only shorten
// a wait: absent, unparsable, or outside (0, 1], the production length is
// used unchanged. A shortened wait is never below 1 ms.
#ifndef ORNIX_WAIT_SCALE_H
#define ORNIX_WAIT_SCALE_H

// The length in milliseconds to wait in place of production_ms.
long scaled_wait_ms(long production_ms);

// Sleeps scaled_wait_ms(production_ms), resuming after signal interruptions;
// a stop request (stop_signal.h) ends the pause early.
void scaled_pause_ms(long production_ms);

#endif
