#include "runtime/RuntimeCompat.h"
