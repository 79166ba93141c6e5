// Internal routines and variables of kvrio that tests reach through the link map (demangled names).
#pragma once

namespace kvrtest::kvrio_sym {
inline constexpr const char* tsclow = "kvr::uchrono::tsclow";
inline constexpr const char* tschigh = "kvr::uchrono::tschigh";
inline constexpr const char* tscstart = "kvr::uchrono::tscstart";
inline constexpr const char* tscend = "kvr::uchrono::tscend";
inline constexpr const char* tscspan = "kvr::uchrono::tscspan";
inline constexpr const char* ticksperus = "kvr::uchrono::ticksperus";
inline constexpr const char* loopspermicro = "kvr::delay::loopspermicro";
inline constexpr const char* emptycall = "kvr::delay::emptycall()";
inline constexpr const char* delayus = "kvr::delay::delayus(int)";
}  // namespace kvrtest::kvrio_sym
