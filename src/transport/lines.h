// The lines a transport drives besides its data: a serial port's RTS and
// DTR, and GPIO lines through libgpiod (gpio.cpp), each claimed at its
// released level and released again whatever happened in between.
#ifndef KESTRANE_TRANSPORT_LINES_H
#define KESTRANE_TRANSPORT_LINES_H

#include <kestrane/entry.h>
#include <kestrane/result.h>

#include <stddef.h>

struct gpiod_chip;
struct gpiod_line;

struct driven_line {
    struct efm8_line line;  // kind EFM8_LINE_NONE: not driven
    int port_fd;            // RTS and DTR: the port's
    struct gpiod_chip *chip;
    struct gpiod_line *gpio;
};

// A failure's result, errno and words ("gpio:gpiochip0:17: in use by
// another program"), as a report carries them.
struct line_failure {
    int os_error;
    char text[128];
};

// Claims the line, left at its released level. RTS and DTR are checked to
// be lines the port can drive; they are set by modem_release_both.
int32_t line_claim(struct driven_line *driven, const struct efm8_line *line, int port_fd,
                   struct line_failure *failure);
int32_t line_drive(struct driven_line *driven, bool asserted, struct line_failure *failure);
// Drives it released and lets it go; nothing for a line not claimed.
void line_release(struct driven_line *driven);

// Opening a port raises RTS and DTR: when either has a role, both are set
// to their released state in one call (a line without a role is dropped,
// as a closed port leaves it).
int32_t modem_release_both(int fd, const struct efm8_line *reset, const struct efm8_line *boot,
                           struct line_failure *failure);

// libgpiod (gpio.cpp). Output lines start released; a trigger line reports
// each assertion once.
int32_t gpio_claim_output(struct driven_line *driven, struct line_failure *failure);
int32_t gpio_set(struct driven_line *driven, bool asserted, struct line_failure *failure);
void gpio_release(struct driven_line *driven);
int32_t gpio_claim_trigger(struct driven_line *driven, struct line_failure *failure);
// 1 asserted, 0 not within the time, or EFM8_ERR_TRANSFER.
int32_t gpio_wait_asserted(struct driven_line *driven, uint32_t timeout_ms);

// Whether two lines are one pin: the same modem line, or the same offset
// on one GPIO chip however the chip is named (gpiochip0, /dev/gpiochip0, a
// link to it). A line of kind EFM8_LINE_NONE is no pin.
bool line_same(const struct efm8_line *a, const struct efm8_line *b);

// What ends a line written as active-high ("rts:active-high"); the rest
// of the text is read in the engine with the entry sequences.
extern const char LINE_ACTIVE_HIGH[];

// "rts", "gpio:gpiochip0:17:active-high": the line as it is written
// (efm8_line_text).
void line_text(const struct efm8_line *line, char *text, size_t size);

// Sets the failure's words: the line as written, then the text.
void line_fail(struct line_failure *failure, const struct efm8_line *line, int os_error, const char *text);

#endif
