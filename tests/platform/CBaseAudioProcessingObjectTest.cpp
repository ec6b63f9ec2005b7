// The records cross into the engine and into stored formats: their fields sit where the engine's.
#include <cstddef>

#include "platform/QORAPOTypes.h"
#include "platform/QORWaveFormat.h"

static_assert(offsetof(WAVEFORMATEX, cbSize) == 16 &&
              offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24 &&
              offsetof(APOInitSystemEffects, pDeviceCollection) == 48 &&
              offsetof(APOInitSystemEffects2, AudioProcessingMode) == 64 &&
              offsetof(APOInitSystemEffects2, InitializeForDiscoveryOnly) == 80);
