// host.h -- what the host test programs share: checks with a pass/fail count,
// a library loaded at run time as a host application loads it, and calls
// through its exports.
//
// One program per library is built for every target: 32-bit Windows (run
// under wine in the emulated machine), 64-bit Windows (wine64), and Linux
// (x86_64, i386 under qemu, and the sanitizer build), where the library is
// the shared object libNAME.so. Ordinals exist only in the Windows DLLs.
//
// On 32-bit x86 every export is stdcall: the called function removes its
// arguments. A host compiled against the right declaration would not notice a
// library that removes too few or too many bytes until its own stack frame
// came apart, so there a call pushes the arguments itself, calls the export,
// and compares the stack pointer afterwards with its value before the pushes.
// Elsewhere there is one calling convention and the export is called through
// a pointer of its declared type.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace host {

#if defined(_WIN32)
constexpr bool kOrdinals = true;
constexpr char kSeparator = '\\';
#else
constexpr bool kOrdinals = false;
constexpr char kSeparator = '/';
#endif

#if defined(__i386__)
constexpr bool kMeasuredCalls = true;
#else
constexpr bool kMeasuredCalls = false;
#endif

// Counts and prints one check ("ok   what" or "FAIL what").
void check(bool ok, const std::string& what);

// Prints the totals (and, on 32-bit x86, how many export calls were measured)
// and returns the program's exit status: 0 when nothing failed.
int finish();

// The environment variable, or "".
std::string env(const char* name);

// A library loaded as a host loads it: NAME.dll from the program's folder on
// Windows, libNAME.so through the program's run path elsewhere.
class Library {
 public:
  explicit Library(const std::string& name);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& file() const { return file_; }
  // The export of that name, or null.
  void* byName(const char* name) const;
  // The export of that ordinal (Windows), or null.
  void* byOrdinal(int ordinal) const;

 private:
  std::string file_;
  void* handle_ = nullptr;
};

// A folder NAME in the current folder for the program's files, made at the
// start and removed (when empty) at the end; a full path on Windows, with its
// drive letter.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& name);
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the folder.
  std::string file(const std::string& name) const { return path_ + kSeparator + name; }

 private:
  std::string path_;
};

void removeFile(const std::string& path);

// On 32-bit x86: calls fn with `count` 32-bit words as its stack arguments
// (words[0] lowest, as a C caller lays them out) and returns what it left in
// EAX. A call that does not leave the stack pointer where it was before the
// pushes is a failure, reported with `what` and the difference in bytes.
std::int32_t callWords(void* fn, const char* what, const std::uint32_t* words, std::uint32_t count);

// One argument as the 32-bit stack words a caller pushes for it: an integer or
// a pointer in one word, a record passed by value in as many as it fills.
template <typename T>
void pushWords(std::vector<std::uint32_t>& words, const T& value) {
  if constexpr (std::is_pointer_v<T>) {
    words.push_back(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value)));
  } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
    words.push_back(0);
  } else if constexpr (std::is_integral_v<T>) {
    static_assert(sizeof(T) <= 4, "32-bit integers at most");
    words.push_back(static_cast<std::uint32_t>(value));
  } else {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % 4 == 0 && sizeof(T) <= 64,
                  "a record passed by value: whole words");
    std::uint32_t record[sizeof(T) / 4];
    std::memcpy(record, &value, sizeof value);
    words.insert(words.end(), record, record + sizeof(T) / 4);
  }
}

// An export of a library with the type of its declaration in the library's
// header: Export<decltype(&LBConnect)> connect(library, "LBConnect");
// connect(...) then calls it (measured on 32-bit x86). A missing export is a
// failed check, and calling it returns a zero value.
template <typename Fn>
class Export {
 public:
  Export(const Library& library, const char* name) : name_(name), address_(library.byName(name)) {}

  const char* name() const { return name_; }
  void* address() const { return address_; }

  template <typename... Args>
  std::invoke_result_t<Fn, Args...> operator()(Args... args) const {
    using Result = std::invoke_result_t<Fn, Args...>;
    if (address_ == nullptr) {
      check(false, std::string(name_) + ": no such export");
      if constexpr (!std::is_void_v<Result>)
        return Result{};
      else
        return;
    }
    if constexpr (kMeasuredCalls) {
      std::vector<std::uint32_t> words;
      (pushWords(words, args), ...);
      const std::int32_t eax =
          callWords(address_, name_, words.data(), static_cast<std::uint32_t>(words.size()));
      if constexpr (std::is_pointer_v<Result>) {
        return reinterpret_cast<Result>(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(eax)));
      } else if constexpr (!std::is_void_v<Result>) {
        return static_cast<Result>(eax);
      }
    } else {
      Fn fn;
      static_assert(sizeof fn == sizeof address_);
      std::memcpy(&fn, &address_, sizeof fn);
      return fn(args...);
    }
  }

 private:
  const char* name_;
  void* address_;
};

// A pointer whose every byte is `fill`, as a record filled with memset holds it.
template <typename T>
T* filledPointer(unsigned char fill) {
  T* pointer;
  std::memset(&pointer, fill, sizeof pointer);
  return pointer;
}

}  // namespace host
