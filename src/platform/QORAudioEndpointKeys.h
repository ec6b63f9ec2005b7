#pragma once

#include "platform/QORPropertyKey.h"

// Properties the system keeps in every audio endpoint's property store.

// The first two are the system's own on Windows.
#ifndef _WIN32
// The endpoint's GUID as text in braces: the last part of its device id.
constexpr PROPERTYKEY PKEY_AudioEndpoint_GUID = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 4};
// 1 in its low 16 bits while the user has switched the endpoint's effects off.
constexpr PROPERTYKEY PKEY_AudioEndpoint_Disable_SysFx = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};
#endif
// The name of the device interface the endpoint belongs to (the adapter, e.g. "USB Audio Device"),
// as the endpoint's store keeps it beside the description (PKEY_Device_DeviceDesc).
constexpr PROPERTYKEY PKEY_AudioEndpoint_InterfaceName = {
    {0xb3f8fa53, 0x0004, 0x438e, {0x90, 0x03, 0x51, 0xa4, 0x6e, 0x13, 0x9b, 0xfc}}, 6};
