// What one run works on, taken from the dialog's fields once, when the run starts: the folder,
// the selection and the texts. The walk and the work ahead of it read this copy only, so
// nothing the user types during the run changes what it does.
#pragma once

#include <cstdint>
#include <string>

#include "scan/run_state.h"
#include "scan/select.h"

struct run_plan {
    std::string root;     // the folder walked (folder_of_path of the Path field)
    selection select;     // which files are rewritten
    std::string search;   // the Search String
    std::string replace;  // the Replace String
};

// The plan of the fields for a run starting at now (a file time, for Age days).
run_plan plan_from_fields(const run_fields_t &fields, int64_t now);
