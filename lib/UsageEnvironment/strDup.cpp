#include "strDup.hh"

#include <cstring>

char* strDup(char const* str) {
  if (str == nullptr) return nullptr;
  size_t len = std::strlen(str) + 1;
  char* copy = new char[len];
  std::memcpy(copy, str, len);
  return copy;
}
