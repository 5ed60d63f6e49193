#include "test_support.h"

#include <fstream>
#include <iterator>
#include <random>

#include "reception_client.h"

void WorkingDirectoryTest::SetUp() {
  previous_ = std::filesystem::current_path();
  previousBaseUrl_ = serviceBaseUrl;
  std::random_device random;
  directory_ = std::filesystem::temp_directory_path() / ("vestibra-test-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(directory_);
  std::filesystem::current_path(directory_);
}

void WorkingDirectoryTest::TearDown() {
  std::filesystem::current_path(previous_);
  serviceBaseUrl = previousBaseUrl_;
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
