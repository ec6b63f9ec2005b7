#pragma once

#include <cstdint>
#include <span>

#include "platform/IQORWaitable.h"

// Waits until one of the objects is signalled or timeoutMs passes (kQORInfinite: no limit).
// Returns kQORWaitObject0 + index of the first signalled object (lowest index wins when several
// are), kQORWaitTimeout, or kQORWaitFailed (no objects, a null object, a failed wait).
uint32_t QORWaitForMultiple(std::span<IQORWaitable* const> objects, uint32_t timeoutMs);
uint32_t QORWaitForSingle(IQORWaitable& object, uint32_t timeoutMs);
