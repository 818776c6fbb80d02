#ifndef OSTRA_STRDUP_HH
#define OSTRA_STRDUP_HH

#include <cstddef>

// A copy of 'str' allocated with new[] (release with delete[]); null for null.
char* strDup(char const* str);
// A new[] buffer as large as 'str' (with its terminator); null for null.
char* strDupSize(char const* str);
char* strDupSize(char const* str, size_t& resultBufSize);

#endif
