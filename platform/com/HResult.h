#pragma once

#include <cstdint>

namespace kora486 {

/// A COM status code: negative values are failures.
using HResult = int32_t;

inline constexpr HResult S_OK = 0;
inline constexpr HResult E_NOTIMPL = static_cast<HResult>(0x80004001u);
inline constexpr HResult E_POINTER = static_cast<HResult>(0x80004003u);
inline constexpr HResult DISP_E_EXCEPTION = static_cast<HResult>(0x80020009u);

inline constexpr bool Succeeded(HResult result) {
    return result >= 0;
}

}  // namespace kora486
