#pragma once

#include <cstdint>

#include "platform/QORSystemTypes.h"

// The two hives the host uses.
enum class QORRegistryHive { kLocalMachine, kClassesRoot };

// The system's value types and access rights (these are its values).
#ifndef _WIN32
// Value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

// Access rights of an open key.
constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr uint32_t KEY_NOTIFY = 0x0010;
constexpr uint32_t KEY_CREATE_LINK = 0x0020;
// The view flags are accepted and have no effect: there is one view.
constexpr uint32_t KEY_WOW64_64KEY = 0x0100;
constexpr uint32_t KEY_WOW64_32KEY = 0x0200;
constexpr uint32_t KEY_READ = 0x00020019;
constexpr uint32_t KEY_WRITE = 0x00020006;
constexpr uint32_t KEY_EXECUTE = KEY_READ;
constexpr uint32_t KEY_ALL_ACCESS = 0x000F003F;
#endif

// Access rights of our own, for the key's standard rights.
constexpr uint32_t KEY_DELETE = 0x00010000;
constexpr uint32_t KEY_READ_CONTROL = 0x00020000;
constexpr uint32_t KEY_MAXIMUM_ALLOWED = 0x02000000;
constexpr uint32_t KEY_GENERIC_ALL = 0x10000000;
constexpr uint32_t KEY_GENERIC_WRITE = 0x40000000;
constexpr uint32_t KEY_GENERIC_READ = 0x80000000;

// Limits of names, in characters.
constexpr uint32_t kQORRegistryMaxKeyNameChars = 255;
constexpr uint32_t kQORRegistryMaxValueNameChars = 16383;

#ifndef _WIN32
// What a change notification reports (combinable).
constexpr uint32_t REG_NOTIFY_CHANGE_NAME = 0x1;        // a subkey was added or removed
constexpr uint32_t REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;  // the key's attributes, its access included
constexpr uint32_t REG_NOTIFY_CHANGE_LAST_SET = 0x4;    // a value was set or deleted
constexpr uint32_t REG_NOTIFY_CHANGE_SECURITY = 0x8;    // who may open the key and how
#endif
