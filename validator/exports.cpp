// exports.cpp -- the export layer: TBTabrel with C linkage and the Windows calling convention.
#include <cstddef>

#include "validator/tabrel32.h"
#include "validator/validation.h"

// Ten 32-bit words on 32-bit targets; the same order with 8-byte pointers on x86_64.
static_assert(offsetof(ValidationRequest, declaredCrcOffset) == 5 * sizeof(void*));
static_assert(offsetof(ValidationRequest, systemTag) == 5 * sizeof(void*) + 8);
static_assert(sizeof(void*) != 4 || sizeof(ValidationRequest) == 40);
static_assert(sizeof(void*) != 8 || sizeof(ValidationRequest) == 72);

extern "C" {

TABREL_EXPORT std::int32_t TABREL_CALL TBTabrel(ValidationRequest request) {
  return tabrel::runValidation(request);
}

#if !defined(_WIN32)
// On Windows the .def file gives the entry its other names.
TABREL_EXPORT std::int32_t TABREL_CALL TBTABREL(ValidationRequest request) __attribute__((alias("TBTabrel")));
#endif

}  // extern "C"
