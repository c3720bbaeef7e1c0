// JSON as the command line prints it: one line, and bytes that are not
// UTF-8 (a file or port name may hold any) written as U+FFFD rather than
// thrown over.
#ifndef KESTRANE_CLI_JSON_TEXT_H
#define KESTRANE_CLI_JSON_TEXT_H

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

inline std::string json_text(const nlohmann::ordered_json &value)
{
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace cli

#endif
