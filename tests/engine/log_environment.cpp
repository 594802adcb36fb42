// Every test process works in a scratch folder of its own, so the session log it writes
// ("logging.log" in the current folder) is its own.
#include <gtest/gtest.h>

#include "tests/common/files.h"

namespace {

class scratch_cwd : public ::testing::Environment {
  public:
    void SetUp() override { std::filesystem::current_path(testutil::fresh_folder("cwd")); }
};

::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new scratch_cwd);

}  // namespace
