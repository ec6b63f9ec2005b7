// The system's interface ids and property keys, defined once for the whole program: its headers
// only declare them.
#define INITGUID
#include "platform/QORComTypes.h"

// The wave-format subtypes, which the headers declare without a definition under any switch.
extern "C" const GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
extern "C" const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
