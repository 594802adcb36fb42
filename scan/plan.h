// What one run works on, taken from the dialog's fields once, when the run starts: the folder,
// the selection and the texts. The walk and the work ahead of it read this copy only, so
// nothing the user types during the run changes what it does.
#pragma once

#include <cstdint>
#include <string>

#include "engine/encoding.h"
#include "scan/run_state.h"
#include "scan/select.h"

struct run_plan {
    std::string root;     // the folder walked (folder_of_path of the Path field)
    selection select;     // which files are rewritten
    std::string search;   // the Search String
    std::string replace;  // the Replace String
    text_setup text;      // how files' encodings are taken: built once, for the whole run
};

// How runs take their files' encodings, beyond the dialog's fields: sarvelt-cli sets it from
// --code-page and --include-binary; the window keeps the defaults.
struct text_choice {
    uint32_t code_page = 0;  // the legacy code page (0: the system's, os_legacy_code_page)
    bool include_binary = false;
};
extern text_choice run_text_choice;

// The plan of the fields for a run starting at now (a file time, for Age days).
run_plan plan_from_fields(const run_fields_t &fields, int64_t now);
