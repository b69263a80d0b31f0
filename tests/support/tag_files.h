// A fixture for tests that write tag files into a folder of their own and
// read them through the tag readers: a fresh double and no kept pairs at
// the start of each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tags/tag_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace testing_support {

class TagFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    forgetTagFields();
    ASSERT_FALSE(dir.root().empty());
  }
  // Writes bytes as the folder's file called name; its path.
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = dir.path(name);
    EXPECT_TRUE(id3w::writeFile(path, bytes));
    return path;
  }
  // A new name each call: prefix, a number and ext.
  std::string fresh(const char* prefix, const std::string& ext) {
    return prefix + std::to_string(files++) + ext;
  }

  id3w::TempDir dir;
  int files = 0;
};

}  // namespace testing_support
