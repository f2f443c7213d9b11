// Slots of the small direct-mapped tables that remember answers per object (code objects, file
// names): an object's address, multiplied by 2^64 divided by the golden ratio, spreads addresses
// that differ only in a few middle bits over the whole table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexo::address_slot {

// The slot of `object` in a table of 2^Bits slots.
template <unsigned Bits>
constexpr std::size_t slot_of(const void* object) noexcept {
  static_assert(Bits > 0 && Bits < 64);
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
  return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> (64 - Bits));
}

}  // namespace vexo::address_slot
