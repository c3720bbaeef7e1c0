// Bringing a board into its bootloader before the training byte: its
// reset and boot lines driven step by step, or its application asked with
// its own bytes; a USB application asked with an output report; and the
// trigger line that says a new board is in its fixture.
#include "engine/session.h"

#include "engine/calls.h"
#include "engine/sized.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <new>

static void pause_ms(uint32_t ms)
{
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static int32_t run_steps(struct efm8_transport *transport, const struct efm8_entry *entry)
{
    struct efm8_step steps[EFM8_STEPS_MAX];
    const size_t count = engine::entry_steps(*entry, steps, EFM8_STEPS_MAX);
    for (size_t i = 0; i < count; ++i) {
        if (steps[i].kind == EFM8_STEP_WAIT) {
            pause_ms(steps[i].value);
            continue;
        }
        const int32_t driven = transport->drive(transport, steps[i].kind, steps[i].value != 0);
        if (driven != EFM8_OK)
            return driven;
    }
    return EFM8_OK;
}

static int32_t enter(struct efm8_transport *transport, const struct efm8_entry *entry)
{
    int32_t result = run_steps(transport, entry);
    if (result == EFM8_OK && entry->command_length > 0) {
        result = transport->send_at(transport, entry->command, entry->command_length, entry->command_baud);
        if (result == EFM8_OK)
            pause_ms(entry->command_wait_ms);
    }
    return result == EFM8_OK ? transport->train(transport) : result;
}

int32_t engine::open_port(const char *port, const struct efm8_port_settings &whole_settings,
                          const struct efm8_entry &whole_entry, efm8_session **session, struct efm8_report *report)
{
    *session = NULL;
    struct efm8_device device;
    memset(&device, 0, sizeof device);
    if (strlen(port) >= sizeof device.path)
        return open_failed(EFM8_ERR_NO_DEVICE, EFM8_UART, ENAMETOOLONG, "", report);
    strcpy(device.path, port);
    device.interface = EFM8_UART;
    int32_t result;
    struct efm8_transport *transport;
    struct line_failure failure = {0, ""};
    result = serial_transport_open(port, &whole_settings, &whole_entry.reset, &whole_entry.boot, &transport, &failure);
    if (result != EFM8_OK)
        return open_failed(result, EFM8_UART, failure.os_error, failure.text, report);
    result = enter(transport, &whole_entry);
    if (result != EFM8_OK) {
        open_failed(result, EFM8_UART, transport->os_error, transport->error, report);
        transport->close(transport);
        return result;
    }
    result = start_session(transport, &device, session);
    if (result != EFM8_OK)
        return open_failed(result, EFM8_UART, 0, "", report);
    (*session)->reset_after = whole_entry.reset_after != 0 && whole_entry.reset.kind != EFM8_LINE_NONE;
    return EFM8_OK;
}

// The application starts: boot released, then a reset pulse.
void session_reset_after(efm8_session *session)
{
    struct efm8_transport *transport = session->transport;
    if (!session->reset_after || transport->drive == NULL)
        return;
    transport->drive(transport, EFM8_STEP_BOOT, false);
    if (transport->drive(transport, EFM8_STEP_RESET, true) == EFM8_OK)
        pause_ms(EFM8_RESET_HOLD_MS);
    transport->drive(transport, EFM8_STEP_RESET, false);
}

int32_t engine::enter_usb(uint16_t vendor_id, uint16_t product_id, const uint8_t *report, size_t length)
{
    return usb_transport_enter(vendor_id, product_id, report, length);
}

struct efm8_trigger {
    struct driven_line line;
};

// Why a trigger could not be opened, into the caller's buffer (which may
// be NULL).
static void say(char *error, size_t error_size, const char *text)
{
    if (error != NULL && error_size > 0)
        snprintf(error, error_size, "%s", text);
}

int32_t engine::trigger_open(const struct efm8_line &line, efm8_trigger **trigger, char *error, size_t error_size)
{
    *trigger = NULL;
    struct line_failure failure = {0, ""};
    if (line.kind != EFM8_LINE_GPIO) {
        line_fail(&failure, &line, EINVAL, "a trigger is a GPIO line");
        say(error, error_size, failure.text);
        return EFM8_ERR_NO_LINE;
    }
    efm8_trigger *opened = new (std::nothrow) efm8_trigger();
    if (opened == NULL)
        return EFM8_ERR_MEMORY;
    opened->line.line = line;
    const int32_t claimed = gpio_claim_trigger(&opened->line, &failure);
    if (claimed != EFM8_OK) {
        say(error, error_size, failure.text);
        delete opened;
        return claimed;
    }
    *trigger = opened;
    return EFM8_OK;
}

int32_t engine::trigger_wait(efm8_trigger *trigger, uint32_t timeout_ms)
{
    return gpio_wait_asserted(&trigger->line, timeout_ms);
}

void engine::trigger_close(efm8_trigger *trigger)
{
    gpio_release(&trigger->line);
    delete trigger;
}
