#pragma once

// File-name ending of loadable modules on this platform: module base names are kept and only the
// suffix differs between platforms.
#ifdef _WIN32
inline constexpr char kQORModuleSuffix[] = ".dll";
#else
inline constexpr char kQORModuleSuffix[] = ".so";
#endif
