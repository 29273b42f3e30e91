// host.cpp -- the checks, the library loader, the work folder and the measured
// export call of the host test programs.
#include "tests/hosts/host.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

#if defined(__i386__)
// int32_t host_stdcall_probe(fn, words, count, int32_t* result): pushes
// words[count-1] .. words[0], calls fn, stores EAX through result and returns
// the stack pointer after the call minus the stack pointer before the pushes
// (0 when the callee removed exactly its arguments), then restores it. EDI,
// which every x86 calling convention preserves, holds the first value.
asm(R"(
    .text
    .globl host_stdcall_probe
host_stdcall_probe:
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

extern "C" std::int32_t hostStdcallProbe(void* fn, const std::uint32_t* words, std::uint32_t count,
                                         std::int32_t* result) __asm__("host_stdcall_probe");
#endif

namespace host {
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

int finish() {
  if (kMeasuredCalls) {
    check(measured > 0 && unbalanced == 0,
          "stack pointer unchanged after each of " + std::to_string(measured) + " export calls");
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::int32_t callWords(void* fn, const char* what, const std::uint32_t* words, std::uint32_t count) {
#if defined(__i386__)
  std::int32_t result = 0;
  const std::int32_t moved = hostStdcallProbe(fn, words, count, &result);
  ++measured;
  if (moved != 0) {
    ++unbalanced;
    check(false, std::string(what) + ": the stack moved by " + std::to_string(moved) + " bytes (" +
                     std::to_string(4 * count) + " bytes of arguments)");
  }
  return result;
#else
  (void)fn;
  (void)words;
  (void)count;
  check(false, std::string(what) + ": measured calls exist on 32-bit x86 only");
  return 0;
#endif
}

#if defined(_WIN32)

Library::Library(const std::string& name) : file_(name + ".dll") {
  handle_ = reinterpret_cast<void*>(LoadLibraryA(file_.c_str()));
}

Library::~Library() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* Library::byName(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void* Library::byOrdinal(int ordinal) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), MAKEINTRESOURCEA(ordinal)));
}

WorkFolder::WorkFolder(const std::string& name) {
  char current[MAX_PATH];
  GetCurrentDirectoryA(sizeof current, current);
  path_ = std::string(current) + "\\" + name;
  CreateDirectoryA(path_.c_str(), nullptr);
}

WorkFolder::~WorkFolder() { RemoveDirectoryA(path_.c_str()); }

void removeFile(const std::string& path) { DeleteFileA(path.c_str()); }

#else

Library::Library(const std::string& name) : file_("lib" + name + ".so") {
  handle_ = dlopen(file_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) std::printf("     dlopen: %s\n", dlerror());
}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* Library::byName(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

void* Library::byOrdinal(int) const { return nullptr; }

WorkFolder::WorkFolder(const std::string& name) {
  char current[4096];
  path_ = (getcwd(current, sizeof current) != nullptr ? std::string(current) : std::string(".")) + "/" + name;
  mkdir(path_.c_str(), 0700);
}

WorkFolder::~WorkFolder() { rmdir(path_.c_str()); }

void removeFile(const std::string& path) { unlink(path.c_str()); }

#endif

}  // namespace host
