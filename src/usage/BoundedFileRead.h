#pragma once

// The one bounded whole-file read lives with the other file primitives.
#include "platform/BoundedFileRead.h"
