// Version and build stamp reported by the programs (status reports, --version).
#pragma once

namespace Xadra {

inline constexpr char VERSION[] = "5.0.1-1";
inline constexpr char BUILD_STAMP[] = "2013-09-04 14:19:29+0000";

}  // namespace Xadra
