// Ids, flash sizes and layouts from each family's reference manual and data
// sheet: DEVICEID and the DERIVID table, the part number's flash size, and
// the memory map "with bootloader". The application limit is the first byte
// of the bootloader's lowest page; the lock byte is the last byte of the
// security page.
#include "parts.h"

#include <stddef.h>

#define KB 1024u
#define COUNT(array) (sizeof(array) / sizeof(array)[0])

// USB bootloaders report their family in their product id; UART bootloaders
// only through identify. No derivative of the EFM8SB2 or EFM8UB2 is
// documented, and only the EFM8SB2 has 1 KB pages.
static const struct efm8_family FAMILIES[] = {
    {"EFM8BB1", 0x30, 512, EFM8_UART, 0, 1},
    {"EFM8BB2", 0x32, 512, EFM8_UART, 0, 1},
    {"EFM8BB3", 0x34, 512, EFM8_UART, 0, 1},
    {"EFM8LB1", 0x34, 512, EFM8_UART, 0, 1},
    {"EFM8SB1", 0x25, 512, EFM8_UART, 0, 1},
    {"EFM8SB2", 0x16, 1024, EFM8_UART, 0, 0},
    {"EFM8UB1", 0x32, 512, EFM8_USB, 0xEAC9, 1},
    {"EFM8UB2", 0x28, 512, EFM8_USB, 0xEACA, 0},
    {"EFM8UB3", 0x36, 512, EFM8_USB, 0xEACB, 1},
};

static const struct efm8_family &BB1 = FAMILIES[0], &BB2 = FAMILIES[1], &BB3 = FAMILIES[2], &LB1 = FAMILIES[3],
                                &SB1 = FAMILIES[4], &UB1 = FAMILIES[6], &UB3 = FAMILIES[8];

