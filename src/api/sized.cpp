// Sized structures in: the caller's size honoured, never read past.
#include "api/sized.h"
#include "transport/lines.h"

#include <string.h>

namespace api {

#if UINTPTR_MAX == UINT64_MAX
static_assert(offsetof(struct efm8_options, lock_byte) + 1 <= OPTIONS_SIZE_V1 &&
                  offsetof(struct efm8_options, progress_cancel) == OPTIONS_SIZE_V1,
              "fields added to efm8_options start after the first version's 88 bytes");
static_assert(sizeof(struct efm8_port_settings) == PORT_SETTINGS_SIZE_V1, "efm8_port_settings as version 1.0 had it");
static_assert(sizeof(struct efm8_entry) == ENTRY_SIZE_V1, "efm8_entry as version 1.0 had it");
#else
#error "the first version's sizes are pinned for 64-bit hosts (amd64, arm64) only"
#endif

// The defaults up to size bytes, the size set; a size below the first
// version's gets zeros, which no call takes.
template <typename Sized>
static void init_sized(Sized *sized, size_t size, size_t first, const Sized &defaults)
{
    memset(sized, 0, size);
    if (size < first)
        return;
    memcpy(sized, &defaults, size < sizeof defaults ? size : sizeof defaults);
    sized->size = (uint32_t)size;
}

void init_options(struct efm8_options *options, size_t size)
{
    init_sized(options, size, OPTIONS_SIZE_V1, efm8_options EFM8_OPTIONS_INIT);
}

void init_port_settings(struct efm8_port_settings *settings, size_t size)
{
    init_sized(settings, size, PORT_SETTINGS_SIZE_V1, efm8_port_settings EFM8_PORT_SETTINGS_INIT);
}

void init_entry(struct efm8_entry *entry, size_t size)
{
    init_sized(entry, size, ENTRY_SIZE_V1, efm8_entry EFM8_ENTRY_INIT);
}

// The given structure over the defaults already in whole.
template <typename Sized>
static int32_t whole_in(const Sized *given, const char *type, const char *init, size_t first, Sized &whole,
                        std::string &why)
{
    if (given == nullptr)
        return EFM8_OK;
    const uint32_t size = given->size;
    if (size == 0)
        why = std::string(type) + " has size 0: set it up with " + init;
    else if (size < first)
        why = std::string(type) + " has size " + std::to_string(size) + ", smaller than any version's (" +
              std::to_string(first) + ")";
    else if (size > sizeof whole)
        why = std::string(type) + " has size " + std::to_string(size) + ", larger than this library's (" +
              std::to_string(sizeof whole) + "): a newer program's";
    if (!why.empty())
        return EFM8_ERR_OPTIONS;
    memcpy(&whole, given, size);
    whole.size = sizeof whole;
    return EFM8_OK;
}

int32_t options_in(const struct efm8_options *given, struct efm8_options &whole, std::string &why)
{
    init_options(&whole, sizeof whole);
    return whole_in(given, "struct efm8_options", "efm8_init_options or EFM8_OPTIONS_INIT", OPTIONS_SIZE_V1,
                    whole, why);
}

int32_t port_settings_in(const struct efm8_port_settings *given, struct efm8_port_settings &whole, std::string &why)
{
    init_port_settings(&whole, sizeof whole);
    return whole_in(given, "struct efm8_port_settings", "efm8_init_port_settings or EFM8_PORT_SETTINGS_INIT",
                    PORT_SETTINGS_SIZE_V1, whole, why);
}

static bool line_kind(const struct efm8_line &line)
{
    return line.kind >= EFM8_LINE_NONE && line.kind <= EFM8_LINE_GPIO &&
           memchr(line.chip, '\0', sizeof line.chip) != nullptr;
}

// What the engine would otherwise read past: counts beyond their arrays,
// steps and lines of no kind, waits beyond the longest.
static std::string entry_fault(const struct efm8_entry &entry)
{
    if (!line_kind(entry.reset) || !line_kind(entry.boot))
        return "a reset or boot line of no kind known, or a chip name without its end";
    if (entry.step_count > EFM8_STEPS_MAX)
        return "step_count " + std::to_string(entry.step_count) + " beyond the " + std::to_string(EFM8_STEPS_MAX) +
               " steps it holds";
    for (size_t i = 0; i < entry.step_count; ++i) {
        const struct efm8_step &step = entry.steps[i];
        if (step.kind < EFM8_STEP_RESET || step.kind > EFM8_STEP_WAIT ||
            (step.kind == EFM8_STEP_WAIT && step.value > EFM8_WAIT_MAX_MS))
            return "step " + std::to_string(i + 1) + " is of no kind known, or waits beyond " +
                   std::to_string(EFM8_WAIT_MAX_MS) + " ms";
    }
    if (entry.command_length > EFM8_ENTER_COMMAND_MAX)
        return "command_length " + std::to_string(entry.command_length) + " beyond the " +
               std::to_string(EFM8_ENTER_COMMAND_MAX) + " bytes it holds";
    if (entry.command_wait_ms > EFM8_WAIT_MAX_MS)
        return "command_wait_ms beyond " + std::to_string(EFM8_WAIT_MAX_MS) + " ms";
    // What would otherwise be ignored without a word.
    if (entry.boot.kind != EFM8_LINE_NONE && entry.reset.kind == EFM8_LINE_NONE)
        return "a boot line without a reset line: the entry pin is read as the chip comes out of reset";
    if (line_same(&entry.reset, &entry.boot))
        return "reset and boot on the same line";
    if (entry.reset_after && entry.reset.kind == EFM8_LINE_NONE)
        return "reset_after without a reset line";
    if (entry.command_baud != 0 && entry.command_length == 0)
        return "command_baud without a command";
    if (entry.step_count > 0 && entry.reset.kind == EFM8_LINE_NONE)
        return "steps without a reset line to drive";
    return "";
}

int32_t entry_in(const struct efm8_entry *given, struct efm8_entry &whole, std::string &why)
{
    init_entry(&whole, sizeof whole);
    const int32_t result =
        whole_in(given, "struct efm8_entry", "efm8_init_entry or EFM8_ENTRY_INIT", ENTRY_SIZE_V1, whole, why);
    if (result != EFM8_OK)
        return result;
    why = entry_fault(whole);
    return why.empty() ? EFM8_OK : EFM8_ERR_OPTIONS;
}

}  // namespace api
