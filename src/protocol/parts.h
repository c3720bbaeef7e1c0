// The part table inside the library: every layer that needs a part's
// layout reads it here; the exported calls of kestrane/parts.h hand it on.
#ifndef KESTRANE_PROTOCOL_PARTS_H
#define KESTRANE_PROTOCOL_PARTS_H

#include <kestrane/parts.h>

#include <stddef.h>
#include <stdint.h>

// Every family and every documented derivative, in table order; count may
// be NULL.
const struct efm8_family *part_families(size_t *count);
const struct efm8_part *part_table(size_t *count);
// Whether a part's application area holds an image of count bytes from
// address 0, by the table (a limit it infers the device is asked about too).
static inline int part_holds(const struct efm8_part *part, uint32_t count)
{
    return count > 0 && count <= part->app_limit;
}
// The family whose USB bootloader has this product id, or NULL.
const struct efm8_family *family_of_product(uint16_t product_id);

#endif
