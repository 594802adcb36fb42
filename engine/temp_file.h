// The temporary file a rewrite writes the new text to, in the folder of the file it replaces.
// Where the file system allows, it has no name until just before its swap; elsewhere it is
// named "%d.tmp" from the current time up (the first name no file has), created exclusively
// and, where the platform can, marked to go with its handle. Either way a run killed before
// the swap leaves nothing behind.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"

struct rewrite_keeper;

// What came of creating a temporary file.
enum temp_made {
    temp_created,
    temp_failed,      // the system refused (the code tells why)
    temp_needs_name,  // only a named one can be had here, and none may be made
};

struct temp_file {
    os_file file;         // open from its creation until the swap
    std::string path;     // its name (the first one tried, until it has one)
    int64_t number = 0;   // the number in its name ("%d.tmp")
    bool named = false;   // path names the file (else it has no name yet)
    bool goes = false;    // the file goes when its handle is closed
    bool chosen = false;  // number and path are the name chosen for it (choose_name)

    bool is_open() const { return file.handle != -1; }

    // The name a file made in dir at the time seconds is tried under first. false when it
    // does not fit a path (path is then empty).
    bool first_name(const std::string &dir, int64_t seconds);
    // Creates the file in dir: one without a name where the file system can make it; else,
    // where may_be_named, one under the first free name from seconds up, which keeper (if
    // given) learns before and after it is made. *code gets the system's error of a failure
    // (0: none to tell).
    temp_made create(const std::string &dir, int64_t seconds, bool may_be_named, uint32_t *code,
                     rewrite_keeper *keeper = nullptr);
    // For a file without a name: the name it will be given, the first one from the current
    // time up that no file has. The log announces it; the file gets it only in name().
    void choose_name(const std::string &dir);
    // Gives a file without a name its chosen name (chosen now if it has none yet), or the next
    // free one should another file have taken that name meanwhile (*taken_meanwhile: path then
    // differs from the one announced). false on failure, with the system's error in *code (0: none
    // to tell).
    bool name(const std::string &dir, bool *taken_meanwhile, uint32_t *code);
    // The file stays when its handle is closed (it was marked to go with it). false on failure,
    // the system's error set.
    bool keep();
    // Closes the handle of a file that was swapped in: the file is the rewritten one now.
    void close() { os_close(&file); }
    // Closes the file (if open) and removes it; keeps the system's last error. A file without a
    // name, or one that goes with its handle, needs no removal (and its name may already be
    // another's once the handle is closed). A named one is removed under the name it has now,
    // where the system tells it: a folder on its path may have been renamed since it was made.
    void drop();
};
