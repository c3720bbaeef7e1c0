/* The library's contract as a C program built against the installed
 * headers meets it: every exported call handed NULL where its header does
 * not allow it returns EFM8_ERR_ARGUMENT (or does what its header says)
 * rather than crash; structures zeroed whole are refused before anything is
 * sent; a call on a session in a call is refused at once; and a flash
 * cancelled from its progress callback stops. Usage: contract PORT. The
 * board on PORT is left in its bootloader with byte 0 erased, for the
 * calling script to check. Exits 0 when all is as it should be. */
#include <kestrane/kestrane.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

static int failed;

static void expect(int holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "contract: %s\n", what);
        failed = 1;
    }
}

static void expect_argument(int32_t result, const char *call)
{
    char what[128];
    snprintf(what, sizeof what, "%s with NULL returned %d, not EFM8_ERR_ARGUMENT", call, (int)result);
    expect(result == EFM8_ERR_ARGUMENT, what);
}

static void null_arguments(void)
{
    static const uint8_t bytes[4] = {2, 0, 0, 0};
    struct efm8_report report = {.size = sizeof report};
    struct efm8_identity identity = {.size = sizeof identity};
    struct efm8_options options = EFM8_OPTIONS_INIT;
    struct efm8_line line;
    struct efm8_entry entry = EFM8_ENTRY_INIT;
    struct efm8_step steps[4];
    efm8_session *session = NULL;
    efm8_image *image = NULL;
    efm8_trigger *trigger = NULL;
    const uint16_t id = 0x3401;
    char text[160];
    uint32_t count32 = 7;
    size_t count = 7;

    expect_argument(efm8_list(NULL, 10), "efm8_list");
    expect(efm8_list(NULL, 0) >= 0, "efm8_list(NULL, 0) does not count");
    expect_argument(efm8_list_ports(NULL, 10), "efm8_list_ports");
    expect(efm8_list_ports(NULL, 0) >= 0, "efm8_list_ports(NULL, 0) does not count");
    expect_argument(efm8_open(NULL, NULL), "efm8_open");
    expect_argument(efm8_open_port(NULL, NULL, &session), "efm8_open_port");
    expect(session == NULL, "efm8_open_port(NULL) left a session");
    expect_argument(efm8_open_port("/dev/null", NULL, NULL), "efm8_open_port");
    expect_argument(efm8_check_port(NULL), "efm8_check_port");
    efm8_close(NULL);
    expect(efm8_session_device(NULL) == NULL, "efm8_session_device(NULL)");
    expect_argument(efm8_flash(NULL, bytes, sizeof bytes, &options, &report), "efm8_flash");
    expect(report.result == EFM8_ERR_ARGUMENT, "efm8_flash(NULL) did not fill the report in");
    expect_argument(efm8_verify(NULL, bytes, sizeof bytes, &report), "efm8_verify");
    expect_argument(efm8_run(NULL, NULL), "efm8_run");
    expect_argument(efm8_ping(NULL, NULL), "efm8_ping");
    expect_argument(efm8_identify(NULL, &identity, NULL), "efm8_identify");
    expect_argument(efm8_lock(NULL, 0xFF, 0xFF, NULL), "efm8_lock");
    expect_argument(efm8_check_ids(NULL, &id, 1, NULL), "efm8_check_ids");
    expect(efm8_page_differs(NULL, 0) == 0, "efm8_page_differs(NULL)");
    expect_argument(efm8_describe(NULL, text, sizeof text), "efm8_describe");
    expect_argument(efm8_last_failure(NULL), "efm8_last_failure");
    expect_argument(efm8_image_load(NULL, &image, text, sizeof text), "efm8_image_load");
    expect(image == NULL && strstr(text, "path") != NULL, "efm8_image_load(NULL) says nothing of the path");
    expect_argument(efm8_image_load("fw.hex", NULL, NULL, 0), "efm8_image_load");
    expect_argument(efm8_image_parse(NULL, 5, "x", &image, NULL, 0), "efm8_image_parse");
    expect_argument(efm8_image_parse(bytes, sizeof bytes, NULL, NULL, NULL, 0), "efm8_image_parse");
    efm8_image_free(NULL);
    expect(efm8_image_format(NULL) == 0, "efm8_image_format(NULL)");
    expect(efm8_image_bytes(NULL, &count32) == NULL && count32 == 0, "efm8_image_bytes(NULL)");
    expect(efm8_image_ids(NULL, &count) == NULL && count == 0, "efm8_image_ids(NULL)");
    expect(efm8_image_checks(NULL, NULL) == NULL, "efm8_image_checks(NULL)");
    expect(efm8_image_lock(NULL, NULL, NULL) == 0, "efm8_image_lock(NULL)");
    expect(efm8_image_runs(NULL) == 0, "efm8_image_runs(NULL)");
    expect_argument(efm8_flash_image(NULL, NULL, NULL, NULL), "efm8_flash_image");
    expect_argument(efm8_verify_image(NULL, NULL, NULL), "efm8_verify_image");
    expect_argument(efm8_image_flash_options(NULL, NULL, &options, NULL, 0), "efm8_image_flash_options");
    expect_argument(efm8_parse_line(NULL, &line, text, sizeof text), "efm8_parse_line");
    expect_argument(efm8_parse_line("rts", NULL, NULL, 0), "efm8_parse_line");
    expect_argument(efm8_parse_entry_sequence(NULL, &entry, text, sizeof text), "efm8_parse_entry_sequence");
    expect_argument(efm8_parse_entry_sequence("wait=1ms", NULL, NULL, 0), "efm8_parse_entry_sequence");
    expect(efm8_entry_steps(NULL, steps, 4) == 0 && efm8_entry_steps(&entry, NULL, 4) == 0, "efm8_entry_steps(NULL)");
    expect(efm8_entry_used(NULL) == 0, "efm8_entry_used(NULL)");
    efm8_line_text(NULL, text, sizeof text);
    expect(strcmp(text, "none") == 0, "efm8_line_text(NULL) is not none");
    efm8_line_text(&line, NULL, 0);
    expect_argument(efm8_open_port_entry(NULL, NULL, &entry, &session, &report), "efm8_open_port_entry");
    expect_argument(efm8_enter_usb(EFM8_USB_VENDOR_ID, 0xEAC9, NULL, 4), "efm8_enter_usb");
    expect_argument(efm8_trigger_open(NULL, &trigger, text, sizeof text), "efm8_trigger_open");
    expect_argument(efm8_trigger_wait(NULL, 0), "efm8_trigger_wait");
    efm8_trigger_close(NULL);
    efm8_init_options(NULL, sizeof options);
    efm8_init_port_settings(NULL, 12);
    efm8_init_entry(NULL, sizeof entry);
    expect(efm8_families(NULL) != NULL && efm8_parts(NULL) != NULL && efm8_baud_rates(NULL) != NULL,
           "a table with NULL for its count");
    expect(efm8_last_failure(&report) == EFM8_OK && report.result == EFM8_ERR_ARGUMENT,
           "a refused argument is not the thread's last failure");
    expect(efm8_describe(&report, text, sizeof text) > 0 && strstr(text, "efm8_trigger_wait") != NULL,
           "a refused argument's words do not name its call");
    expect(strcmp(efm8_result_name(EFM8_ERR_ARGUMENT), "argument") == 0 && efm8_result_exit_status(EFM8_ERR_ARGUMENT) == 64,
           "argument is named or ends otherwise");
    expect(strcmp(efm8_result_name(EFM8_ERR_MEMORY), "memory") == 0 && efm8_result_exit_status(EFM8_ERR_MEMORY) == 71,
           "memory is named or ends otherwise");
}

