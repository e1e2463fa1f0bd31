// The shared test helpers the daemon's tests use: temporary directory, files and log capture.
#pragma once

#include <test_files.h>
#include <test_log.h>
#include <test_temp_dir.h>

#include <gtest/gtest.h>

namespace ZyldTest {

using TestSupport::LogCapture;
using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

}  // namespace ZyldTest
