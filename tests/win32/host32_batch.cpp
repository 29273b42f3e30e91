// host32_batch.cpp -- runs several 32-bit host test programs one after another
// in one wine session and keeps each one's output and exit status.
//
// Usage: host32_batch RESULTS NAME COMMANDLINE [NAME COMMANDLINE]...
// For each pair, runs COMMANDLINE with standard output and standard error in
// RESULTS\NAME.out, then writes its exit status (decimal, or "timeout") to
// RESULTS\NAME.status. The first program of a wine session pays for starting
// wine's own services; the later ones start in seconds. Exits 0 when every
// program was run (whatever their results), 1 when one could not be started.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kProgramTimeoutMs = 240 * 1000;

void writeText(const std::string& path, const std::string& text) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
}

// Runs one command line into results\name.out; returns false when it could not start.
bool runOne(const std::string& results, const std::string& name, const std::string& commandLine) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::string outPath = results + "\\" + name + ".out";
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    std::printf("%s: cannot create %s\n", name.c_str(), outPath.c_str());
    return false;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  const DWORD started = GetTickCount();
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("%s: cannot start %s (error %lu)\n", name.c_str(), commandLine.c_str(), GetLastError());
    CloseHandle(out);
    writeText(results + "\\" + name + ".status", "not started\n");
    return false;
  }
  std::string status;
  if (WaitForSingleObject(process.hProcess, kProgramTimeoutMs) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 124);
    WaitForSingleObject(process.hProcess, INFINITE);
    status = "timeout";
  } else {
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    status = std::to_string(code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(out);
  writeText(results + "\\" + name + ".status", status + "\n");
  std::printf("%s: exit status %s after %lu ms\n", name.c_str(), status.c_str(), GetTickCount() - started);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc % 2 != 0) {
    std::printf("usage: host32_batch RESULTS NAME COMMANDLINE [NAME COMMANDLINE]...\n");
    return 2;
  }
  bool allStarted = true;
  for (int i = 2; i + 1 < argc; i += 2) allStarted = runOne(argv[1], argv[i], argv[i + 1]) && allStarted;
  return allStarted ? 0 : 1;
}
