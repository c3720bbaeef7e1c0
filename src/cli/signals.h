// How kestrane-cli ends on a signal. The kernel drops the locks of a process
// that ends, but not the exclusive flag it set on a serial port, which stays
// for as long as anything keeps the port open: the handlers clear the flags
// first, then let the signal end the process as it would have.
#ifndef KESTRANE_CLI_SIGNALS_H
#define KESTRANE_CLI_SIGNALS_H

#include <csignal>

namespace cli {

// For SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE; one that the process
// was started with ignored (nohup, a background job) stays ignored.
void end_cleanly_on_signals();

// The bench's: the first SIGINT, SIGTERM or SIGHUP only sets *stop, so that
// the boards in progress finish; the next ends the process cleanly. SIGINT
// and SIGTERM are taken even when they were ignored, so that a bench
// started in the background can be stopped.
void stop_on_first_signal(volatile std::sig_atomic_t *stop);

}  // namespace cli

#endif
