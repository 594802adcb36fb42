// Every test process works in a scratch folder of its own, so the session log it writes
// ("logging.log" in the current folder) is its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/os.h"

namespace {

class scratch_cwd : public ::testing::Environment {
  public:
    void SetUp() override {
        namespace fs = std::filesystem;
        fs::path dir =
            fs::temp_directory_path() / "sarvelt-tests" /
            ("cwd-" + std::to_string(os_time_now()) + "-" + std::to_string(std::random_device()()));
        fs::create_directories(dir);
        fs::current_path(dir);
    }
};

::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new scratch_cwd);

}  // namespace