// The BB2's and UB1's bootloaders also take code pages below their 64-byte
// security page, how many is not stated: their limits are inferred.
static const struct efm8_part PARTS[] = {
    {"EFM8BB10F8G-QSOP24", &BB1, 0x3001, 8 * KB, 0x1E00, 0, 0x1FFF},
    {"EFM8BB10F8G-QFN20", &BB1, 0x3002, 8 * KB, 0x1E00, 0, 0x1FFF},
    {"EFM8BB10F8G-SOIC16", &BB1, 0x3003, 8 * KB, 0x1E00, 0, 0x1FFF},
    {"EFM8BB10F4G-QFN20", &BB1, 0x3005, 4 * KB, 0x0E00, 0, 0x0FFF},
    {"EFM8BB10F2G-QFN20", &BB1, 0x3008, 2 * KB, 0x0600, 0, 0x07FF},
    {"EFM8BB22F16G-QFN28", &BB2, 0x3201, 16 * KB, 0x3E00, 1, 0xFBFF},
    {"EFM8BB21F16G-QSOP24", &BB2, 0x3202, 16 * KB, 0x3E00, 1, 0xFBFF},
    {"EFM8BB21F16G-QFN20", &BB2, 0x3203, 16 * KB, 0x3E00, 1, 0xFBFF},
    {"EFM8BB31F64G-QFN32", &BB3, 0x3401, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64G-QFP32", &BB3, 0x3402, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64G-QSOP24", &BB3, 0x3403, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64G-QFN24", &BB3, 0x3404, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F32G-QFN32", &BB3, 0x3405, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32G-QFP32", &BB3, 0x3406, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32G-QSOP24", &BB3, 0x3407, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32G-QFN24", &BB3, 0x3408, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F16G-QFN32", &BB3, 0x3409, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16G-QFP32", &BB3, 0x340A, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16G-QSOP24", &BB3, 0x340B, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16G-QFN24", &BB3, 0x340C, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F64I-QFN32", &BB3, 0x3411, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64I-QFP32", &BB3, 0x3412, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64I-QSOP24", &BB3, 0x3413, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64I-QFN24", &BB3, 0x3414, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F32I-QFN32", &BB3, 0x3415, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32I-QFP32", &BB3, 0x3416, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32I-QSOP24", &BB3, 0x3417, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32I-QFN24", &BB3, 0x3418, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F16I-QFN32", &BB3, 0x3419, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16I-QFP32", &BB3, 0x341A, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16I-QSOP24", &BB3, 0x341B, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16I-QFN24", &BB3, 0x341C, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F64A-QFN32", &BB3, 0x3421, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64A-QFP32", &BB3, 0x3422, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64A-QSOP24", &BB3, 0x3423, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F64A-QFN24", &BB3, 0x3424, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8BB31F32A-QFN32", &BB3, 0x3425, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32A-QFP32", &BB3, 0x3426, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32A-QSOP24", &BB3, 0x3427, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F32A-QFN24", &BB3, 0x3428, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8BB31F16A-QFN32", &BB3, 0x3429, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16A-QFP32", &BB3, 0x342A, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16A-QSOP24", &BB3, 0x342B, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8BB31F16A-QFN24", &BB3, 0x342C, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB12F64E-QFN32", &LB1, 0x3441, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8LB12F64E-QFP32", &LB1, 0x3442, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8LB12F64E-QSOP24", &LB1, 0x3443, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8LB12F64E-QFN24", &LB1, 0x3444, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8LB12F32E-QFN32", &LB1, 0x3445, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB12F32E-QFP32", &LB1, 0x3446, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB12F32E-QSOP24", &LB1, 0x3447, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB12F32E-QFN24", &LB1, 0x3448, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F32E-QFN32", &LB1, 0x3449, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F32E-QFP32", &LB1, 0x344A, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F32E-QSOP24", &LB1, 0x344B, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F32E-QFN24", &LB1, 0x344C, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F16E-QFN32", &LB1, 0x344D, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB11F16E-QFP32", &LB1, 0x344E, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB11F16E-QSOP24", &LB1, 0x344F, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB11F16E-QFN24", &LB1, 0x3450, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB10F16E-QFN32", &LB1, 0x3451, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB10F16E-QFP32", &LB1, 0x3452, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB10F16E-QSOP24", &LB1, 0x3453, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB10F16E-QFN24", &LB1, 0x3454, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB12F64ES0-QFN32", &LB1, 0x3461, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8LB12F64ES0-QFN24", &LB1, 0x3464, 64 * KB, 0xFA00, 0, 0xFBFF},
    {"EFM8LB12F32ES0-QFN32", &LB1, 0x3465, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB12F32ES0-QFN24", &LB1, 0x3468, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F32ES0-QFN32", &LB1, 0x3469, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F32ES0-QFN24", &LB1, 0x346C, 32 * KB, 0x8000, 0, 0xFBFF},
    {"EFM8LB11F16ES0-QFN32", &LB1, 0x346D, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB11F16ES0-QFN24", &LB1, 0x3470, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB10F16ES0-QFN32", &LB1, 0x3471, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8LB10F16ES0-QFN24", &LB1, 0x3474, 16 * KB, 0x4000, 0, 0xFBFF},
    {"EFM8SB10F8G-QFN24", &SB1, 0x2501, 8 * KB, 0x1E00, 0, 0x1FFF},
    {"EFM8SB10F8G-QSOP24", &SB1, 0x2502, 8 * KB, 0x1E00, 0, 0x1FFF},
    {"EFM8SB10F8G-QFN20", &SB1, 0x2503, 8 * KB, 0x1E00, 0, 0x1FFF},
    {"EFM8SB10F4G-QFN20", &SB1, 0x2506, 4 * KB, 0x0E00, 0, 0x0FFF},
    {"EFM8SB10F2G-QFN20", &SB1, 0x2509, 2 * KB, 0x0600, 0, 0x07FF},
    {"EFM8UB10F16G-QFN28", &UB1, 0x3241, 16 * KB, 0x3A00, 1, 0xFBFF},
    {"EFM8UB10F16G-QFN20", &UB1, 0x3243, 16 * KB, 0x3A00, 1, 0xFBFF},
    {"EFM8UB11F16G-QSOP24", &UB1, 0x3245, 16 * KB, 0x3A00, 1, 0xFBFF},
    {"EFM8UB10F8G-QFN20", &UB1, 0x3249, 8 * KB, 0x1A00, 1, 0xFBFF},
    {"EFM8UB30F40G-QFN20", &UB3, 0x3600, 40 * KB, 0x9A00, 0, 0xFBFF},
    {"EFM8UB31F40G-QFN24", &UB3, 0x3601, 40 * KB, 0x9A00, 0, 0xFBFF},
    {"EFM8UB31F40G-QSOP24", &UB3, 0x3602, 40 * KB, 0x9A00, 0, 0xFBFF},
};

const struct efm8_family *efm8_families(size_t *count)
{
    *count = COUNT(FAMILIES);
    return FAMILIES;
}

const struct efm8_part *efm8_parts(size_t *count)
{
    *count = COUNT(PARTS);
    return PARTS;
}

const struct efm8_family *efm8_family_of_product(uint16_t product_id)
{
    for (const struct efm8_family &family : FAMILIES)
        if (family.interface == EFM8_USB && family.product_id == product_id)
            return &family;
    return NULL;
}
