/* stdio.h -- the few stream calls of msvcrt.dll a consumer built without a C runtime of its own
   uses; FILE is that runtime's, the one the DLLs use. */
#ifndef CONSUMER_NOCRT_STDIO_H
#define CONSUMER_NOCRT_STDIO_H

typedef __SIZE_TYPE__ size_t;
typedef struct _iobuf FILE;

FILE* fopen(const char* path, const char* mode);
size_t fread(void* buffer, size_t size, size_t count, FILE* stream);
size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream);
int fclose(FILE* stream);
int remove(const char* path);
int printf(const char* format, ...);

#endif
