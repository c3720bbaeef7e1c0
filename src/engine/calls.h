// The engine's calls behind the library's exported ones (src/api). They
// take whole structures, never a caller's sized one but the reports they
// fill in, and trust their pointers: the exported calls check them first.
#ifndef KESTRANE_ENGINE_CALLS_H
#define KESTRANE_ENGINE_CALLS_H

#include <kestrane/engine.h>
#include <kestrane/entry.h>

#include <stddef.h>
#include <stdint.h>

namespace engine {

int32_t list_usb(struct efm8_device *devices, int32_t max);
int32_t list_ports(struct efm8_port *ports, int32_t max);
int32_t open_usb(const char *path, efm8_session **session);
// report may be NULL.
int32_t open_port(const char *port, const struct efm8_port_settings &settings, const struct efm8_entry &entry,
                  efm8_session **session, struct efm8_report *report);
int32_t check_port(const char *port);
void release_ports();
void close(efm8_session *session);

// report, the caller's sized one, may be NULL.
int32_t flash(efm8_session *session, const uint8_t *image, uint32_t count, const struct efm8_options &options,
              struct efm8_report *report);
int32_t verify(efm8_session *session, const uint8_t *image, uint32_t count, struct efm8_report *report);
int32_t run(efm8_session *session, struct efm8_report *report);
int32_t ping(efm8_session *session, struct efm8_report *report);
int32_t identify(efm8_session *session, struct efm8_identity *identity, struct efm8_report *report);
int32_t lock(efm8_session *session, uint8_t signature, uint8_t lock, struct efm8_report *report);
int32_t check_ids(efm8_session *session, const uint16_t *ids, size_t count, struct efm8_report *report);

// A report in words; the report whole.
int32_t describe(const struct efm8_report &report, char *text, size_t size);
const char *command_name(uint8_t command);

// The one table of results.
const char *result_name(int32_t result);
int result_exit_status(int32_t result);
const char *result_text(int32_t result);

// Entry as it is written.
int entry_used(const struct efm8_entry &entry);
int32_t parse_line(const char *text, struct efm8_line *line, char *error, size_t error_size);
int32_t parse_entry_sequence(const char *text, struct efm8_entry *entry, char *error, size_t error_size);
size_t entry_steps(const struct efm8_entry &entry, struct efm8_step *steps, size_t max);

int32_t enter_usb(uint16_t vendor_id, uint16_t product_id, const uint8_t *report, size_t length);
int32_t trigger_open(const struct efm8_line &line, efm8_trigger **trigger, char *error, size_t error_size);
int32_t trigger_wait(efm8_trigger *trigger, uint32_t timeout_ms);
void trigger_close(efm8_trigger *trigger);

}  // namespace engine

#endif
