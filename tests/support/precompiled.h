// The library headers most test files include, parsed once per build for all tests
// (LUMORA_PRECOMPILE); the program's own set and GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "../../cmake/precompiled.h"
