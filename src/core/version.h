// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace af {

// The program's version ("1.0"): the project's version in CMake, the one number that the
// window, both programs' --version, the package and the manual pages show.
const char* program_version();

}  // namespace af
