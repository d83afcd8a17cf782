// The Windows API as the operating-system layer's Windows sources include
// it: without the rarely used parts, and without the min/max macros that
// would break std::min and std::max.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
