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
// The family whose USB bootloader has this product id, or NULL.
const struct efm8_family *family_of_product(uint16_t product_id);

#endif
