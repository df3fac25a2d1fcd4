#pragma once

#include "support/TempFolder.h"

namespace quorvin::test {
using TempDir = TempFolder;
}  // namespace quorvin::test
