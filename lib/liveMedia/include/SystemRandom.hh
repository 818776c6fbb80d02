#ifndef OSTRA_SYSTEM_RANDOM_HH
#define OSTRA_SYSTEM_RANDOM_HH

#include <cstddef>

// Unpredictable bytes for what an outsider must not guess (session ids,
// Digest nonces), from the kernel's random source: getrandom(2) without
// blocking, or /dev/urandom on a kernel that has no getrandom. Returns false
// when the source cannot give them now (its pool is not yet initialised
// after boot, or the call failed); 'buf' then holds nothing usable and the
// caller must refuse what it was about to do.
bool systemRandomBytes(void* buf, size_t size);

// For tests: replaces the kernel's source with 'source' (null puts the
// kernel's back).
using SystemRandomSource = bool (*)(void* buf, size_t size);
void setSystemRandomSourceForTesting(SystemRandomSource source);

#endif
