#pragma once
// A small file system of a chosen type on a loop device, in a private folder on a real disk.
// Needs root and loop devices; a test skips when they are missing.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace oakenmere::testing {

class LoopMount : public ::testing::Test {
protected:
    // `make` is the shell command that formats "$IMAGE" (an empty file of `size`).
    void mount(const std::string& size, const std::string& make);
    void TearDown() override;

    std::filesystem::path root_, image_, mountPoint_;
    bool mounted_ = false;
};

}  // namespace oakenmere::testing
