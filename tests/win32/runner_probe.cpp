// runner_probe.cpp -- a 32-bit program that shows what run-win32.sh passes
// through: its arguments on standard output, a line on standard error, a file
// written in the current folder, and the exit status asked for.
//
// Usage: runner_probe STATUS FILE [ARGS...]
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  for (int i = 3; i < argc; ++i) std::printf("[%s]", argv[i]);
  std::printf("\n");
  std::fprintf(stderr, "on standard error\n");
  if (std::FILE* f = std::fopen(argv[2], "wb")) {
    std::fputs("written inside\n", f);
    std::fclose(f);
  }
  return std::atoi(argv[1]);
}
