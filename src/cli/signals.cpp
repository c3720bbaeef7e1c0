#include "cli/signals.h"

#include <kestrane/engine.h>

namespace cli {

static const int ENDING[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

static volatile std::sig_atomic_t *stop_flag = nullptr;

static bool stops(int signal)
{
    return signal == SIGINT || signal == SIGTERM || signal == SIGHUP;
}

// Async-signal-safe only: atomics and ioctl in the engine, sigaction and
// raise here. The signal is blocked while its handler runs, so the raised
// one ends the process as soon as the handler returns.
static void on_signal(int signal)
{
    if (stop_flag != nullptr && stops(signal) && *stop_flag == 0) {
        *stop_flag = 1;
        return;
    }
    efm8_release_ports();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

static void handle(int signal, bool even_if_ignored)
{
    struct sigaction now {};
    sigaction(signal, nullptr, &now);
    if (now.sa_handler == SIG_IGN && !even_if_ignored)
        return;
    struct sigaction handler {};
    handler.sa_handler = on_signal;
    sigemptyset(&handler.sa_mask);
    for (int other : ENDING)
        sigaddset(&handler.sa_mask, other);
    sigaction(signal, &handler, nullptr);
}

void end_cleanly_on_signals()
{
    for (int signal : ENDING)
        handle(signal, false);
}

void stop_on_first_signal(volatile std::sig_atomic_t *stop)
{
    stop_flag = stop;
    handle(SIGINT, true);
    handle(SIGTERM, true);
    handle(SIGHUP, false);
}

}  // namespace cli
