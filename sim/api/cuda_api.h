// The driver API exactly as NVIDIA's cuda.h declares it.  Including it makes
// the compiler check every exported definition's signature and every result
// and attribute value against the real library; the declarations get default
// visibility so that the definitions in this folder are the library's
// exported symbols (everything else is built hidden).
#pragma once

#pragma GCC visibility push(default)
#include <cuda.h>
#pragma GCC visibility pop
