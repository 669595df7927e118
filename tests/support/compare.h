// Comparisons for EXPECT_TRUE that say where the two sides part, without
// printing megabytes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/files.h"

namespace zk27_test {

// True when `text` holds `part`; for EXPECT_TRUE with a readable failure.
inline ::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not found in:\n" << text;
}

// True when the file at `path` holds exactly `expected`; says where it
// differs otherwise (without printing megabytes).
inline ::testing::AssertionResult SameBytes(const std::string& path, const Bytes& expected) {
  const auto got = ReadFile(path);
  if (!got) return ::testing::AssertionFailure() << path << " cannot be read";
  if (got->size() != expected.size())
    return ::testing::AssertionFailure() << path << " has " << got->size() << " bytes, expected " << expected.size();
  for (std::size_t i = 0; i < expected.size(); ++i)
    if ((*got)[i] != expected[i]) return ::testing::AssertionFailure() << path << " differs at byte " << i;
  return ::testing::AssertionSuccess();
}

}  // namespace zk27_test
