#include "strDup.hh"

#include <cstring>

char* strDup(char const* str) {
  if (str == nullptr) return nullptr;
  size_t len = std::strlen(str) + 1;
  char* copy = new char[len];
  std::memcpy(copy, str, len);
  return copy;
}

char* strDupSize(char const* str) {
  size_t dummy;
  return strDupSize(str, dummy);
}

char* strDupSize(char const* str, size_t& resultBufSize) {
  if (str == nullptr) {
    resultBufSize = 0;
    return nullptr;
  }
  resultBufSize = std::strlen(str) + 1;
  char* copy = new char[resultBufSize];
  copy[0] = '\0';
  return copy;
}
