// host32.h -- what the 32-bit Windows host test programs share: checks with a
// pass/fail count, and calls through a DLL's exports that measure the stack.
//
// Every export of the three DLLs is stdcall: the called function removes its
// arguments. A host compiled against the right declaration would not notice
// a DLL that removes too few or too many bytes until its own stack frame came
// apart, so call() pushes the arguments itself, calls the export, and compares
// the stack pointer afterwards with its value before the pushes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace host32 {

// Counts and prints one check ("ok   what" or "FAIL what").
void check(bool ok, const std::string& what);

// Prints the totals (and how many export calls were measured) and returns the
// program's exit status: 0 when nothing failed.
int finish();

// Calls fn with count 32-bit words as its stack arguments (words[0] lowest,
// as a C caller lays them out) and returns what it left in EAX. A call that
// does not leave the stack pointer where it was before the pushes is a
// failure, reported with what and the difference in bytes.
int32_t callWords(FARPROC fn, const char* what, const uint32_t* words, uint32_t count);

// One argument as the stack word a 32-bit caller pushes for it.
template <typename T>
uint32_t word(T value) {
  static_assert(sizeof(void*) == 4, "a 32-bit host");
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
  } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
    return 0;
  } else {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 4, "integers and pointers only");
    return static_cast<uint32_t>(value);
  }
}

template <typename... Args>
int32_t call(FARPROC fn, const char* what, Args... args) {
  const uint32_t words[sizeof...(Args) + 1] = {word(args)...};
  return callWords(fn, what, words, sizeof...(Args));
}

// A record passed by value: its bytes as the words a caller copies onto the stack.
template <typename Record>
int32_t callByValue(FARPROC fn, const char* what, const Record& record) {
  static_assert(sizeof(Record) % 4 == 0 && sizeof(Record) <= 64);
  uint32_t words[sizeof(Record) / 4];
  std::memcpy(words, &record, sizeof record);
  return callWords(fn, what, words, sizeof(Record) / 4);
}

// A pointer result as the pointer it is.
template <typename T>
T* pointer(int32_t result) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(static_cast<uint32_t>(result)));
}

}  // namespace host32
