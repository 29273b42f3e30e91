#include <gtest/gtest.h>
#include <cstdint>
#if defined(__i386__)
static int32_t __attribute__((stdcall)) f(int32_t a, int32_t b) { return a - b; }
#else
static int32_t f(int32_t a, int32_t b) { return a - b; }
#endif
TEST(Smoke, Works) { EXPECT_EQ(f(5, 3), 2); EXPECT_EQ(sizeof(void*) == 4, SUITE_IS32); }
