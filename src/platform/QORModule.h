#pragma once

// File-name ending of loadable modules on this platform: module base names are kept and only the
// suffix differs between platforms.
inline constexpr char kQORModuleSuffix[] = ".so";
