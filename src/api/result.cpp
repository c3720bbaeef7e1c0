// The exported calls of kestrane/result.h, over the engine's one table.
#include <kestrane/result.h>

#include "engine/calls.h"

const char *efm8_result_name(int32_t result)
{
    return engine::result_name(result);
}

int efm8_result_exit_status(int32_t result)
{
    return engine::result_exit_status(result);
}

const char *efm8_strerror(int32_t result)
{
    return engine::result_text(result);
}
