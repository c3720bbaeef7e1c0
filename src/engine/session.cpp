// Sessions: opening a board over either transport, the report of each call,
// and one function per bootloader command.
#include "engine/session.h"

#include "engine/calls.h"
#include "engine/sized.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <new>

int32_t engine::list_usb(struct efm8_device *devices, int32_t max)
{
    return usb_transport_list(devices, max);
}

int32_t engine::list_ports(struct efm8_port *ports, int32_t max)
{
    return serial_transport_list(ports, max);
}

int32_t start_session(struct efm8_transport *transport, const struct efm8_device *device,
                             efm8_session **session)
{
    efm8_session *opened = new (std::nothrow) efm8_session;
    if (opened == NULL) {
        transport->close(transport);
        return EFM8_ERR_MEMORY;
    }
    opened->transport = transport;
    opened->device = *device;
    // A USB bootloader names its family by its product id.
    if (device->interface == EFM8_USB)
        opened->family = family_of_product(device->product_id);
    *session = opened;
    return EFM8_OK;
}

int32_t engine::open_usb(const char *path, efm8_session **session)
{
    *session = NULL;
    struct efm8_device device;
    struct efm8_transport *transport;
    int32_t result = usb_transport_open(path, &device, &transport);
    if (result == EFM8_OK)
        result = start_session(transport, &device, session);
    return result == EFM8_OK ? result : open_failed(result, EFM8_USB, 0, "", NULL);
}

int32_t engine::check_port(const char *port)
{
    return serial_check_port(port);
}

void engine::release_ports()
{
    serial_release_all();
}

void engine::close(efm8_session *session)
{
    session_reset_after(session);
    session->transport->close(session->transport);
    delete session;
}

uint32_t session_page_size(const efm8_session *session)
{
    return session->family != NULL ? session->family->page_size : EFM8_PAGE_SIZE_DEFAULT;
}

struct efm8_report *session_begin(efm8_session *session, struct efm8_report *report)
{
    struct efm8_report *current = &session->current;
    memset(current, 0, sizeof *current);
    current->size = sizeof *current;
    current->reply = -1;
    current->lock_value = current->signature_value = -1;
    current->interface = session->device.interface;
    session->report = current;
    session->out = report;
    return current;
}

int32_t session_finish(efm8_session *session, int32_t result)
{
    struct efm8_report *report = session->report;
    report->result = result;
    report->part = session->part;
    report->family = session->family;
    report->page_size = session_page_size(session);
    report_out(report, session->out);
    if (result != EFM8_OK)
        keep_failure(report);
    return result;
}

int32_t refuse_options(efm8_session *session, const char *why)
{
    snprintf(session->report->transport_error, sizeof session->report->transport_error, "%s", why);
    return EFM8_ERR_OPTIONS;
}

int32_t record_failure(efm8_session *session, int32_t result, uint32_t address, int32_t reply)
{
    struct efm8_report *report = session->report;
    report->command = session->record[2];
    report->address = address;
    report->reply = reply;
    return result;
}

// Sends the record built in the session; returns the reply code, or
// EFM8_ERR_TRANSFER with the failure recorded.
static int32_t exchange(efm8_session *session, size_t len, uint32_t address)
{
    struct efm8_transport *transport = session->transport;
    const int32_t reply = transport->exchange(transport, session->record, len);
    struct efm8_report *report = session->report;
    ++report->commands;
    if (reply >= 0)
        return reply;
    report->os_error = transport->os_error;
    memcpy(report->transport_error, transport->error, sizeof report->transport_error);
    return record_failure(session, EFM8_ERR_TRANSFER, address, -1);
}

static int32_t expect_ack(efm8_session *session, size_t len, uint32_t address)
{
    const int32_t reply = exchange(session, len, address);
    if (reply < 0)
        return reply;
    if (reply != EFM8_REPLY_ACK)
        return record_failure(session, EFM8_ERR_REFUSED, address, reply);
    return EFM8_OK;
}

int32_t cmd_setup(efm8_session *session)
{
    return expect_ack(session, record_setup(session->record, 0), 0);
}

int32_t cmd_erase(efm8_session *session, uint32_t address, const uint8_t *data, uint32_t len)
{
    session->report->bytes_written += len;
    return expect_ack(session, record_data(session->record, EFM8_CMD_ERASE, address, data, len), address);
}

int32_t cmd_write(efm8_session *session, uint32_t address, const uint8_t *data, uint32_t len)
{
    session->report->bytes_written += len;
    return expect_ack(session, record_data(session->record, EFM8_CMD_WRITE, address, data, len), address);
}

int32_t cmd_verify(efm8_session *session, uint32_t start, uint32_t end, uint16_t crc)
{
    const int32_t reply = exchange(session, record_verify(session->record, start, end, crc), start);
    if (reply < 0)
        return reply;
    if (reply == EFM8_REPLY_BAD_CRC)
        return 0;
    if (reply != EFM8_REPLY_ACK)
        return record_failure(session, EFM8_ERR_REFUSED, start, reply);
    return 1;
}

int32_t cmd_lock(efm8_session *session, uint8_t signature, uint8_t lock)
{
    return expect_ack(session, record_lock(session->record, signature, lock), 0);
}

// The device answers, then resets into the application a moment later.
int32_t cmd_runapp(efm8_session *session)
{
    return expect_ack(session, record_runapp(session->record), 0);
}

int32_t cmd_identify(efm8_session *session, uint32_t id)
{
    return exchange(session, record_identify(session->record, id), 0);
}

int32_t cmd_unknown(efm8_session *session)
{
    return exchange(session, record_unknown(session->record), 0);
}

// A write of one 0xFF byte, which leaves flash as it is: the reply says
// whether the bootloader takes the address. Not counted as data written.
int32_t cmd_probe(efm8_session *session, uint32_t address)
{
    static const uint8_t ERASED = EFM8_ERASED;  // an address to point at
    return exchange(session, record_data(session->record, EFM8_CMD_WRITE, address, &ERASED, 1), address);
}
