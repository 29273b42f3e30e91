// Helpers of the operations tests: the program run as a child, a folder's listing to compare.
// Folders, files and the server in the background come from the shared test support.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace lumbra::server::testing {

using suite_test::readFile;
using suite_test::ServerProcess;
using suite_test::TempDir;
using suite_test::writeFile;

// Every file in the folder (not recursing) with its size, mode and modification time, to compare.
std::map<std::string, std::string> listing(const TempDir& folder);

// What a run of the program did.
struct Outcome {
  int status = -1;     // exit status, -1 when it did not exit normally
  std::string out;     // standard output
  std::string err;     // standard error
};

// Runs lumbra-server with `args` in the folder `cwd`, `input` on its standard
// input, at most 60 seconds.
Outcome runProgram(const std::vector<std::string>& args, const std::string& cwd, const std::string& input = "");

}  // namespace lumbra::server::testing
