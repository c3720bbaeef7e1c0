// kestrane-cli: EFM8 flashing through the factory bootloaders, over USB and
// serial ports, for Makefiles, CI and production benches.
#include "cli/commands.h"
#include "cli/manual.h"
#include "cli/options.h"
#include "cli/signals.h"

#include <kestrane/version.h>
#include <sysexits.h>

#include <cstdio>
#include <cstring>
#include <iostream>

// The release, as the window and the packages name it too.
static const char VERSION[] = "kestrane-cli " KESTRANE_RELEASE_STRING;

int main(int argc, char **argv)
{
    // The build writes the man page and the bash completion so: not for
    // users, and shown nowhere.
    if (argc == 2 && std::strcmp(argv[1], "--fill-in") == 0)
        return cli::fill_in(std::cin, std::cout) ? 0 : EX_IOERR;
    cli::Options options;
    std::string error;
    if (!cli::parse_options(argc, argv, options, error)) {
        cli::complain(error + " (see kestrane-cli --help)");
        return EX_USAGE;
    }
    if (options.help || options.command == cli::Command::Help) {
        std::fputs(cli::help_text(options.command).c_str(), stdout);
        return 0;
    }
    cli::end_cleanly_on_signals();
    // A path that cannot be a serial port is a mistake in the command:
    // refused before any file is read, record opened or board touched.
    const int32_t ports = production::check_ports(options.ports, error);
    if (ports != EFM8_OK) {
        cli::complain(error);
        return efm8_result_exit_status(ports);
    }
    switch (options.command) {
    case cli::Command::Version: std::puts(VERSION); return 0;
    case cli::Command::List: return cli::list_boards(options);
    case cli::Command::Flash:
    case cli::Command::Verify: return cli::flash_or_verify(options);
    case cli::Command::Run:
    case cli::Command::Identify: return cli::run_or_identify(options);
    case cli::Command::Watch: return cli::watch(options);
    case cli::Command::Convert: return cli::convert(options);
    case cli::Command::Lock: return cli::lock(options);
    case cli::Command::Serial: return cli::serial_counters(options);
    case cli::Command::History: return cli::history(options);
    case cli::Command::Station: return cli::station_command(options);
    case cli::Command::Dashboard: return cli::dashboard(options);
    default: return EX_SOFTWARE;
    }
}
