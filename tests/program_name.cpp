// The name that prefixes error messages in unit tests of the library.
#include "volume.h"

const char program_name[] = "vistrel";
