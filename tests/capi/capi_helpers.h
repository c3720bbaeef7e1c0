// What the C API's tests share: boards of the part table behind
// pseudo-terminals, random images, a session held for a test, and a
// report's words.
#ifndef KESTRANE_TESTS_CAPI_HELPERS_H
#define KESTRANE_TESTS_CAPI_HELPERS_H

#include <kestrane/kestrane.h>
#include "uart_board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace capitest {

using Bytes = std::vector<uint8_t>;
using efm8sim::UartBoard;

const char BB3[] = "EFM8BB31F64G-QFN32";

inline const efm8_part &part_named(const char *name)
{
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    for (size_t i = 0; i < count; ++i)
        if (std::strcmp(parts[i].name, name) == 0)
            return parts[i];
    throw std::invalid_argument(name);
}

inline std::unique_ptr<UartBoard> board_of(const char *name)
{
    const efm8_part &part = part_named(name);
    return std::make_unique<UartBoard>(efm8sim::layout_of(part), part.id);
}

inline Bytes random_image(size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(count);
    for (uint8_t &b : bytes)
        b = uint8_t(rng());
    bytes[0] = 0x02;  // as an 8051 program starts; never '$', never blank
    return bytes;
}

struct Session {
    efm8_session *session = nullptr;
    explicit Session(UartBoard &board) { EXPECT_EQ(efm8_open_port(board.path().c_str(), nullptr, &session), EFM8_OK); }
    ~Session() { efm8_close(session); }
};

inline std::string words(const efm8_report &report)
{
    char text[256];
    efm8_describe(&report, text, sizeof text);
    return text;
}

}  // namespace capitest

#endif
