#include "render/TapeBuilder.h"  // IWYU pragma: export
