// What a report says in words: one line that names the command, its
// address and the bootloader's reply.
#include <kestrane/engine.h>

#include "engine/calls.h"
#include "protocol/protocol.h"

#include <stdio.h>
#include <string.h>

const char *engine::command_name(uint8_t command)
{
    switch (command) {
    case EFM8_CMD_IDENTIFY: return "identify";
    case EFM8_CMD_SETUP: return "setup";
    case EFM8_CMD_ERASE: return "erase";
    case EFM8_CMD_WRITE: return "write";
    case EFM8_CMD_VERIFY: return "verify";
    case EFM8_CMD_LOCK: return "lock";
    case EFM8_CMD_RUNAPP: return "run application";
    case EFM8_CMD_UNKNOWN: return "version request";
    default: return NULL;
    }
}

static const char *named_command(uint8_t command)
{
    const char *name = engine::command_name(command);
    return name != NULL ? name : "command";
}

static const char *reply_meaning(int32_t reply)
{
    switch (reply) {
    case EFM8_REPLY_ACK: return "accepted";
    case EFM8_REPLY_RANGE: return "address out of range";
    case EFM8_REPLY_BAD_ID: return "wrong device id";
    case EFM8_REPLY_BAD_CRC: return "CRC mismatch";
    default: return reply >= 0x80 ? "a bootloader version, the answer to an unknown command" : "unexpected reply";
    }
}

// "the EFM8UB10F8G-QFN20", "this EFM8SB2" or "this part".
static void part_name(const struct efm8_report *report, char *text, size_t size)
{
    if (report->part != NULL)
        snprintf(text, size, "the %s", report->part->name);
    else if (report->family != NULL)
        snprintf(text, size, "this %s", report->family->name);
    else
        snprintf(text, size, "this part");
}

static int32_t describe_size(const struct efm8_report *report, char *text, size_t size)
{
    char part[64];
    part_name(report, part, sizeof part);
    if (report->command == EFM8_CMD_WRITE)
        return snprintf(text, size,
                        "the image does not fit %s: its bootloader refuses address 0x%04X, the image's last "
                        "(nothing was erased)",
                        part, report->address);
    if (report->limit > 0 && report->limit < EFM8_ADDRESS_SPACE)
        return snprintf(text, size,
                        "the image is larger than %s's application area of %u bytes (0x0000-0x%04X); "
                        "nothing was erased",
                        part, report->limit, report->limit - 1);
    return snprintf(text, size, "%s", engine::result_text(EFM8_ERR_SIZE));
}

static int32_t describe_transfer(const struct efm8_report *report, char *text, size_t size)
{
    const char *command = named_command(report->command);
    if (report->interface == EFM8_UART)
        return snprintf(text, size, "the %s at 0x%04X got no answer: %s", command, report->address,
                        report->transport_error[0] ? report->transport_error : "the transfer failed");
    return snprintf(text, size,
                    "the USB transfer of the %s at 0x%04X failed (%s%shidapi: %s); "
                    "the board may have been unplugged or reset",
                    command, report->address, report->os_error ? strerror(report->os_error) : "",
                    report->os_error ? "; " : "",
                    report->transport_error[0] ? report->transport_error : "no reason given");
}

int32_t engine::describe(const struct efm8_report &whole, char *text, size_t size)
{
    const struct efm8_report *report = &whole;
    const char *command = named_command(report->command);
    switch (report->result) {
    case EFM8_ERR_REFUSED:
        if (report->reply >= 0x20 && report->reply < 0x7F)
            return snprintf(text, size, "the bootloader refused the %s at 0x%04X with '%c' (%s)", command,
                            report->address, report->reply, reply_meaning(report->reply));
        return snprintf(text, size, "the bootloader refused the %s at 0x%04X with 0x%02X (%s)", command,
                        report->address, report->reply, reply_meaning(report->reply));
    case EFM8_ERR_TRANSFER: return describe_transfer(report, text, size);
    case EFM8_ERR_SIZE: return describe_size(report, text, size);
    case EFM8_ERR_NO_DEVICE:
        // A port is named by its path: the path leads to no device, which
        // says nothing of whether a bootloader would answer there.
        if (report->interface == EFM8_UART)
            return report->os_error != 0
                       ? snprintf(text, size, "no such port (%s)", strerror(report->os_error))
                       : snprintf(text, size, "no such port");
        return snprintf(text, size, "%s", engine::result_text(report->result));
    case EFM8_ERR_MISMATCH:
        if (report->pages_differ > 0)
            return snprintf(text, size, "the chip's flash differs from the image in %u page%s", report->pages_differ,
                            report->pages_differ == 1 ? "" : "s");
        return snprintf(text, size, "the chip's flash does not match the image after writing (CRC check failed)");
    default:
        // What was refused, or what the system or the line said, as the
        // call that failed wrote it.
        if (report->transport_error[0] != '\0')
            return snprintf(text, size, "%s: %.*s", engine::result_text(report->result),
                            (int)sizeof report->transport_error, report->transport_error);
        return snprintf(text, size, "%s", engine::result_text(report->result));
    }
}
