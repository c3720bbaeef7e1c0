// The exported calls of kestrane/board.h.
#include <kestrane/board.h>

#include "api/sized.h"
#include "transport/transport.h"

void efm8_init_port_settings(struct efm8_port_settings *settings, size_t size)
{
    if (settings != nullptr)
        api::init_port_settings(settings, size);
}

const uint32_t *efm8_baud_rates(size_t *count)
{
    return serial_baud_rates(count);
}
