// A test with a fresh directory of its own, removed afterwards.
#ifndef QUILLFEN_TESTS_SCRATCH_TEST_H_
#define QUILLFEN_TESTS_SCRATCH_TEST_H_

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

class ScratchTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    // A name of this run's own: other runs of the suite may be under way.
    root_ = std::filesystem::temp_directory_path() /
            (std::string("quillfen-") + test->test_suite_name() + "-" + test->name() + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_;
};

#endif  // QUILLFEN_TESTS_SCRATCH_TEST_H_
