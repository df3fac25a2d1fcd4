#pragma once

#include "support/Coroutines.h"
