// A run's plan, from the dialog's fields.
#include "scan/plan.h"

#include "engine/engine.h"
#include "platform/os.h"

text_choice run_text_choice;

run_plan plan_from_fields(const run_fields_t &fields, int64_t now) {
    run_plan plan;
    plan.root = folder_of_path(fields.folder_path.c_str());
    read_type_list(fields.file_type, &plan.select.types);  // refused before a run if unreadable
    plan.select.min_size = fields.min_size;
    plan.select.min_name_len = fields.name_len_given ? fields.min_name_len : 0;
    plan.select.oldest_mtime =
        fields.age_days_given ? oldest_mtime_for_age(now, fields.age_days) : INT64_MIN;
    plan.search = fields.search_text;
    plan.replace = fields.replace_text;
    // The choice was checked before (sarvelt-cli refuses a code page the platform does not
    // know); should the system's own be unknown, windows-1252 stands in for it.
    const uint32_t page = run_text_choice.code_page ? run_text_choice.code_page
                                                    : os_legacy_code_page();
    if (!make_text_setup(page, run_text_choice.include_binary, &plan.text))
        make_text_setup(1252, run_text_choice.include_binary, &plan.text);
    return plan;
}
