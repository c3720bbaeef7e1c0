// Why a board failed, in words that say what to do about it.
#include "production/explain.h"

#include "production/boards.h"

#include <cerrno>

namespace production {

static const char ACCESS_FIX[] =
    "no permission to open the board. The kestrane package installs the udev rule "
    "/usr/lib/udev/rules.d/70-kestrane.rules that lets the user at the seat open it; "
    "with the rule in place run 'sudo udevadm control --reload-rules' and plug the board in again, "
    "or run as root";
static const char PORT_ACCESS_FIX[] =
    "no permission to open the port. Serial ports belong to the dialout group: add yourself with "
    "'sudo usermod -aG dialout $USER' and log in again, or run as root";
static const char PORT_BUSY[] =
    "another program has the port open (a terminal program, ModemManager, another kestrane-cli); "
    "close it and try again";
// No reply to the very first command: the board is not listening.
static const char NO_REPLY_CAUSES[] =
    ". Is the board in its bootloader (a blank chip, or its boot pin held low through a reset)? "
    "Are TX and RX crossed (the adapter's TX to the chip's RX, its RX to the chip's TX)? "
    "Is it the right port (kestrane-cli list --ports)?";
// It answered before and then stopped, or the line dropped.
static const char PORT_LOST[] =
    "; check the adapter, the wiring and the board's power, put the board back into its bootloader and "
    "try again";

static const char ENTRY_NO_ANSWER[] =
    "no answer after the entry sequence: check the reset and boot wiring and their polarity";
static const char ENTER_COMMAND_NO_ANSWER[] =
    "no answer after the enter command: is the application running, and does it take --enter-command at "
    "--enter-baud? A longer --enter-wait gives it more time to start its bootloader";

static std::string serial_ports()
{
    const std::vector<efm8_port> ports = attached_ports();
    if (ports.empty())
        return "no serial port is attached";
    std::string text = "the serial ports here:";
    for (std::size_t i = 0; i < ports.size(); ++i)
        text += std::string(i == 0 ? " " : ", ") + ports[i].path;
    return text;
}

std::string not_a_port()
{
    return "not a serial port (a terminal device such as /dev/ttyUSB0); " + serial_ports();
}

// What went wrong on a serial port, or "" where it reads as over USB.
static std::string explain_port(const efm8_report &report, const std::string &described)
{
    switch (report.result) {
    case EFM8_ERR_ACCESS: return PORT_ACCESS_FIX;
    case EFM8_ERR_BUSY: return PORT_BUSY;
    case EFM8_ERR_NO_DEVICE: return "no such port; " + serial_ports();
    case EFM8_ERR_NOT_PORT: return not_a_port();
    case EFM8_ERR_OPEN: return "it could not be used as a serial port: it would not take the training byte";
    case EFM8_ERR_OPTIONS: return "the port does not take this baud rate (see --baud)";
    case EFM8_ERR_TRANSFER:
        return described + (report.commands <= 1 && report.os_error == ETIMEDOUT ? NO_REPLY_CAUSES : PORT_LOST);
    default: return "";
    }
}

std::string explain_entry(const efm8_report &report, const efm8_entry &entry)
{
    const bool no_answer =
        report.result == EFM8_ERR_TRANSFER && report.commands <= 1 && report.os_error == ETIMEDOUT;
    if (!no_answer || !efm8_entry_used(&entry))
        return "";
    return entry.reset.kind != EFM8_LINE_NONE || entry.boot.kind != EFM8_LINE_NONE ? ENTRY_NO_ANSWER
                                                                                    : ENTER_COMMAND_NO_ANSWER;
}

// A line that failed, as the engine named it.
static std::string explain_line(const efm8_report &report)
{
    const std::string line = report.transport_error;
    switch (report.result) {
    case EFM8_ERR_NO_LINE:
        return line + (line.compare(0, 5, "gpio:") == 0
                           ? "; gpiodetect and gpioinfo list the GPIO chips and their lines"
                           : "; the port's adapter must drive RTS and DTR (a pseudo-terminal or a bare UART "
                             "does not): wire the pins to GPIO lines instead");
    case EFM8_ERR_LINE_BUSY: return line + "; gpioinfo names the program that holds it";
    case EFM8_ERR_LINE_ACCESS:
        return line + "; GPIO chips belong to a group (often gpio) on most systems: add yourself to it, or run "
                      "as root";
    default: return "";
    }
}

std::string explain(const efm8_report &report)
{
    const std::string line = explain_line(report);
    if (!line.empty())
        return line;
    char text[512];
    efm8_describe(&report, text, sizeof text);
    if (report.interface == EFM8_UART) {
        const std::string port = explain_port(report, text);
        if (!port.empty())
            return port;
    }
    switch (report.result) {
    case EFM8_ERR_ACCESS: return ACCESS_FIX;
    case EFM8_ERR_OPEN: return std::string(text) + "; another program may be using it";
    case EFM8_ERR_NO_DEVICE: return "the board left before it could be opened";
    case EFM8_ERR_TRANSFER: return std::string(text) + "; put it back into its bootloader and try again";
    case EFM8_ERR_REFUSED:
        if (report.reply == 'A' && (report.command == EFM8_CMD_ERASE || report.command == EFM8_CMD_WRITE))
            return std::string(text) + ": the image does not fit this part";
        return text;
    case EFM8_ERR_MISMATCH:
        return std::string(text) + (report.pages_differ > 0 ? "" : "; flash it again");
    default: return text;
    }
}

}  // namespace production
