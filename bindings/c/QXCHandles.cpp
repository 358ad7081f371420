#include "bindings/c/QXCHandles.h"

uintptr_t QXCNewToken() noexcept {
  // Aligned and above the first page, as an address would be, so that a
  // binding that checks handles for alignment takes them; at 2^60 handles
  // a 64-bit process never wraps.
  static std::atomic<uintptr_t> next{1};
  return 0x10000 + next.fetch_add(1, std::memory_order_relaxed) * 16;
}
