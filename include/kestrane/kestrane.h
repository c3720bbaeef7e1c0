/**
 * @file kestrane/kestrane.h
 * @brief Everything libkestrane offers, for a program that includes one
 * header: `pkg-config --cflags --libs kestrane`, or `find_package(Kestrane)`
 * and `Kestrane::kestrane` in CMake.
 *
 * @section contract The contract
 * - **Results.** Calls return EFM8_OK or a negative code of the one table in
 *   result.h; each header says which, and says why where a call returns
 *   something else (a count, a pointer, a byte). A failed call that talks
 *   to a board keeps its report as the thread's last failure
 *   (efm8_last_failure), and efm8_describe words it.
 * - **NULL.** Each parameter's comment says whether it may be NULL. A
 *   pointer that may not be NULL and is gives EFM8_ERR_ARGUMENT, nothing
 *   done; calls without a result do nothing, or return NULL or 0, as they
 *   say. No C++ exception ever leaves the library: memory it cannot get is
 *   EFM8_ERR_MEMORY.
 * - **Sized structures.** Options, port settings and entries start with
 *   their size: set it with efm8_init_options, efm8_init_port_settings and
 *   efm8_init_entry, or start from EFM8_OPTIONS_INIT,
 *   EFM8_PORT_SETTINGS_INIT and EFM8_ENTRY_INIT. One zeroed whole (size 0)
 *   is refused with EFM8_ERR_OPTIONS before anything is sent, rather than
 *   taken as a flash without verify, safe order or start.
 * - **Ownership.** What a call hands out is the caller's until the matching
 *   close or free (efm8_close, efm8_image_free, efm8_trigger_close);
 *   pointers into the part table and strings of the library live as long as
 *   the library is loaded; pointers into an image as long as the image.
 *
 * @section threads Threads
 * - A session is used by one call at a time. A call on a session that is
 *   already in a call, from another thread or from one of that call's own
 *   callbacks, returns EFM8_ERR_SESSION_BUSY at once, sending nothing, and
 *   the call under way goes on unharmed. efm8_session_device may be called
 *   at any time; efm8_close leaves a session in a call open.
 * - Sessions of different boards may be driven from different threads at
 *   once.
 * - Images are never changed once made: threads may share one, read-only,
 *   and flash it onto their boards at once.
 * - Each thread has its own last failure.
 * - Callbacks (progress, progress_cancel, identified) run on the thread
 *   that made the call, between two records, never at once. A callback may
 *   call anything of the library except on its own session (which is busy):
 *   it may describe, list, load images and drive other boards. To stop a
 *   flash it returns non-zero from progress_cancel.
 * - efm8_release_ports is async-signal-safe; nothing else is.
 *
 * @section cancelling Cancelling
 * A progress_cancel callback that returns non-zero stops the flash before
 * its next record, with EFM8_ERR_CANCELLED. With the safe order (the
 * default) the board is left in its bootloader with byte 0 erased, never
 * started with half an image; cancelled before anything was erased (while
 * delta compares), its flash is as it was.
 */
#ifndef KESTRANE_KESTRANE_H
#define KESTRANE_KESTRANE_H

#include <kestrane/board.h>
#include <kestrane/bootloader.h>
#include <kestrane/engine.h>
#include <kestrane/entry.h>
#include <kestrane/image.h>
#include <kestrane/parts.h>
#include <kestrane/result.h>
#include <kestrane/version.h>

#endif
