// What every exported call does before the engine is reached and as it
// leaves: its pointers checked, one call at a time on a session, and no
// C++ exception across the C boundary. Each refusal is a report of its own,
// kept as the thread's last failure and handed to the caller's report.
#ifndef KESTRANE_API_GUARD_H
#define KESTRANE_API_GUARD_H

#include <kestrane/engine.h>

#include "engine/session.h"
#include "engine/sized.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace api {

// EFM8_ERR_ARGUMENT for call's parameter what ("efm8_flash: session is
// NULL"); report may be NULL.
int32_t refuse_argument(const char *call, const char *what, struct efm8_report *report);
// EFM8_ERR_SESSION_BUSY: the session is in busy_with, whose report this
// call leaves alone.
int32_t refuse_busy(const char *call, const efm8_session *session, const char *busy_with,
                    struct efm8_report *report);
// EFM8_ERR_MEMORY, or the result for an exception that escaped the engine.
int32_t refuse_exception(const char *call, std::exception_ptr caught, struct efm8_report *report);
// EFM8_ERR_OPTIONS for what call was handed, why in the report's words.
int32_t refuse_options(const char *call, enum efm8_interface interface, const std::string &why,
                       struct efm8_report *report);

// Words into a caller's buffer, which may be NULL, cut to its size.
void tell(char *buffer, size_t size, const std::string &text);

// body(), whatever it throws turned into a result.
template <typename Body>
int32_t guarded(const char *call, struct efm8_report *report, Body body) noexcept
{
    try {
        return body();
    } catch (...) {
        return refuse_exception(call, std::current_exception(), report);
    }
}

// Holds the session for one exported call: taken only when no other call
// has it, from any thread or from this call's own callbacks.
class SessionCall {
public:
    SessionCall(efm8_session *session, const char *call) noexcept : session_(session)
    {
        entered_ = session->call.compare_exchange_strong(busy_with_, call);
    }
    ~SessionCall()
    {
        if (entered_)
            session_->call.store(nullptr);
    }
    SessionCall(const SessionCall &) = delete;
    SessionCall &operator=(const SessionCall &) = delete;

    bool entered() const { return entered_; }
    const char *busy_with() const { return busy_with_; }

private:
    efm8_session *session_;
    const char *busy_with_ = nullptr;
    bool entered_;
};

// The call on a session: NULL refused, a busy session refused, exceptions
// caught, body(session) run while it holds the session.
template <typename Body>
int32_t on_session(const char *call, efm8_session *session, struct efm8_report *report, Body body) noexcept
{
    if (session == nullptr)
        return refuse_argument(call, "session is NULL", report);
    SessionCall held(session, call);
    if (!held.entered())
        return refuse_busy(call, session, held.busy_with(), report);
    return guarded(call, report, [&] { return body(); });
}

}  // namespace api

#endif
