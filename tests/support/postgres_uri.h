// The throwaway PostgreSQL of the test run (tests/support/postgres.sh): its owner's URI, or a skip.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace lumbra::testing {

// The owner's URI of the run's PostgreSQL, read from the file named by
// LUMBRA_TEST_POSTGRES_URI_FILE (ctest sets it for the tests that require
// the fixture); empty when the variable is unset.
inline std::string postgresUri(const char* name = "uri") {
  const char* file = std::getenv("LUMBRA_TEST_POSTGRES_URI_FILE");
  if (!file || !*file) return {};
  std::string path = file;
  std::string::size_type slash = path.rfind('/');
  if (std::string(name) != "uri") path = path.substr(0, slash + 1) + name;
  std::ifstream in(path);
  std::string uri;
  std::getline(in, uri);
  return uri;
}

}  // namespace lumbra::testing

// In a test body: `uri` gets the owner's URI, or the test is skipped with a
// message when no PostgreSQL was started for the run (a missing or empty URI
// file under ctest is a failure: the fixture did not start).
#define LUMBRA_REQUIRE_POSTGRES(uri)                                                      \
  do {                                                                                    \
    if (!std::getenv("LUMBRA_TEST_POSTGRES_URI_FILE"))                                    \
      GTEST_SKIP() << "no PostgreSQL for this run (LUMBRA_TEST_POSTGRES_URI_FILE unset)"; \
    uri = ::lumbra::testing::postgresUri();                                               \
    ASSERT_FALSE(uri.empty()) << "the PostgreSQL fixture did not start (no URI in "       \
                              << std::getenv("LUMBRA_TEST_POSTGRES_URI_FILE") << ")";     \
  } while (0)
