#ifndef OSTRA_STRDUP_HH
#define OSTRA_STRDUP_HH

#include <cstddef>

// A copy of 'str' allocated with new[] (release with delete[]); null for null.
char* strDup(char const* str);

#endif
