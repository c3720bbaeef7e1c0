/* A program built against the installed libkestrane: flashes a firmware
 * file into the board on a serial port, then checks what the library says.
 * Usage: flash_board PORT FILE BAD-FILE. Exits 0 when all is as it should be,
 * 1 with the reason otherwise. */
#include <kestrane/kestrane.h>

#include <stdio.h>
#include <string.h>

static int failed;

static void expect(int holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "flash_board: %s\n", what);
        failed = 1;
    }
}

struct progress {
    uint32_t calls, last_done, total;
    int decreased;
};

static void on_progress(void *user, enum efm8_phase phase, uint32_t done, uint32_t total)
{
    struct progress *seen = (struct progress *)user;
    (void)phase;
    if (seen->calls > 0 && done < seen->last_done)
        seen->decreased = 1;
    ++seen->calls;
    seen->last_done = done;
    seen->total = total;
}

int main(int argc, char **argv)
{
    char message[256];
    efm8_image *image = NULL;
    efm8_image *bad = NULL;
    efm8_session *session = NULL;
    struct efm8_port_settings settings;
    struct efm8_identity identity = {.size = sizeof identity};
    struct efm8_report report = {.size = sizeof report};
    struct efm8_options options;
    struct progress seen = {0, 0, 0, 0};
    uint32_t count = 0;

    if (argc != 4) {
        fprintf(stderr, "usage: flash_board PORT FILE BAD-FILE\n");
        return 2;
    }
    expect(efm8_version() == KESTRANE_VERSION, "the library's version is not its headers'");
    expect(strcmp(efm8_version_string(), KESTRANE_VERSION_STRING) == 0, "the version's text differs");

    expect(efm8_image_load(argv[3], &bad, message, sizeof message) == EFM8_ERR_BAD_IMAGE && bad == NULL,
           "a broken file loads");
    expect(strstr(message, "line 2") != NULL, "the broken file's message names no line");
    expect(strcmp(efm8_result_name(EFM8_ERR_BAD_IMAGE), "bad-image") == 0, "bad-image is named otherwise");
    if (efm8_image_load(argv[2], &image, message, sizeof message) != EFM8_OK) {
        fprintf(stderr, "flash_board: %s\n", message);
        return 1;
    }
    efm8_image_bytes(image, &count);
    expect(efm8_image_format(image) == EFM8_FORMAT_INTEL_HEX, "the file is not taken for Intel HEX");

    efm8_default_port_settings(&settings);
    settings.baud = 230400;
    if (efm8_open_port(argv[1], &settings, &session) != EFM8_OK) {
        fprintf(stderr, "flash_board: cannot open %s\n", argv[1]);
        return 1;
    }
    expect(efm8_identify(session, &identity, &report) == EFM8_OK && identity.part != NULL, "identify failed");
    expect(identity.part != NULL && strcmp(identity.part->name, "EFM8BB31F64G-QFN32") == 0, "another part");

    efm8_default_options(&options);
    options.run = 0;
    options.progress = on_progress;
    options.progress_user = &seen;
    expect(efm8_flash_image(session, image, &options, &report) == EFM8_OK, "the flash failed");
    expect(report.result == EFM8_OK && report.bytes_written > 0, "the report says nothing was written");
    expect(seen.calls > 0 && !seen.decreased && seen.last_done == count && seen.total == count,
           "progress went backwards or did not reach the image's end");
    expect(efm8_verify_image(session, image, &report) == EFM8_OK, "the flash does not verify");
    efm8_close(session);

    expect(efm8_open_port("/nonexistent/ttyKESTRANE", NULL, &session) == EFM8_ERR_NO_DEVICE && session == NULL,
           "a missing port opens");
    memset(&report, 0, sizeof report);
    expect(efm8_last_failure(&report) == EFM8_OK && report.result == EFM8_ERR_NO_DEVICE,
           "the last failure is not the missing port");
    expect(efm8_describe(&report, message, sizeof message) > 0 && strlen(message) > 0, "no words for it");

    efm8_image_free(image);
    if (!failed)
        printf("flashed %u bytes into the %s\n", count, identity.part->name);
    return failed;
}
