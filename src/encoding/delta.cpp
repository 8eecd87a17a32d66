#include "encoding/delta.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "encoding/blocks.h"
#include "encoding/buffer.h"
#include "encoding/compression.h"
#include "encoding/lanes.h"
#include "encoding/shuffle.h"

namespace tarnwick {
namespace {

constexpr std::size_t kProbeMinBytes = 8192;
constexpr std::size_t kProbeBytes = 65536;

// out[i] = a[i] ^ b[i] for i < n; out may be b. With stream, out is 32-byte
// aligned and written with streaming stores.
void xor_into(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::size_t n,
              bool stream = false) {
  std::size_t i = 0;
  for (; i + sizeof(lanes::U32) <= n; i += sizeof(lanes::U32)) {
    lanes::store(out + i, lanes::load<lanes::U32>(a + i) ^ lanes::load<lanes::U32>(b + i), stream);
  }
  for (; i < n; ++i) out[i] = a[i] ^ b[i];
  if (stream) _mm_sfence();
}

// out = a XOR b over the whole length, in parallel blocks; out may be b.
void xor_parallel(ByteSpan a, const std::uint8_t* b, std::uint8_t* out) {
  const bool stream = lanes::streams(out, a.size());
  for_each_block(a.size(), kBlockBytes, [&](std::size_t begin, std::size_t end) {
    lanes::vectorized([&] { xor_into(a.data() + begin, b + begin, out + begin, end - begin, stream); });
  });
}

}  // namespace

TarnwickError lengths_differ(std::size_t base, std::size_t delta) {
  return TarnwickError::delta("base length " + std::to_string(base) + " != delta length " +
                              std::to_string(delta));
}

Result<Bytes> xor_bytes(ByteSpan a, ByteSpan b) {
  if (a.size() != b.size()) return Err(TarnwickError::delta("xor_bytes requires equal lengths"));
  TRY(Bytes out, allocate_output(a.size()));
  xor_parallel(a, b.data(), out.data());
  return out;
}

Result<Bytes> apply_delta(ByteSpan base, ByteSpan delta) {
  if (base.size() != delta.size()) return Err(lengths_differ(base.size(), delta.size()));
  return xor_bytes(base, delta);
}

Result<Bytes> apply_delta(ByteSpan base, Bytes&& delta) {
  if (base.size() != delta.size()) return apply_delta(base, ByteSpan(delta));
  Bytes out = std::move(delta);
  xor_parallel(base, out.data(), out.data());
  return out;
}

Result<void> apply_delta_in_place(MutableByteSpan base, ByteSpan delta) {
  if (base.size() != delta.size()) return Err(lengths_differ(base.size(), delta.size()));
  xor_parallel(delta, base.data(), base.data());
  return {};
}

Result<void> apply_shuffled_delta_in_place(MutableByteSpan base, ByteSpan shuffled_delta,
                                           std::size_t n) {
  const ByteSpan delta = shuffled_delta;
  if (base.size() != delta.size()) return Err(lengths_differ(base.size(), delta.size()));
  if (n < 2 || delta.size() < n) return apply_delta_in_place(base, delta);  // stored unshuffled
  const std::size_t count = delta.size() / n;
  const std::size_t whole = count * n;
  xor_into(delta.data() + whole, base.data() + whole, base.data() + whole, delta.size() - whole);
  // Blocks of about kBlockBytes, in whole steps of 32 elements as the
  // shuffle kernels prefer.
  const std::size_t block = std::max(kBlockBytes / n / 32, std::size_t{1}) * 32;
  std::atomic<bool> out_of_memory{false};
  for_each_block(count, block, [&](std::size_t begin, std::size_t end) {
    thread_local std::vector<std::uint8_t> plain;
    const std::size_t size = (end - begin) * n;
    if (plain.size() < size) {
      try {
        plain.resize(size);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
        return;
      }
    }
    unshuffle_range(delta.data(), count, n, begin, end, plain.data());
    std::uint8_t* target = base.data() + begin * n;
    lanes::vectorized([&] { xor_into(plain.data(), target, target, size); });
  });
  if (out_of_memory) return Err(TarnwickError::io(ENOMEM));
  return {};
}

bool buffers_equal(ByteSpan a, ByteSpan b) {
  if (a.size() != b.size()) return false;
  std::atomic<bool> differ{false};
  for_each_block(a.size(), kBlockBytes, [&](std::size_t begin, std::size_t end) {
    if (differ.load(std::memory_order_relaxed)) return;
    if (std::memcmp(a.data() + begin, b.data() + begin, end - begin) != 0) {
      differ.store(true, std::memory_order_relaxed);
    }
  });
  return !differ.load();
}

bool pays_off(ByteSpan base, ByteSpan new_bytes, CompressionAlgo algo, std::size_t element_bytes,
              double max_ratio) {
  const std::size_t n = std::min(base.size(), new_bytes.size());
  if (n < kProbeMinBytes) return true;
  const std::size_t size = std::min(n, kProbeBytes);
  Bytes x(size);
  xor_into(base.data(), new_bytes.data(), x.data(), size);
  if (element_bytes > 1) {
    Result<Bytes> shuffled = shuffle(x, element_bytes);
    if (!shuffled) return true;
    x = std::move(*shuffled);
  }
  const Result<Bytes> as_delta = compress(x, algo);
  const Result<Bytes> as_full = compress(new_bytes.first(size), algo);
  if (!as_delta || !as_full || as_full->empty()) return true;
  return max_ratio * static_cast<double>(as_full->size()) > static_cast<double>(as_delta->size());
}

}  // namespace tarnwick
