#pragma once

#include <vector>

#include "settings/PropertyEntry.h"

// Entries in insertion order.
using PropertyList = std::vector<PropertyEntry>;
