// Scale factors shared by the families: the doubles nearest these decimals
// (6.1035e-05 is not 2^-14, 0.01526 is not 500/32768).
#pragma once

namespace palvex {
constexpr double exg_scale = 0.045;
constexpr double accel_scale = 6.1035e-05;
constexpr double gyro_scale = 0.01526;
}  // namespace palvex
