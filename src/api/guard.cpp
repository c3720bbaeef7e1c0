// Refusals made at the library's boundary.
#include "api/guard.h"

#include <errno.h>
#include <stdio.h>

#include <system_error>

namespace api {

int32_t refuse_argument(const char *call, const char *what, struct efm8_report *report)
{
    const std::string text = std::string(call) + ": " + what;
    return open_failed(EFM8_ERR_ARGUMENT, (enum efm8_interface)0, 0, text.c_str(), report);
}

int32_t refuse_busy(const char *call, const efm8_session *session, const char *busy_with,
                    struct efm8_report *report)
{
    char text[128];
    snprintf(text, sizeof text, "%s: %s is under way on this session", call, busy_with);
    return open_failed(EFM8_ERR_SESSION_BUSY, session->device.interface, 0, text, report);
}

int32_t refuse_options(const char *call, enum efm8_interface interface, const std::string &why,
                       struct efm8_report *report)
{
    return open_failed(EFM8_ERR_OPTIONS, interface, 0, (std::string(call) + ": " + why).c_str(), report);
}

void tell(char *buffer, size_t size, const std::string &text)
{
    if (buffer != nullptr && size > 0)
        snprintf(buffer, size, "%s", text.c_str());
}

int32_t refuse_exception(const char *call, std::exception_ptr caught, struct efm8_report *report)
{
    char text[128];
    int os_error = 0;
    try {
        std::rethrow_exception(caught);
    } catch (const std::bad_alloc &) {
        snprintf(text, sizeof text, "%s: out of memory", call);
        os_error = ENOMEM;
    } catch (const std::system_error &error) {
        // A thread or a lock the system would not give.
        snprintf(text, sizeof text, "%s: %s", call, error.what());
        os_error = error.code().value();
    } catch (const std::exception &error) {
        snprintf(text, sizeof text, "%s: %s", call, error.what());
    } catch (...) {
        snprintf(text, sizeof text, "%s: an unknown failure", call);
    }
    return open_failed(EFM8_ERR_MEMORY, (enum efm8_interface)0, os_error, text, report);
}

}  // namespace api
