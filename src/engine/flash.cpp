// Flashing, verifying and starting: the command sequences of the engine,
// the same over every transport.
#include "engine/session.h"

#include "engine/calls.h"
#include "engine/sized.h"

#include <string.h>

// The span each CRC check of delta and verify covers: a difference inside
// one block escapes only if its own CRC-16 matches, never because it
// cancels against a difference elsewhere.
static const uint32_t COMPARE_BLOCK = 256;

// The image as the chip should hold it: its bytes, then 0xFF.
struct image {
    const uint8_t *data;
    uint32_t count;
};

static uint8_t image_byte(const struct image *image, uint32_t address)
{
    return address < image->count ? image->data[address] : EFM8_ERASED;
}

static uint16_t image_crc(const struct image *image, uint32_t start, uint32_t end)
{
    uint16_t crc = 0;
    for (uint32_t address = start; address <= end; ++address)
        crc = crc16_update(crc, image_byte(image, address));
    return crc;
}

static bool blank(const struct image *image, uint32_t address, uint32_t len)
{
    for (uint32_t i = 0; i < len; ++i)
        if (image->data[address + i] != EFM8_ERASED)
            return false;
    return true;
}

static uint32_t pages_of(uint32_t count, uint32_t page_size)
{
    return (count + page_size - 1) / page_size;
}

// 1 when the chip's page holds the image, 0 when not, or a failure.
static int32_t page_holds(efm8_session *session, const struct image *image, uint32_t page, uint32_t page_size)
{
    for (uint32_t start = page * page_size; start < (page + 1) * page_size; start += COMPARE_BLOCK) {
        const uint32_t end = start + COMPARE_BLOCK - 1;
        const int32_t holds = cmd_verify(session, start, end, image_crc(image, start, end));
        if (holds <= 0)
            return holds;
    }
    return 1;
}

// One efm8_flash call.
struct job {
    efm8_session *session;
    const struct efm8_options *options;
    struct image image;
    uint32_t page_size;
    uint32_t pages;
    uint32_t write_size;
    bool rewrite[EFM8_MAX_PAGES];
    bool page0_held;  // page 0 erased up front, its first chunk written last
    bool wrote;
    bool first_written;  // the held first chunk is on the chip: the image would start
    uint32_t done;
};

static uint32_t image_bytes_in_page(const struct job *job, uint32_t page)
{
    const uint32_t left = job->image.count - page * job->page_size;
    return left < job->page_size ? left : job->page_size;
}

// Tells the caller, between two records; EFM8_ERR_CANCELLED when the
// caller asks to stop, so that no record follows.
static int32_t progress(struct job *job, enum efm8_phase phase, uint32_t settled)
{
    job->done += settled;
    const struct efm8_options *options = job->options;
    if (options->progress_cancel != NULL)
        return options->progress_cancel(options->progress_user, phase, job->done, job->image.count) != 0
                   ? EFM8_ERR_CANCELLED
                   : EFM8_OK;
    if (options->progress != NULL)
        options->progress(options->progress_user, phase, job->done, job->image.count);
    return EFM8_OK;
}

// With delta, asks which pages already hold the image; otherwise every page
// is rewritten. With safe order page 0 is asked last, and only when no other
// page needs writing, since any write rewrites it anyway.
static int32_t choose_pages(struct job *job)
{
    struct efm8_report *report = job->session->report;
    const bool delta = job->options->delta;
    for (uint32_t page = 0; page < job->pages; ++page)
        job->rewrite[page] = !delta;
    if (!delta)
        return EFM8_OK;
    int32_t told = progress(job, EFM8_PHASE_COMPARE, 0);
    if (told != EFM8_OK)
        return told;
    bool any = false;
    for (uint32_t i = 1; i <= job->pages; ++i) {
        const uint32_t page = i % job->pages;  // page 0 last
        if (page == 0 && any && job->options->safe_order) {
            job->rewrite[0] = true;
            break;
        }
        const int32_t holds = page_holds(job->session, &job->image, page, job->page_size);
        if (holds < 0)
            return holds;
        job->rewrite[page] = holds == 0;
        any = any || holds == 0;
        if (holds) {
            ++report->pages_skipped;
            told = progress(job, EFM8_PHASE_COMPARE, image_bytes_in_page(job, page));
        } else {
            told = progress(job, EFM8_PHASE_COMPARE, 0);
        }
        if (told != EFM8_OK)
            return told;
    }
    return EFM8_OK;
}

