#include "cli/flag_rows.h"

#include "cli/option_values.h"
#include "production/settings.h"
#include <kestrane/engine.h>

#include <cstdio>

namespace cli {

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::vector<Flag> rows(std::initializer_list<std::vector<Flag>> groups)
{
    std::vector<Flag> all;
    for (const std::vector<Flag> &group : groups)
        all.insert(all.end(), group.begin(), group.end());
    return all;
}

Flag raw_binary_flag()
{
    return {"format", Argument::Required, "hex|srec|efm8|bin",
            "read FILE as this format, refused with the line named when it is not (bin: a raw binary whatever it "
            "holds); without it the format is told by content, and a file that is text is never a raw binary",
            take_input_format};
}

Flag json_flag(const std::string &help)
{
    return {"json", Argument::None, "", help, set_true<&Options::json>};
}

std::vector<Flag> port_flags()
{
    return {
        {"port", Argument::Required, "PATH",
         "the board on serial port PATH; once for each port, for several boards at once (excludes --device and "
         "--all)",
         take_port, true},
        {"baud", Argument::Required, "N",
         baud_rates_text() + " (default " + number(EFM8_BAUD_DEFAULT) +
             "; the EFM8UB parts take 115200 and up); the bootloader measures it on the first byte it gets",
         take_baud},
        {"timeout", Argument::Required, "SECONDS",
         "how long to wait for each reply (default " + number(EFM8_TIMEOUT_DEFAULT_MS / 1000.0) + ")", take_timeout},
    };
}

std::vector<Flag> lock_flags()
{
    const std::string most = number(EFM8_LOCK_PAGES_MAX);
    return {
        {"lock-pages", Argument::Required, "N",
         "lock pages 0 to N-1 (0 to " + most + "; " + most +
             ": every page) against reading by a debugger, by writing their count's ones' complement into the lock "
             "byte. It is for good: flash bits only clear, and the bootloader cannot erase the lock byte's page, so a "
             "later lock only adds pages. The bootloader still erases, writes and verifies them",
         take_lock_pages},
        {"disable-bootloader", Argument::None, "",
         "write 0x00 into the bootloader signature byte: the chip then always starts its application and never "
         "enters its bootloader again. This CANNOT BE UNDONE over USB or a serial port; only a full erase through a "
         "debugger undoes it. Refused without --force",
         set_true<&Options::disable_bootloader>},
        {"force", Argument::None, "",
         "confirm that the bootloader is to be disabled (by --disable-bootloader, or by a boot-record file's lock)",
         set_true<&Options::force>},
    };
}

std::vector<Flag> line_flags()
{
    return {
        {"serial", Argument::Required, "FORMAT@ADDRESS",
         "put a number of its own into each board's image before it is flashed, so that the verify covers it: le16, "
         "le32, le64, be16, be32, be64 (binary, least or most significant byte first), decN or hexN (N ASCII "
         "digits, zero-padded); ADDRESS in hex (0x3FF0) or decimal. The bytes must lie in the part's application "
         "area, where the image holds 0xFF (else exit 65, before anything is erased). A binary format never takes "
         "the number whose bytes are all 0xFF (65535 in le16, 4294967295 in le32), which reads as blank flash. "
         "Needs --counter",
         take_placement},
        {"counter", Argument::Required, "NAME",
         "draw the numbers from this counter of the station database (see kestrane-cli serial): each is handed out "
         "once, when the board is opened and identified and before its first erase, and never again, even when the "
         "flash fails (the record calls it void). A counter past its last number stops (exit 78), and one past the "
         "last its format takes (exit 65)",
         take_counter},
        {"db", Argument::Required, "PATH|URI",
         "the station database, which records every attempt: a file, or a PostgreSQL server that the stations of a "
         "line share, as postgresql://USER@HOST[:PORT]/DATABASE (libpq's URI, its scheme in any case; "
         "sslmode=require and the rest as libpq takes them, the password from ~/.pgpass or PGPASSWORD) or libpq's "
         "key=value string; blanks around it are dropped, and anything else is refused (exit 64). Default "
         "$KESTRANE_DB, else "
         "$XDG_STATE_HOME/kestrane/station.sqlite. When it cannot be written or reached, or --counter's cannot, "
         "nothing is flashed (exit 73). When the default file cannot, a warning is given once and boards are flashed",
         take_db},
        {"station", Argument::Required, "NAME",
         "the station each attempt is recorded as coming from (default the host's name)", take_station},
        {"no-record", Argument::None, "", "record nothing (not with --db or --counter)", set_false<&Options::record>},
        {"retries", Argument::Required, "N",
         "after a transfer that failed or a board that left in the middle of a flash, wait for the same board (same "
         "path or port) and flash it again from the first erase, up to N more times (0 to " + number(MAX_RETRIES) +
             ", default " + number(production::RETRIES_DEFAULT) +
             "), with the same serial number. A refusal or a mismatch is not retried, nor anything once a lock was "
             "sent; on a port, neither is a board that never answered",
         take_retries},
    };
}

std::vector<Flag> entry_flags()
{
    return {
        {"reset", Argument::Required, "LINE",
         "the line on the chip's reset pin, driven to bring the board into its bootloader hands-free before the "
         "training byte: rts or dtr (the modem lines of --port's adapter) or gpio:CHIP:OFFSET (a GPIO line; CHIP a "
         "name such as gpiochip0, or a path). Asserted drives the pin low; :active-high after LINE inverts it, for "
         "a transistor stage. Once a modem line has a role, both are released at once when the port opens, and "
         "every line is released when the command ends, whatever its result",
         take_reset},
        {"boot", Argument::Required, "LINE",
         "the line on the chip's entry pin (its C2D pin), as --reset's. With both, boot is asserted, reset "
         "asserted for " + number(EFM8_RESET_HOLD_MS) + " ms and released, and boot released " +
             number(EFM8_BOOT_HOLD_MS) + " ms later; with --reset alone the reset pulse only, and the chip enters "
             "its bootloader only when its flash byte 0 is 0xFF",
         take_boot},
        {"entry-sequence", Argument::Required, "STEPS",
         "the entry's own steps, in order, such as boot=1,reset=1,wait=10ms,reset=0,wait=50ms,boot=0: reset=0|1, "
         "boot=0|1 (1 asserted) and wait=N followed by ms or s",
         take_entry_sequence},
        {"after", Argument::Required, "reset",
         "when the command ends, a reset pulse with boot released, so that the application starts even after "
         "--no-run or a lock",
         take_after},
        {"enter-command", Argument::Required, "HEX",
         "bytes the running application takes as its way into the bootloader (the vendor's software entry: 0xA5 "
         "in R0 and a software reset), sent before the training byte",
         take_enter_command},
        {"enter-baud", Argument::Required, "N", "the baud rate --enter-command is sent at (default --baud's)",
         take_enter_baud},
        {"enter-wait", Argument::Required, "SECONDS",
         "how long the application has to start its bootloader after --enter-command (default " +
             number(EFM8_ENTER_WAIT_DEFAULT_MS / 1000.0) + ")",
         take_enter_wait},
    };
}

Flag enter_hid_flag()
{
    return {"enter-hid", Argument::Required, "VID:PID:HEX",
            "first ask the running application into its USB bootloader: the output report HEX (its report id "
            "first, 00 for none) written to the only HID device with USB id VID:PID; then the bootloader that "
            "appears, within --wait's seconds (default " + number(production::ENTER_HID_WAIT_SECONDS) +
                "), is the board",
            take_enter_hid};
}

}  // namespace cli
