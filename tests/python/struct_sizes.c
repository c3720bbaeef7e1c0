/* The size of each structure of the public headers and the offset of each
 * of its fields, as this machine's C compiler lays them out, one per line:
 * "efm8_options 104" and "efm8_options.progress_cancel 88". The Python
 * module's ctypes structures are held against them (test_contract.py), since
 * a field missed or mistyped there would read and write the wrong bytes
 * with no error at all. The fields are listed from the headers, in their
 * order. */
#include <kestrane/kestrane.h>

#include <stddef.h>
#include <stdio.h>

#define SIZE(type) printf("%s %zu\n", #type, sizeof(struct type))
#define FIELD(type, field) printf("%s.%s %zu\n", #type, #field, offsetof(struct type, field))

int main(void)
{
    SIZE(efm8_family);
    FIELD(efm8_family, name);
    FIELD(efm8_family, device_id);
    FIELD(efm8_family, page_size);
    FIELD(efm8_family, interface);
    FIELD(efm8_family, product_id);
    FIELD(efm8_family, derivatives_documented);

    SIZE(efm8_part);
    FIELD(efm8_part, name);
    FIELD(efm8_part, family);
    FIELD(efm8_part, id);
    FIELD(efm8_part, flash_size);
    FIELD(efm8_part, app_limit);
    FIELD(efm8_part, limit_inferred);
    FIELD(efm8_part, lock_byte);
    FIELD(efm8_part, interface);

    SIZE(efm8_device);
    FIELD(efm8_device, path);
    FIELD(efm8_device, interface);
    FIELD(efm8_device, vendor_id);
    FIELD(efm8_device, product_id);
    FIELD(efm8_device, family);

    SIZE(efm8_port);
    FIELD(efm8_port, path);
    FIELD(efm8_port, vendor_id);
    FIELD(efm8_port, product_id);
    FIELD(efm8_port, manufacturer);
    FIELD(efm8_port, product);
    FIELD(efm8_port, serial);

    SIZE(efm8_port_settings);
    FIELD(efm8_port_settings, size);
    FIELD(efm8_port_settings, baud);
    FIELD(efm8_port_settings, timeout_ms);

    SIZE(efm8_check);
    FIELD(efm8_check, start);
    FIELD(efm8_check, end);
    FIELD(efm8_check, crc);

    SIZE(efm8_options);
    FIELD(efm8_options, size);
    FIELD(efm8_options, verify);
    FIELD(efm8_options, delta);
    FIELD(efm8_options, safe_order);
    FIELD(efm8_options, skip_blank);
    FIELD(efm8_options, run);
    FIELD(efm8_options, write_size);
    FIELD(efm8_options, progress);
    FIELD(efm8_options, progress_user);
    FIELD(efm8_options, checks);
    FIELD(efm8_options, check_count);
    FIELD(efm8_options, identified);
    FIELD(efm8_options, identified_user);
    FIELD(efm8_options, lock);
    FIELD(efm8_options, lock_signature);
    FIELD(efm8_options, lock_byte);
    FIELD(efm8_options, progress_cancel);
    FIELD(efm8_options, allow_disable_bootloader);

    SIZE(efm8_report);
    FIELD(efm8_report, size);
    FIELD(efm8_report, result);
    FIELD(efm8_report, interface);
    FIELD(efm8_report, command);
    FIELD(efm8_report, address);
    FIELD(efm8_report, reply);
    FIELD(efm8_report, os_error);
    FIELD(efm8_report, transport_error);
    FIELD(efm8_report, part);
    FIELD(efm8_report, family);
    FIELD(efm8_report, limit);
    FIELD(efm8_report, commands);
    FIELD(efm8_report, bytes_written);
    FIELD(efm8_report, page_size);
    FIELD(efm8_report, pages_skipped);
    FIELD(efm8_report, pages_differ);
    FIELD(efm8_report, differ);
    FIELD(efm8_report, locked);
    FIELD(efm8_report, lock_value);
    FIELD(efm8_report, signature_value);

    SIZE(efm8_identity);
    FIELD(efm8_identity, size);
    FIELD(efm8_identity, part);
    FIELD(efm8_identity, family);
    FIELD(efm8_identity, page_size);
    FIELD(efm8_identity, app_limit);
    FIELD(efm8_identity, version);

    SIZE(efm8_line);
    FIELD(efm8_line, kind);
    FIELD(efm8_line, chip);
    FIELD(efm8_line, offset);
    FIELD(efm8_line, active_high);

    SIZE(efm8_step);
    FIELD(efm8_step, kind);
    FIELD(efm8_step, value);

    SIZE(efm8_entry);
    FIELD(efm8_entry, size);
    FIELD(efm8_entry, reset);
    FIELD(efm8_entry, boot);
    FIELD(efm8_entry, steps);
    FIELD(efm8_entry, step_count);
    FIELD(efm8_entry, command);
    FIELD(efm8_entry, command_length);
    FIELD(efm8_entry, command_baud);
    FIELD(efm8_entry, command_wait_ms);
    FIELD(efm8_entry, reset_after);
    return 0;
}