// Erases the page with its first chunk in the same command, then writes the
// rest in chunks of the write size that never cross the page. A held page 0
// is already erased and keeps its first chunk back.
static int32_t write_page(struct job *job, uint32_t page)
{
    const struct image *image = &job->image;
    const uint32_t start = page * job->page_size;
    const uint32_t end = start + image_bytes_in_page(job, page);
    const bool held = page == 0 && job->page0_held;
    for (uint32_t address = start; address < end;) {
        const uint32_t len = end - address < job->write_size ? end - address : job->write_size;
        const bool skip = job->options->skip_blank && blank(image, address, len);
        int32_t result = EFM8_OK;
        if (address == start && !held)
            result = cmd_erase(job->session, address, image->data + address, skip ? 0 : len);
        else if (address != start && !skip)
            result = cmd_write(job->session, address, image->data + address, len);
        // A held first chunk is settled at the very end.
        if (result == EFM8_OK && (address != start || !held))
            result = progress(job, EFM8_PHASE_WRITE, len);
        if (result != EFM8_OK)
            return result;
        address += len;
    }
    return EFM8_OK;
}

// Page 0's first chunk, held back to the very end.
static int32_t write_first_chunk(struct job *job)
{
    const struct image *image = &job->image;
    const uint32_t page_bytes = image_bytes_in_page(job, 0);
    const uint32_t len = page_bytes < job->write_size ? page_bytes : job->write_size;
    if (!(job->options->skip_blank && blank(image, 0, len))) {
        const int32_t result = cmd_write(job->session, 0, image->data, len);
        if (result != EFM8_OK)
            return result;
    }
    job->first_written = true;
    return progress(job, EFM8_PHASE_WRITE, len);
}

static int32_t write_pages(struct job *job)
{
    job->page0_held = job->options->safe_order && job->rewrite[0];
    if (job->page0_held) {
        const int32_t result = cmd_erase(job->session, 0, NULL, 0);
        if (result != EFM8_OK)
            return result;
    }
    for (uint32_t page = 0; page < job->pages; ++page) {
        if (!job->rewrite[page])
            continue;
        job->wrote = true;
        const int32_t result = write_page(job, page);
        if (result != EFM8_OK)
            return result;
    }
    return job->page0_held ? write_first_chunk(job) : EFM8_OK;
}

// One CRC check over every page the image spans.
static int32_t verify_written(struct job *job)
{
    const int32_t told = progress(job, EFM8_PHASE_VERIFY, 0);
    if (told != EFM8_OK)
        return told;
    const uint32_t end = job->pages * job->page_size - 1;
    const int32_t holds = cmd_verify(job->session, 0, end, image_crc(&job->image, 0, end));
    if (holds < 0)
        return holds;
    if (holds == 0)
        return record_failure(job->session, EFM8_ERR_MISMATCH, 0, EFM8_REPLY_BAD_CRC);
    return EFM8_OK;
}

// The caller's own CRC checks, each over its range.
static int32_t run_checks(struct job *job)
{
    for (size_t i = 0; i < job->options->check_count; ++i) {
        const struct efm8_check *check = &job->options->checks[i];
        const int32_t holds = cmd_verify(job->session, check->start, check->end, check->crc);
        if (holds < 0)
            return holds;
        if (holds == 0)
            return record_failure(job->session, EFM8_ERR_MISMATCH, check->start, EFM8_REPLY_BAD_CRC);
    }
    return EFM8_OK;
}

static uint32_t write_size_of(const efm8_session *session, const struct efm8_options *options)
{
    if (options->write_size != 0)
        return options->write_size;
    return session->device.interface == EFM8_UART ? EFM8_WRITE_UART_DEFAULT : EFM8_WRITE_USB_DEFAULT;
}

