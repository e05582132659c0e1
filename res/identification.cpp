#include "res/identification.h"

#include "res/version.h"  // generated from the project's version

// Three fields back to back: marker, token, marker, NUL (52 bytes); the
// product name "自安装程序" in code page 936 and a NUL (11 bytes); the version
// text and a NUL (14 bytes). Not const, so it lands in initialised data
// rather than read-only data, and marked used so no optimisation drops it.
#define ID_MARKER "HowAreYou"
#define ID_TOKEN "Q7m2Xv9KpL4tR8wZc3Nb6Hd1Jf5Gs0Ya!"
#define ID_PRODUCT "\xD7\xD4\xB0\xB2\xD7\xB0\xB3\xCC\xD0\xF2"
#define ID_VERSION SELFUPDATE_VERSION_TEXT

static_assert(sizeof(ID_TOKEN) - 1 == 33, "token is 33 characters");
static_assert(sizeof(ID_PRODUCT) - 1 == 10, "product name is 10 bytes");
static_assert(sizeof(ID_VERSION) - 1 == 13, "version text is 13 characters");

__attribute__((used)) char selfupdate_identification[kIdentificationBlockSize] =
    ID_MARKER ID_TOKEN ID_MARKER "\0" ID_PRODUCT "\0" ID_VERSION;
// The array's size leaves room for exactly the final NUL of the version.
static_assert(sizeof(ID_MARKER ID_TOKEN ID_MARKER "\0" ID_PRODUCT "\0" ID_VERSION) ==
                  kIdentificationBlockSize,
              "identification block is 77 bytes");
