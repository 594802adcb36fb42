// A seam for the tests: called by update_file after the copy is complete and before the
// swap, with the path of the file being rewritten. Tests use it to change the file behind the
// rewrite's back and check that the change is not lost.
#pragma once

extern void (*rewrite_before_swap_hook)(const char *path);
