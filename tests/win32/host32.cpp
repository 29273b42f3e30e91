// host32.cpp -- the checks and the measured export call of the 32-bit host tests.
#include "host32.h"

#include <cstdio>

// int32_t stdcallProbe(fn, words, count, int32_t* result): pushes
// words[count-1] .. words[0], calls fn, stores EAX through result and returns
// the stack pointer after the call minus the stack pointer before the pushes
// (0 when the callee removed exactly its arguments), then restores it. EDI,
// which every Windows calling convention preserves, holds the first value.
asm(R"(
    .text
    .globl _stdcallProbe
_stdcallProbe:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    movl  %esp, %edi
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  call  *8(%ebp)
    movl  20(%ebp), %ecx
    movl  %eax, (%ecx)
    movl  %esp, %eax
    subl  %edi, %eax
    movl  %edi, %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

extern "C" int32_t stdcallProbe(FARPROC fn, const uint32_t* words, uint32_t count, int32_t* result);

namespace host32 {
namespace {

int passed = 0;
int failed = 0;
int measured = 0;
int unbalanced = 0;

}  // namespace

void check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  (ok ? passed : failed)++;
}

int32_t callWords(FARPROC fn, const char* what, const uint32_t* words, uint32_t count) {
  if (fn == nullptr) {
    check(false, std::string(what) + ": no such export");
    return 0;
  }
  int32_t result = 0;
  const int32_t moved = stdcallProbe(fn, words, count, &result);
  ++measured;
  if (moved != 0) {
    ++unbalanced;
    check(false, std::string(what) + ": the stack moved by " + std::to_string(moved) + " bytes (" +
                     std::to_string(4 * count) + " bytes of arguments)");
  }
  return result;
}

int finish() {
  check(measured > 0 && unbalanced == 0,
        "stack pointer unchanged after each of " + std::to_string(measured) + " export calls");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace host32
