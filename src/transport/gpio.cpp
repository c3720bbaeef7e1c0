// GPIO lines through libgpiod 1.6: a reset or boot line held as an output,
// and a trigger line whose assertions are read as events. Asserted is the
// line's active state: low, unless the line is active high.
#include "transport/lines.h"

#include <errno.h>
#include <gpiod.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <string>

static const char CONSUMER[] = "kestrane";

static int32_t line_result(int os_error)
{
    switch (os_error) {
    case EBUSY: return EFM8_ERR_LINE_BUSY;
    case EACCES:
    case EPERM: return EFM8_ERR_LINE_ACCESS;
    default: return EFM8_ERR_NO_LINE;
    }
}

static int32_t failed(struct line_failure *failure, const struct efm8_line *line, int os_error, const char *text)
{
    line_fail(failure, line, os_error, text);
    return line_result(os_error);
}

// A path names its chip's device; anything else is a chip's name.
static struct gpiod_chip *open_chip(const struct efm8_line *line)
{
    return strchr(line->chip, '/') != NULL ? gpiod_chip_open(line->chip) : gpiod_chip_open_by_name(line->chip);
}

// The device a chip's name or path opens, as libgpiod opens a name: under
// /dev. Where both exist they are compared as files (a link, another path
// to it); where not, as paths made plain.
static bool same_chip(const char *a, const char *b)
{
    const auto path = [](const char *chip) {
        return std::filesystem::path(strchr(chip, '/') != NULL ? chip : std::string("/dev/") + chip);
    };
    struct stat first, second;
    if (stat(path(a).c_str(), &first) == 0 && stat(path(b).c_str(), &second) == 0)
        return (first.st_dev == second.st_dev && first.st_ino == second.st_ino) ||
               (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev);
    std::error_code ignored;
    return std::filesystem::weakly_canonical(path(a), ignored) == std::filesystem::weakly_canonical(path(b), ignored);
}

bool line_same(const struct efm8_line *a, const struct efm8_line *b)
{
    if (a->kind == EFM8_LINE_NONE || a->kind != b->kind)
        return false;
    return a->kind != EFM8_LINE_GPIO || (a->offset == b->offset && same_chip(a->chip, b->chip));
}

static int32_t chip_failure(struct line_failure *failure, const struct efm8_line *line, int os_error)
{
    const std::string chip = line->chip;
    const std::string text = line_result(os_error) == EFM8_ERR_LINE_ACCESS
                                 ? "no permission to open GPIO chip " + chip
                                 : "no GPIO chip " + chip + " (" + strerror(os_error) + ")";
    return failed(failure, line, os_error, text.c_str());
}

static int32_t request_failure(struct line_failure *failure, const struct efm8_line *line, int os_error)
{
    if (os_error == EBUSY)
        return failed(failure, line, os_error, "in use by another program");
    return failed(failure, line, os_error, strerror(os_error));
}

// The chip opened and the line found on it.
static int32_t find_line(struct driven_line *driven, struct line_failure *failure)
{
    const struct efm8_line *line = &driven->line;
    driven->chip = open_chip(line);
    if (driven->chip == NULL)
        return chip_failure(failure, line, errno);
    driven->gpio = gpiod_chip_get_line(driven->chip, line->offset);
    if (driven->gpio == NULL) {
        const int os_error = errno;
        const std::string text = "GPIO chip " + std::string(line->chip) + " has no line " +
                                 std::to_string(line->offset) + " (it has " +
                                 std::to_string(gpiod_chip_num_lines(driven->chip)) + ")";
        gpiod_chip_close(driven->chip);
        driven->chip = NULL;
        return failed(failure, line, os_error == 0 ? EINVAL : os_error, text.c_str());
    }
    return EFM8_OK;
}

static int flags_of(const struct efm8_line *line)
{
    return line->active_high ? 0 : GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW;
}

static int32_t requested(struct driven_line *driven, int result, struct line_failure *failure)
{
    if (result == 0)
        return EFM8_OK;
    const int os_error = errno;
    gpiod_chip_close(driven->chip);
    driven->chip = NULL;
    driven->gpio = NULL;
    return request_failure(failure, &driven->line, os_error);
}

int32_t gpio_claim_output(struct driven_line *driven, struct line_failure *failure)
{
    const int32_t found = find_line(driven, failure);
    if (found != EFM8_OK)
        return found;
    return requested(driven,
                     gpiod_line_request_output_flags(driven->gpio, CONSUMER, flags_of(&driven->line), 0), failure);
}

int32_t gpio_set(struct driven_line *driven, bool asserted, struct line_failure *failure)
{
    if (gpiod_line_set_value(driven->gpio, asserted ? 1 : 0) == 0)
        return EFM8_OK;
    return failed(failure, &driven->line, errno, strerror(errno));
}

void gpio_release(struct driven_line *driven)
{
    if (driven->chip == NULL)
        return;
    gpiod_line_release(driven->gpio);
    gpiod_chip_close(driven->chip);
    driven->chip = NULL;
    driven->gpio = NULL;
}

int32_t gpio_claim_trigger(struct driven_line *driven, struct line_failure *failure)
{
    const int32_t found = find_line(driven, failure);
    if (found != EFM8_OK)
        return found;
    // With the active-low flag the kernel reports the line's edges as its
    // active state sees them: a rising edge is an assertion either way.
    return requested(driven,
                     gpiod_line_request_rising_edge_events_flags(driven->gpio, CONSUMER, flags_of(&driven->line)),
                     failure);
}

int32_t gpio_wait_asserted(struct driven_line *driven, uint32_t timeout_ms)
{
    struct timespec timeout = {(time_t)(timeout_ms / 1000), (long)(timeout_ms % 1000) * 1000000L};
    const int ready = gpiod_line_event_wait(driven->gpio, &timeout);
    if (ready < 0 && errno == EINTR)
        return 0;
    if (ready <= 0)
        return ready == 0 ? 0 : EFM8_ERR_TRANSFER;
    struct gpiod_line_event event;
    if (gpiod_line_event_read(driven->gpio, &event) != 0)
        return EFM8_ERR_TRANSFER;
    return event.event_type == GPIOD_LINE_EVENT_RISING_EDGE ? 1 : 0;
}
