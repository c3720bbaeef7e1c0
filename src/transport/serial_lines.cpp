// The reset and boot lines of a board on a serial port: the port's own RTS
// and DTR, or GPIO lines. An adapter drives RTS# and DTR# low while the
// line is asserted, so a line asserted in the kernel's sense is a low pin.
#include "transport/lines.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <string>

const char LINE_ACTIVE_HIGH[] = ":active-high";

void line_text(const struct efm8_line *line, char *text, size_t size)
{
    const char *suffix = line->active_high ? LINE_ACTIVE_HIGH : "";
    switch (line->kind) {
    case EFM8_LINE_RTS: snprintf(text, size, "rts%s", suffix); break;
    case EFM8_LINE_DTR: snprintf(text, size, "dtr%s", suffix); break;
    case EFM8_LINE_GPIO:
        snprintf(text, size, "gpio:%.*s:%u%s", (int)sizeof line->chip, line->chip, line->offset, suffix);
        break;
    default: snprintf(text, size, "none"); break;
    }
}

void line_fail(struct line_failure *failure, const struct efm8_line *line, int os_error, const char *text)
{
    char written[EFM8_LINE_TEXT_MAX + 16];
    line_text(line, written, sizeof written);
    failure->os_error = os_error;
    const std::string said = std::string(written) + ": " + text;  // cut to fit
    snprintf(failure->text, sizeof failure->text, "%s", said.c_str());
}

static int modem_bit(const struct efm8_line *line)
{
    return line->kind == EFM8_LINE_RTS ? TIOCM_RTS : TIOCM_DTR;
}

static bool is_modem(const struct efm8_line *line)
{
    return line->kind == EFM8_LINE_RTS || line->kind == EFM8_LINE_DTR;
}

// The kernel's bit set makes the pin low: set for an asserted line, unless
// the line is active high.
static bool bit_set(const struct efm8_line *line, bool asserted)
{
    return asserted != (line->active_high != 0);
}

static int32_t modem_failure(struct line_failure *failure, const struct efm8_line *line, int os_error)
{
    char text[96];
    snprintf(text, sizeof text, "the port cannot drive its modem lines (%s)", strerror(os_error));
    line_fail(failure, line, os_error, text);
    return EFM8_ERR_NO_LINE;
}

int32_t line_claim(struct driven_line *driven, const struct efm8_line *line, int port_fd,
                   struct line_failure *failure)
{
    memset(driven, 0, sizeof *driven);
    driven->line = *line;
    driven->port_fd = port_fd;
    if (line->kind == EFM8_LINE_GPIO)
        return gpio_claim_output(driven, failure);
    int bits;
    if (is_modem(line) && ioctl(port_fd, TIOCMGET, &bits) != 0)
        return modem_failure(failure, line, errno);
    return EFM8_OK;
}

int32_t line_drive(struct driven_line *driven, bool asserted, struct line_failure *failure)
{
    const struct efm8_line *line = &driven->line;
    if (line->kind == EFM8_LINE_GPIO)
        return gpio_set(driven, asserted, failure);
    if (!is_modem(line))
        return EFM8_OK;
    const int bit = modem_bit(line);
    if (ioctl(driven->port_fd, bit_set(line, asserted) ? TIOCMBIS : TIOCMBIC, &bit) != 0)
        return modem_failure(failure, line, errno);
    return EFM8_OK;
}

void line_release(struct driven_line *driven)
{
    struct line_failure ignored;
    const struct efm8_line *line = &driven->line;
    if (line->kind == EFM8_LINE_GPIO && driven->chip != NULL)
        gpio_set(driven, false, &ignored);
    else if (is_modem(line))
        line_drive(driven, false, &ignored);
    gpio_release(driven);
    driven->line.kind = EFM8_LINE_NONE;
}

int32_t modem_release_both(int fd, const struct efm8_line *reset, const struct efm8_line *boot,
                           struct line_failure *failure)
{
    if (!is_modem(reset) && !is_modem(boot))
        return EFM8_OK;
    const struct efm8_line *named = is_modem(reset) ? reset : boot;
    int bits;
    if (ioctl(fd, TIOCMGET, &bits) != 0)
        return modem_failure(failure, named, errno);
    bits &= ~(TIOCM_RTS | TIOCM_DTR);
    const struct efm8_line *lines[] = {reset, boot};
    for (const struct efm8_line *line : lines)
        if (is_modem(line) && bit_set(line, false))
            bits |= modem_bit(line);
    if (ioctl(fd, TIOCMSET, &bits) != 0)
        return modem_failure(failure, named, errno);
    return EFM8_OK;
}
