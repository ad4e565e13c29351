// filled in by its own change
#include "fake_platform.h"
