#pragma once

#include "platform/QORPropertyKey.h"

// Properties the system keeps in every audio endpoint's property store.

// The endpoint's GUID as text in braces: the last part of its device id.
constexpr PROPERTYKEY PKEY_AudioEndpoint_GUID = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 4};
// 1 in its low 16 bits while the user has switched the endpoint's effects off.
constexpr PROPERTYKEY PKEY_AudioEndpoint_Disable_SysFx = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};