// Identify, then the checks that the image fits, around the flash keys.
static int32_t prepare(efm8_session *session, uint32_t count)
{
    int32_t result = know_part(session, count);
    if (result == EFM8_OK)
        result = check_fits_table(session, count);
    if (result == EFM8_OK)
        result = cmd_setup(session);
    if (result == EFM8_OK)
        result = check_fits_device(session, count);
    return result;
}

// Options the engine cannot flash with, refused before anything is sent,
// with what was wrong in the report's words.
static const char *unusable(const struct efm8_options &options, uint32_t write_size)
{
    if (write_size > EFM8_WRITE_MAX)
        return "a write size above 128 bytes";
    if (options.lock && !options.verify)
        return "a lock without verify: the lock is programmed only once the flash is verified";
    if (options.lock && disables_bootloader(options.lock_signature) && !options.allow_disable_bootloader)
        return "a lock that disables the bootloader for good, without allow_disable_bootloader";
    return NULL;
}

int32_t engine::flash(efm8_session *session, const uint8_t *image, uint32_t count, const struct efm8_options &given,
                      struct efm8_report *report)
{
    session_begin(session, report);
    const struct efm8_options *options = &given;
    struct job job;
    memset(&job, 0, sizeof job);
    job.write_size = write_size_of(session, options);
    const char *refused = unusable(given, job.write_size);
    if (refused != NULL)
        return session_finish(session, refuse_options(session, refused));
    if (count == 0 || count > EFM8_ADDRESS_SPACE)
        return session_finish(session, EFM8_ERR_SIZE);
    int32_t result = prepare(session, count);
    if (result == EFM8_OK && options->identified != NULL)
        options->identified(options->identified_user, session->part, session->family);
    job.session = session;
    job.options = options;
    job.image.data = image;
    job.image.count = count;
    job.page_size = session_page_size(session);
    job.pages = pages_of(count, job.page_size);
    if (result == EFM8_OK)
        result = choose_pages(&job);
    if (result == EFM8_OK)
        result = write_pages(&job);
    if (result == EFM8_OK && options->verify && job.wrote)
        result = verify_written(&job);
    // Cancelled once the whole image is on the chip but unchecked: page 0
    // is erased again, so that the board stays in its bootloader.
    if (result == EFM8_ERR_CANCELLED && job.first_written) {
        const int32_t erased = cmd_erase(session, 0, NULL, 0);
        if (erased != EFM8_OK)
            result = erased;
    }
    if (result == EFM8_OK)
        result = run_checks(&job);
    if (result == EFM8_OK && options->lock)
        result = lock_chip(session, options->lock_signature, options->lock_byte);
    if (result == EFM8_OK && options->run)
        result = cmd_runapp(session);
    return session_finish(session, result);
}

int32_t engine::verify(efm8_session *session, const uint8_t *image, uint32_t count, struct efm8_report *report)
{
    report = session_begin(session, report);
    if (count == 0 || count > EFM8_ADDRESS_SPACE)
        return session_finish(session, EFM8_ERR_SIZE);
    int32_t result = know_part(session, count);
    if (result == EFM8_OK)
        result = check_fits_table(session, count);
    if (result == EFM8_OK)
        result = cmd_setup(session);
    const struct image wanted = {image, count};
    const uint32_t page_size = session_page_size(session);
    for (uint32_t page = 0; result == EFM8_OK && page < pages_of(count, page_size); ++page) {
        const int32_t holds = page_holds(session, &wanted, page, page_size);
        if (holds < 0)
            result = holds;
        else if (holds == 0) {
            report->differ[page / 8] |= (uint8_t)(1u << (page % 8));
            ++report->pages_differ;
        }
    }
    if (result == EFM8_OK && report->pages_differ > 0)
        result = EFM8_ERR_MISMATCH;
    return session_finish(session, result);
}

int32_t engine::run(efm8_session *session, struct efm8_report *report)
{
    session_begin(session, report);
    return session_finish(session, cmd_runapp(session));
}
