#pragma once
// Buffers of 2 MiB and more, recycled within the process.
//
// On this kind of virtual machine memory handed back to the system is
// reclaimed by the host within seconds, and touching it again costs page
// faults that run ten to fifty times slower than a copy into memory in use.
// A save allocates the same buffer sizes every time (shadow copies,
// compressed payloads, deltas), so freed buffers are kept for the next
// request of the same size class instead of being unmapped. The idle ones
// are bounded by a quarter of physical memory; beyond that a freed buffer
// goes back to the system at once.
//
// Buffers are aligned to 2 MiB and advised to use huge pages. All functions
// are safe to call from any thread.

#include <cstddef>

namespace tarnwick {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// At least bytes (rounded up to a multiple of 2 MiB) of uninitialised memory;
// throws std::bad_alloc like operator new.
void* take_large_buffer(std::size_t bytes);

// Returns a buffer from take_large_buffer with the same bytes argument.
void give_back_large_buffer(void* buffer, std::size_t bytes) noexcept;

// Frees every idle buffer; the bytes they held.
std::size_t release_idle_large_buffers() noexcept;

// Bytes held by idle buffers right now.
std::size_t idle_large_buffer_bytes() noexcept;

}  // namespace tarnwick
