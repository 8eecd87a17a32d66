// This machine's ceilings for the work a save and a load do, measured on the
// caller's own bytes: zstd compression and decompression of independent
// 4 MiB frames on every hardware thread, a two-thread memcpy into memory
// that was touched before and, once, into memory this process never touched
// (what any load pays for the buffers it returns), and writing the compressed bytes to a new file in
// DIR with fsync. Every buffer is allocated and touched once before the
// clock starts, so the figures are the floors the benchmark compares
// against, not first-touch page faults.
//
// Usage: tarnwick_machine_limits FILE LEVEL REPS DIR
// Prints one JSON object with the median seconds of REPS runs of each.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kFrame = 4u << 20;

using Clock = std::chrono::steady_clock;

double median_seconds(int reps, const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < reps; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Runs work(frame) for every frame index on `threads` threads, each taking
// the next frame from a shared counter.
void for_each_frame(std::size_t frames, unsigned threads,
                    const std::function<void(std::size_t, unsigned)>& work) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (std::size_t f; (f = next.fetch_add(1)) < frames;) work(f, t);
    });
  }
  for (std::thread& thread : pool) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FILE LEVEL REPS DIR\n", argv[0]);
    return 2;
  }
  const int level = std::atoi(argv[2]);
  const int reps = std::max(1, std::atoi(argv[3]));
  std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const std::size_t size = static_cast<std::size_t>(file.tellg());
  std::vector<char> input(size);
  file.seekg(0);
  file.read(input.data(), static_cast<std::streamsize>(size));

  // Before anything else has been freed for reuse: huge-page advice as the
  // library's own large buffers have, two threads.
  constexpr std::size_t huge = std::size_t{2} << 20;
  double fresh_fill_s = 0;
  {
    void* fresh = ::operator new(size, std::align_val_t{huge});
    ::madvise(fresh, size & ~std::size_t{4095}, MADV_HUGEPAGE);
    char* target = static_cast<char*>(fresh);
    fresh_fill_s = median_seconds(1, [&] {
      const std::size_t half = size / 2;
      std::thread other([&] { std::memcpy(target, input.data(), half); });
      std::memcpy(target + half, input.data() + half, size - half);
      other.join();
    });
    ::operator delete(fresh, std::align_val_t{huge});
  }

  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t frames = (size + kFrame - 1) / kFrame;
  auto frame_size = [&](std::size_t f) { return std::min(kFrame, size - f * kFrame); };

  const std::size_t bound = ZSTD_compressBound(kFrame);
  std::vector<char> compressed(frames * bound, 1);
  std::vector<std::size_t> compressed_sizes(frames);
  std::vector<ZSTD_CCtx*> cctx(threads);
  std::vector<ZSTD_DCtx*> dctx(threads);
  for (unsigned t = 0; t < threads; ++t) {
    cctx[t] = ZSTD_createCCtx();
    dctx[t] = ZSTD_createDCtx();
  }
  std::atomic<bool> failed{false};
  auto compress_all = [&] {
    for_each_frame(frames, threads, [&](std::size_t f, unsigned t) {
      const std::size_t n = ZSTD_compressCCtx(cctx[t], compressed.data() + f * bound, bound,
                                              input.data() + f * kFrame, frame_size(f), level);
      if (ZSTD_isError(n)) failed = true;
      compressed_sizes[f] = n;
    });
  };
  std::vector<char> output(size, 1);
  auto decompress_all = [&] {
    for_each_frame(frames, threads, [&](std::size_t f, unsigned t) {
      const std::size_t n = ZSTD_decompressDCtx(dctx[t], output.data() + f * kFrame, frame_size(f),
                                                compressed.data() + f * bound, compressed_sizes[f]);
      if (ZSTD_isError(n) || n != frame_size(f)) failed = true;
    });
  };
  auto copy_two_threads = [&] {
    const std::size_t half = size / 2;
    std::thread other([&] { std::memcpy(output.data(), input.data(), half); });
    std::memcpy(output.data() + half, input.data() + half, size - half);
    other.join();
  };

  compress_all();  // warm every context and output page once
  const double compress_s = median_seconds(reps, compress_all);
  decompress_all();
  const double decompress_s = median_seconds(reps, decompress_all);
  if (std::memcmp(output.data(), input.data(), size) != 0) failed = true;
  const double memcpy_s = median_seconds(reps, copy_two_threads);

  // The compressed frames back to back, as a pack holds them.
  std::uint64_t compressed_total = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    std::memmove(compressed.data() + compressed_total, compressed.data() + f * bound,
                 compressed_sizes[f]);
    compressed_total += compressed_sizes[f];
  }
  const std::string path = std::string(argv[4]) + "/machine-limits-write.tmp";
  // A new file of size bytes from data in 8 MiB writes, then fsync.
  auto write_and_sync = [&](const char* data, std::size_t size, int extra_flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | extra_flags, 0600);
    std::size_t done = 0;
    constexpr std::size_t kChunk = std::size_t{8} << 20;
    while (fd >= 0 && done < size) {
      const ssize_t n = ::pwrite(fd, data + done, std::min(kChunk, size - done), static_cast<off_t>(done));
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (fd < 0 || done != size || ::fsync(fd) != 0) failed = true;
    if (fd >= 0) ::close(fd);
    ::unlink(path.c_str());
  };
  const double write_s =
      median_seconds(reps, [&] { write_and_sync(compressed.data(), compressed_total, 0); });

  // The same bytes written around the page cache, from an aligned buffer,
  // padded to whole blocks, as the local store writes durable objects.
  const std::size_t direct_total = (compressed_total + 4095) / 4096 * 4096;
  void* aligned = ::operator new(direct_total, std::align_val_t{huge});
  std::memset(aligned, 0, direct_total);
  std::memcpy(aligned, compressed.data(), compressed_total);
  const double direct_write_s = median_seconds(
      reps, [&] { write_and_sync(static_cast<const char*>(aligned), direct_total, O_DIRECT); });
  ::operator delete(aligned, std::align_val_t{huge});
  for (unsigned t = 0; t < threads; ++t) {
    ZSTD_freeCCtx(cctx[t]);
    ZSTD_freeDCtx(dctx[t]);
  }
  if (failed) {
    std::fprintf(stderr, "zstd or the write test failed\n");
    return 1;
  }
  std::printf(
      "{\"bytes\": %zu, \"threads\": %u, \"frame_bytes\": %zu, \"level\": %d, "
      "\"compressed_bytes\": %llu, \"compress_s\": %.6f, \"decompress_s\": %.6f, "
      "\"memcpy_threads\": 2, \"memcpy_s\": %.6f, \"fresh_memcpy_s\": %.6f, \"write_fsync_s\": %.6f, "
      "\"direct_write_fsync_s\": %.6f}\n",
      size, threads, kFrame, level, static_cast<unsigned long long>(compressed_total), compress_s,
      decompress_s, memcpy_s, fresh_fill_s, write_s, direct_write_s);
  return 0;
}
