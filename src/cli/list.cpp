// list: the attached USB bootloaders and, with --serial, the serial ports,
// as the system describes them. Nothing is opened and nothing is sent: a
// port is listed whether or not a bootloader listens on it.
#include "cli/commands.h"
#include "cli/json_text.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

namespace cli {

static nlohmann::ordered_json text_or_null(const char *text)
{
    return *text != '\0' ? nlohmann::ordered_json(text) : nlohmann::ordered_json(nullptr);
}

static nlohmann::ordered_json board_json(const efm8_device &board)
{
    return {{"path", board.path},
            {"interface", "usb"},
            {"vendor_id", board.vendor_id},
            {"product_id", board.product_id},
            {"family", board.family}};
}

// Ports on no USB adapter have no USB id: null rather than 0.
static nlohmann::ordered_json port_json(const efm8_port &port)
{
    const bool usb = port.vendor_id != 0;
    return {{"path", port.path},
            {"interface", "uart"},
            {"vendor_id", usb ? nlohmann::ordered_json(port.vendor_id) : nlohmann::ordered_json(nullptr)},
            {"product_id", usb ? nlohmann::ordered_json(port.product_id) : nlohmann::ordered_json(nullptr)},
            {"manufacturer", text_or_null(port.manufacturer)},
            {"product", text_or_null(port.product)},
            {"serial", text_or_null(port.serial)}};
}

// "/dev/ttyUSB0  serial port  10c4:ea60  Silicon Labs  CP2102 ...  serial number 0001",
// leaving out what the port does not have.
static std::string port_line(const efm8_port &port)
{
    std::string line = std::string(port.path) + "  serial port";
    if (port.vendor_id != 0) {
        char id[16];
        std::snprintf(id, sizeof id, "  %04x:%04x", port.vendor_id, port.product_id);
        line += id;
    }
    for (const char *text : {port.manufacturer, port.product})
        if (*text != '\0')
            line += std::string("  ") + text;
    if (port.serial[0] != '\0')
        line += std::string("  serial number ") + port.serial;
    return line;
}

int list_boards(const Options &options)
{
    const std::vector<efm8_device> boards = production::attached_boards();
    const std::vector<efm8_port> ports = options.ports_too ? production::attached_ports() : std::vector<efm8_port>();
    if (options.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const efm8_device &board : boards)
            list.push_back(board_json(board));
        for (const efm8_port &port : ports)
            list.push_back(port_json(port));
        std::cout << json_text(list) << "\n";
        return 0;
    }
    for (const efm8_device &board : boards)
        std::printf("%s  %s  %04x:%04x\n", board.path, board.family, board.vendor_id, board.product_id);
    for (const efm8_port &port : ports)
        std::printf("%s\n", port_line(port).c_str());
    return 0;
}

}  // namespace cli
