#pragma once

// The build platform, detected once, as 0/1 macros. Only the platform layer looks at these.
#if defined(_WIN32)
#define SYSTEM_WINDOWS 1
#define SYSTEM_POSIX 0
#elif defined(__unix__) || defined(__APPLE__)
#define SYSTEM_WINDOWS 0
#define SYSTEM_POSIX 1
#else
#error Unknown platform.
#endif
