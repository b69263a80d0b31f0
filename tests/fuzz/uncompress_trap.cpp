// Linked into the fuzz binary with -Wl,--wrap=uncompress when id3lib is
// compiled into it: where unsigned long is wider than 32 bits, id3lib's
// only zlib call hands it a pointer to a 32-bit size and overwrites the
// stack beyond it. zlib is not instrumented, so AddressSanitizer would not
// see that write; reaching the call at all is the fault, and stops the run.
#include <zlib.h>

extern "C" int __real_uncompress(Bytef* dest, uLongf* destLen, const Bytef* source,
                                 uLong sourceLen);

extern "C" int __wrap_uncompress(Bytef* dest, uLongf* destLen, const Bytef* source,
                                 uLong sourceLen) {
  if constexpr (sizeof(unsigned long) > 4) __builtin_trap();
  return __real_uncompress(dest, destLen, source, sourceLen);
}
