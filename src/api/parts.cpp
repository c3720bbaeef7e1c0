// The exported calls of kestrane/parts.h: the part table as it is.
#include <kestrane/parts.h>

#include "protocol/parts.h"

const struct efm8_family *efm8_families(size_t *count)
{
    return part_families(count);
}

const struct efm8_part *efm8_parts(size_t *count)
{
    return part_table(count);
}

const struct efm8_family *efm8_family_of_product(uint16_t product_id)
{
    return family_of_product(product_id);
}
