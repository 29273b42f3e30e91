/* string.h -- the memory and text calls of msvcrt.dll a consumer built without a C runtime of
   its own uses (the compiler may call memset and memcpy itself). */
#ifndef CONSUMER_NOCRT_STRING_H
#define CONSUMER_NOCRT_STRING_H

typedef __SIZE_TYPE__ size_t;

void* memset(void* target, int value, size_t count);
void* memcpy(void* target, const void* source, size_t count);
int memcmp(const void* a, const void* b, size_t count);
size_t strlen(const char* text);
int strcmp(const char* a, const char* b);
int strncmp(const char* a, const char* b, size_t count);
char* strcpy(char* target, const char* source);
char* strcat(char* target, const char* source);

#endif
