#pragma once
// Every test runs with its own folder, named after the test, which is also HOME.
// The folder is created before the test body and removed after it.
#include <filesystem>

namespace bridge::test {

std::filesystem::path testDir();

}  // namespace bridge::test
