#ifndef OSTRA_BOOLEAN_HH
#define OSTRA_BOOLEAN_HH

// The library's truth type. Plain bool; the names keep the library's conventions.
typedef bool Boolean;
constexpr Boolean True = true;
constexpr Boolean False = false;

#endif
