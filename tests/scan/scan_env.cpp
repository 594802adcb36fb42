// Registers the scan tests' working folder before any test runs.
#include "scan_support.h"

namespace {
const ::testing::Environment *const env =
    ::testing::AddGlobalTestEnvironment(new scan_test::work_folder);
}  // namespace
