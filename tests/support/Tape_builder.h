#include "render/Tape_builder.h"  // IWYU pragma: export
