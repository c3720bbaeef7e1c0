/* Every public header, as a C99 program includes them: compiled with
 * -std=c99 -pedantic -Wall -Wextra -Werror by the c_headers test. */
#include <kestrane/board.h>
#include <kestrane/bootloader.h>
#include <kestrane/engine.h>
#include <kestrane/entry.h>
#include <kestrane/image.h>
#include <kestrane/kestrane.h>
#include <kestrane/parts.h>
#include <kestrane/result.h>
#include <kestrane/version.h>

int main(void)
{
    struct efm8_options options;
    struct efm8_port_settings settings;
    efm8_default_options(&options);
    efm8_default_port_settings(&settings);
    return efm8_version() >= KESTRANE_VERSION ? 0 : 1;
}
