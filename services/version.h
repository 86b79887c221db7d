// The program's version, written here and nowhere else: the User-Agent line
// carries it, --version prints it, and CMake reads it from this file for the
// project and package version.
#pragma once

#define RAVELOK_VERSION "2.00"
