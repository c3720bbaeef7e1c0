// Settings, options and entries as callers hand them in: sized by the
// caller, read over the defaults into whole structures of the library's
// own. What a caller cannot mean is refused before anything is opened or
// sent, with why.
#ifndef KESTRANE_API_SIZED_H
#define KESTRANE_API_SIZED_H

#include <kestrane/engine.h>
#include <kestrane/entry.h>

#include <stddef.h>
#include <string>

namespace api {

// Each structure's size in the library's first version, as numbers: fields
// added since start at or after them (checked in sized.cpp).
const size_t OPTIONS_SIZE_V1 = 88;
const size_t PORT_SETTINGS_SIZE_V1 = 12;
const size_t ENTRY_SIZE_V1 = 704;

// The defaults, each as its *_INIT macro gives them, up to size bytes.
void init_options(struct efm8_options *options, size_t size);
void init_port_settings(struct efm8_port_settings *settings, size_t size);
void init_entry(struct efm8_entry *entry, size_t size);

// What the caller gave (NULL: the defaults) into a whole structure:
// EFM8_OK, or EFM8_ERR_OPTIONS with why. A size of 0 is a structure that
// was never set up; one below the first version's or above the library's
// own is no structure this library knows.
int32_t options_in(const struct efm8_options *given, struct efm8_options &whole, std::string &why);
int32_t port_settings_in(const struct efm8_port_settings *given, struct efm8_port_settings &whole, std::string &why);
int32_t entry_in(const struct efm8_entry *given, struct efm8_entry &whole, std::string &why);

}  // namespace api

#endif
