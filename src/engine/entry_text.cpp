// Entry as it is written: lines ("rts", "gpio:gpiochip0:17:active-high")
// read here and written back by the transport, which names them in its
// errors; sequences of steps ("boot=1,reset=1,wait=10ms,..."), and the
// steps an entry runs when none are written.
#include <kestrane/entry.h>

#include "engine/calls.h"
#include "transport/lines.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

int engine::entry_used(const struct efm8_entry &entry)
{
    return entry.reset.kind != EFM8_LINE_NONE || entry.boot.kind != EFM8_LINE_NONE || entry.command_length > 0;
}

// error may be NULL.
static int32_t refuse(char *error, size_t size, const std::string &why)
{
    if (error != NULL && size > 0)
        snprintf(error, size, "%s", why.c_str());
    return EFM8_ERR_OPTIONS;
}

// Decimal digits only, at most max.
static bool read_number(const std::string &digits, unsigned long max, unsigned long &value)
{
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = strtoul(digits.c_str(), nullptr, 10);
    return value <= max;
}

int32_t engine::parse_line(const char *text, struct efm8_line *line, char *error, size_t error_size)
{
    memset(line, 0, sizeof *line);
    std::string given = text;
    const size_t suffix = strlen(LINE_ACTIVE_HIGH);
    if (given.size() > suffix && given.compare(given.size() - suffix, suffix, LINE_ACTIVE_HIGH) == 0) {
        line->active_high = 1;
        given.erase(given.size() - suffix);
    }
    if (given == "rts" || given == "dtr") {
        line->kind = given == "rts" ? EFM8_LINE_RTS : EFM8_LINE_DTR;
        return EFM8_OK;
    }
    const std::string usage = "takes rts, dtr or gpio:CHIP:OFFSET, each with :active-high or not, not '" +
                              std::string(text) + "'";
    if (given.compare(0, 5, "gpio:") != 0)
        return refuse(error, error_size, usage);
    // The offset follows the last ':', so a chip's path may hold one.
    const size_t colon = given.rfind(':');
    const std::string chip = given.substr(5, colon - 5);
    unsigned long offset = 0;
    if (colon < 5 || chip.empty() || chip.size() >= sizeof line->chip ||
        !read_number(given.substr(colon + 1), UINT32_MAX, offset))
        return refuse(error, error_size, usage);
    line->kind = EFM8_LINE_GPIO;
    snprintf(line->chip, sizeof line->chip, "%s", chip.c_str());
    line->offset = (uint32_t)offset;
    return EFM8_OK;
}

// One step: ROLE=0|1, or wait=N followed by ms or s. Empty on success,
// else why not.
static std::string read_step(const std::string &step, const struct efm8_entry *entry, struct efm8_step &read)
{
    const size_t equals = step.find('=');
    const std::string name = step.substr(0, equals), value = equals == std::string::npos ? "" : step.substr(equals + 1);
    if (name == "reset" || name == "boot") {
        read.kind = name == "reset" ? EFM8_STEP_RESET : EFM8_STEP_BOOT;
        if (value != "0" && value != "1")
            return "a line is set to 1 (asserted) or 0 (released), as " + name + "=1";
        const struct efm8_line &line = name == "reset" ? entry->reset : entry->boot;
        if (line.kind == EFM8_LINE_NONE)
            return "no " + name + " line is given (--" + name + " LINE)";
        read.value = value == "1";
        return "";
    }
    if (name != "wait")
        return "a step is reset=0|1, boot=0|1 or wait=N followed by ms or s";
    read.kind = EFM8_STEP_WAIT;
    const bool seconds = value.size() > 1 && value.back() == 's' && value[value.size() - 2] != 'm';
    const size_t unit = seconds ? 1 : 2;
    unsigned long number = 0;
    if ((!seconds && (value.size() < 3 || value.compare(value.size() - 2, 2, "ms") != 0)) ||
        !read_number(value.substr(0, value.size() - unit), EFM8_WAIT_MAX_MS, number) ||
        (seconds && number * 1000 > EFM8_WAIT_MAX_MS))
        return "a wait is a whole number followed by ms or s, as wait=10ms, up to " +
               std::to_string(EFM8_WAIT_MAX_MS / 1000) + " s";
    read.value = (uint32_t)(seconds ? number * 1000 : number);
    return "";
}

int32_t engine::parse_entry_sequence(const char *text, struct efm8_entry *entry, char *error, size_t error_size)
{
    std::vector<std::string> steps;
    const std::string given = text;
    for (size_t start = 0;;) {
        const size_t comma = given.find(',', start);
        steps.push_back(given.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (steps.size() > EFM8_STEPS_MAX)
        return refuse(error, error_size, "at most " + std::to_string(EFM8_STEPS_MAX) + " steps, not " +
                                             std::to_string(steps.size()));
    for (size_t i = 0; i < steps.size(); ++i) {
        const std::string why = read_step(steps[i], entry, entry->steps[i]);
        if (!why.empty())
            return refuse(error, error_size, "step " + std::to_string(i + 1) + ", '" + steps[i] + "': " + why);
    }
    entry->step_count = steps.size();
    return EFM8_OK;
}

size_t engine::entry_steps(const struct efm8_entry &entry, struct efm8_step *steps, size_t max)
{
    if (entry.step_count > 0) {
        size_t count = entry.step_count < max ? entry.step_count : max;
        if (count > EFM8_STEPS_MAX)
            count = EFM8_STEPS_MAX;
        memcpy(steps, entry.steps, count * sizeof *steps);
        return count;
    }
    if (entry.reset.kind == EFM8_LINE_NONE)
        return 0;
    const bool boot = entry.boot.kind != EFM8_LINE_NONE;
    // Boot held through the reset and past it; without a boot line the
    // same reset, and as long for the bootloader to start listening.
    const struct efm8_step both[] = {
        {EFM8_STEP_BOOT, 1},  {EFM8_STEP_RESET, 1}, {EFM8_STEP_WAIT, EFM8_RESET_HOLD_MS},
        {EFM8_STEP_RESET, 0}, {EFM8_STEP_WAIT, EFM8_BOOT_HOLD_MS}, {EFM8_STEP_BOOT, 0},
    };
    const struct efm8_step *from = boot ? both : both + 1;
    const size_t count = boot ? 6 : 4;
    const size_t copied = count < max ? count : max;
    memcpy(steps, from, copied * sizeof *steps);
    return copied;
}