struct busy {
    efm8_session *session;
    const uint8_t *bytes;
    uint32_t count;
    int tried;
    int32_t other_thread;
};

static void *flash_too(void *user)
{
    struct busy *busy = (struct busy *)user;
    busy->other_thread = efm8_flash(busy->session, busy->bytes, busy->count, NULL, NULL);
    return NULL;
}

static void try_meanwhile(void *user, enum efm8_phase phase, uint32_t done, uint32_t total)
{
    struct busy *busy = (struct busy *)user;
    pthread_t thread;
    (void)done;
    (void)total;
    if (phase != EFM8_PHASE_WRITE || busy->tried++ > 0)
        return;
    if (pthread_create(&thread, NULL, flash_too, busy) == 0)
        pthread_join(thread, NULL);
}

static int stop_halfway(void *user, enum efm8_phase phase, uint32_t done, uint32_t total)
{
    int *calls = (int *)user;
    ++*calls;
    return phase == EFM8_PHASE_WRITE && done >= total / 2;
}

int main(int argc, char **argv)
{
    uint8_t bytes[3000];
    struct efm8_options options;
    struct efm8_options zeroed;
    struct efm8_report report = {.size = sizeof report};
    struct busy busy;
    efm8_session *session = NULL;
    char text[256];
    int calls = 0;
    uint32_t i;

    if (argc != 2) {
        fprintf(stderr, "usage: contract PORT\n");
        return 2;
    }
    null_arguments();
    for (i = 0; i < sizeof bytes; ++i)
        bytes[i] = (uint8_t)(i * 7 + 2);
    if (efm8_open_port(argv[1], NULL, &session) != EFM8_OK) {
        fprintf(stderr, "contract: cannot open %s\n", argv[1]);
        return 1;
    }

    memset(&zeroed, 0, sizeof zeroed);
    expect(efm8_flash(session, bytes, sizeof bytes, &zeroed, &report) == EFM8_ERR_OPTIONS && report.commands == 0,
           "options zeroed whole were not refused before anything was sent");
    expect(efm8_describe(&report, text, sizeof text) > 0 && strstr(text, "efm8_init_options") != NULL,
           "the refusal of zeroed options does not name efm8_init_options");

    busy.session = session;
    busy.bytes = bytes;
    busy.count = sizeof bytes;
    busy.tried = 0;
    busy.other_thread = 1;
    efm8_default_options(&options);
    options.run = 0;
    options.progress = try_meanwhile;
    options.progress_user = &busy;
    expect(efm8_flash(session, bytes, sizeof bytes, &options, &report) == EFM8_OK, "the flash under way failed");
    expect(busy.other_thread == EFM8_ERR_SESSION_BUSY, "a flash from another thread was not refused as busy");
    expect(efm8_verify(session, bytes, sizeof bytes, &report) == EFM8_OK, "the board does not hold the image");

    bytes[1] ^= 0xFF;
    efm8_default_options(&options);
    options.progress_cancel = stop_halfway;
    options.progress_user = &calls;
    expect(efm8_flash(session, bytes, sizeof bytes, &options, &report) == EFM8_ERR_CANCELLED, "the flash went on");
    expect(efm8_verify(session, bytes, sizeof bytes, &report) == EFM8_ERR_MISMATCH && efm8_page_differs(&report, 0),
           "a cancelled flash left page 0 holding the image");
    efm8_close(session);
    if (!failed)
        printf("the contract holds\n");
    return failed;
}
