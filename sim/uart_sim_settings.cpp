#include "uart_sim_settings.h"

#include "protocol/parts.h"

#include <kestrane/parts.h>

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace uartsim {

Wire read_wire(std::string text)
{
    Wire wire;
    const std::string inverted = ":inverted";
    if (text.size() > inverted.size() && text.compare(text.size() - inverted.size(), inverted.size(), inverted) == 0) {
        wire.inverted = true;
        text.erase(text.size() - inverted.size());
    }
    if (text.compare(0, 5, "gpio:") == 0) {
        wire.kind = "gpio";
        wire.where = text.substr(5);
    } else {
        wire.kind = text;
    }
    return wire;
}

std::vector<std::uint8_t> read_hex(const std::string &text)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}

const efm8_part *find_part(const std::string &name)
{
    size_t count;
    const efm8_part *parts = part_table(&count);
    for (size_t i = 0; i < count; ++i)
        if (name == parts[i].name)
            return &parts[i];
    return nullptr;
}

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(stderr, "uart_sim: %s\n", why.c_str());
    std::exit(2);
}

static efm8sim::Latency read_latency(const char *text)
{
    unsigned long transfer, erase, byte;
    if (std::sscanf(text, "%lu:%lu:%lu", &transfer, &erase, &byte) != 3)
        usage("--latency takes TRANSFER:ERASE:BYTE in microseconds");
    efm8sim::Latency latency;
    latency.per_transfer = std::chrono::microseconds(transfer);
    latency.per_page_erase = std::chrono::microseconds(erase);
    latency.per_written_byte = std::chrono::microseconds(byte);
    return latency;
}

Settings read_settings(int argc, char **argv)
{
    static const option OPTIONS[] = {
        {"links", required_argument, nullptr, 'L'},    {"boards", required_argument, nullptr, 'b'},
        {"part", required_argument, nullptr, 'p'},     {"identity", required_argument, nullptr, 'i'},
        {"layout", required_argument, nullptr, 'y'},   {"flash-in", required_argument, nullptr, 'I'},
        {"flash-out", required_argument, nullptr, 'O'}, {"log", required_argument, nullptr, 'l'},
        {"control", required_argument, nullptr, 'c'},  {"answer", required_argument, nullptr, 'a'},
        {"silent", required_argument, nullptr, 's'},   {"hang-up", required_argument, nullptr, 'h'},
        {"drop", required_argument, nullptr, 'd'},     {"latency", required_argument, nullptr, 't'},
        {"drop", required_argument, nullptr, 'd'},     {"power-on", no_argument, nullptr, 'P'},
        {"reset-line", required_argument, nullptr, 'R'}, {"boot-line", required_argument, nullptr, 'B'},
        {"wires", required_argument, nullptr, 'w'},    {"enter-command", required_argument, nullptr, 'e'},
        {nullptr, 0, nullptr, 0},
    };
    Settings settings;
    int option;
    while ((option = getopt_long(argc, argv, "", OPTIONS, nullptr)) != -1) {
        switch (option) {
        case 'L': settings.links = optarg; break;
        case 'b': settings.boards = std::atoi(optarg); break;
        case 'p': settings.part = optarg; break;
        case 'i': settings.identity = std::strtol(optarg, nullptr, 16); break;
        case 'y': settings.layout = optarg; break;
        case 'I': settings.flash_in = optarg; break;
        case 'O': settings.flash_out = optarg; break;
        case 'l': settings.log = optarg; break;
        case 'c': settings.control = optarg; break;
        case 'a': settings.answer = optarg; break;
        case 's': settings.silent = std::atol(optarg); break;
        case 'h': settings.hang_up = std::atol(optarg); break;
        case 'd': settings.drop = std::atol(optarg); break;
        case 't':
            settings.latency = read_latency(optarg);
            settings.paced = true;
            break;
        case 'P': settings.power_on = true; break;
        case 'R': settings.reset_line = optarg; break;
        case 'B': settings.boot_line = optarg; break;
        case 'w': settings.wires = optarg; break;
        case 'e': settings.enter_command = optarg; break;
        default: usage("unknown option");
        }
    }
    if (settings.links.empty())
        usage("--links DIR is needed");
    return settings;
}

}  // namespace uartsim
