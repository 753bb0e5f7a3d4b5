// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/version.h"

// The build defines AF_VERSION for this file only, so a new version rebuilds one file.
#ifndef AF_VERSION
#error "AF_VERSION is defined by src/CMakeLists.txt from the project's version"
#endif

namespace af {

const char* program_version() { return AF_VERSION; }

}  // namespace af
