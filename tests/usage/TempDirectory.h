#pragma once

#include "support/TempFolder.h"

namespace quorvin::test {
using TempDirectory = TempFolder;
}  // namespace quorvin::test
