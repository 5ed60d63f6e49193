// Helpers shared by the tests: a private working directory and file access.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

// Runs each test in a fresh directory of its own (files such as
// "downloaded.file" and "settings.conf" are written to the working directory),
// and restores the service URL afterwards.
class WorkingDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path directory_;

 private:
  std::filesystem::path previous_;
  std::string previousBaseUrl_;
};

std::string readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::string& bytes);
