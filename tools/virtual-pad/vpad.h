// SPDX-License-Identifier: MIT
// The virtual pad's library whole, for the tool, the tests and the
// benchmark: see pad.h for what each part does.
#pragma once

#include "isolate.h"
#include "launch.h"
#include "pacing.h"
#include "pad.h"
#include "proc.h"
#include "signals.h"
