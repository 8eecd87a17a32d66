#include "encoding/load_pipeline.h"

#include <limits>
#include <utility>

#include "encoding/buffer.h"
#include "encoding/cast.h"
#include "encoding/compression.h"
#include "encoding/delta.h"
#include "encoding/hash.h"
#include "encoding/shuffle.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

// Whether [offset, offset + size) can lie inside any object: a damaged
// record must fall back to its filename, not ask the store for a range no
// file offset can express.
bool addressable(std::uint64_t offset, std::uint64_t size) {
  constexpr std::uint64_t kLargestObject = std::numeric_limits<std::int64_t>::max();
  return size <= kLargestObject && offset <= kLargestObject - size;
}

Result<void> check_hash(ByteSpan bytes, const std::string& expected) {
  std::string got = hash_hex(bytes);
  if (got != expected) return Err(TarnwickError::integrity_check(expected, std::move(got)));
  return {};
}

// The bytes of a Skipped or DeltaXor record's counterpart in the base,
// written into out.
Result<void> load_base_into(const ResolvedBase& base, const LoadContext& context,
                            MutableByteSpan out) {
  return load_tensor_raw_into(base.entry, std::nullopt, base.compression, base.pack_file, context,
                              out);
}

}  // namespace

Result<Bytes> extract_compressed(const TensorEntry& entry,
                                 const std::optional<std::string>& pack_file,
                                 StorageBackend& storage) {
  if (pack_file && addressable(entry.offset, entry.compressed_size)) {
    TRY(Bytes range, storage.get_range(*pack_file, entry.offset, entry.compressed_size));
    if (range.size() == entry.compressed_size) return range;
  }
  if (!entry.filename) {
    return Err(TarnwickError::checkpoint_not_found("No filename for tensor '" + entry.name + "'"));
  }
  TRY(Bytes object, storage.get(*entry.filename));
  if (entry.compressed_size != 0 && entry.compressed_size <= object.size()) {
    object.resize(entry.compressed_size);
  }
  return object;
}

Result<ResolvedBase> resolve_base_entry(const Uuid& base_id, const std::string& name,
                                        const LoadContext& context) {
  std::string current = name;
  for (int lookups = 1;; ++lookups) {
    ResolvedBase found;
    if (context.base_view != nullptr && context.base_view->snapshot_id == base_id) {
      const BaseView& view = *context.base_view;
      auto it = view.entries.find(current);
      if (it == view.entries.end()) {
        return Err(TarnwickError::checkpoint_not_found(
            "Tensor '" + current + "' not in base snapshot " + base_id.to_string()));
      }
      found = {it->second, view.compression, view.pack_file};
    } else {
      TRY(BaseRecord record, context.lookup(base_id, current));
      found = {std::move(record.entry), record.compression, std::move(record.pack_file)};
    }
    if (found.entry.storage != TensorStorage::Alias) return found;
    if (!found.entry.alias_of) {
      return Err(TarnwickError::checkpoint_not_found("Alias '" + current +
                                                     "' in the base has no target"));
    }
    if (lookups == kMaxBaseLookups) {
      return Err(TarnwickError::delta("Alias chain starting at '" + name + "' in base snapshot " +
                                      base_id.to_string() + " does not end"));
    }
    current = *found.entry.alias_of;
  }
}

Result<void> load_tensor_raw_into(const TensorEntry& entry, const std::optional<Uuid>& base_id,
                                  CompressionAlgo compression,
                                  const std::optional<std::string>& pack_file,
                                  const LoadContext& context, MutableByteSpan out) {
  switch (entry.storage) {
    case TensorStorage::Full: {
      TRY(const Bytes stored, extract_compressed(entry, pack_file, context.storage));
      if (entry.hash_compressed) {
        TRY_VOID(check_hash(stored, *entry.hash_compressed));
      }
      return decompress_into(stored, compression, out);
    }
    case TensorStorage::DeltaXor: {
      Bytes delta;
      {
        TRY(const Bytes stored, extract_compressed(entry, pack_file, context.storage));
        TRY(delta, allocate_output(out.size()));
        TRY_VOID(decompress_into(stored, compression, delta));
      }
      if (!base_id) {
        return Err(TarnwickError::delta("Delta tensor '" + entry.name + "' has no base snapshot"));
      }
      TRY(const ResolvedBase base, resolve_base_entry(*base_id, entry.name, context));
      if (base.entry.raw_size != delta.size()) {
        return Err(lengths_differ(base.entry.raw_size, delta.size()));
      }
      TRY_VOID(load_base_into(base, context, out));
      if (entry.shuffled) {
        TRY_VOID(apply_shuffled_delta_in_place(out, delta, element_size(entry.dtype)));
      } else {
        TRY_VOID(apply_delta_in_place(out, delta));
      }
      return check_hash(out, entry.hash_raw);
    }
    case TensorStorage::Skipped: {
      if (!base_id) {
        return Err(TarnwickError::delta("Tensor '" + entry.name +
                                        "' is skipped but snapshot has no base"));
      }
      TRY(const ResolvedBase base, resolve_base_entry(*base_id, entry.name, context));
      return load_base_into(base, context, out);
    }
    case TensorStorage::Alias:
      break;
  }
  return Err(TarnwickError::checkpoint_not_found(
      "Tensor '" + entry.name + "' is an alias of '" + entry.alias_of.value_or("?") +
      "' and must be resolved after the snapshot's other tensors"));
}

Result<Bytes> load_tensor_raw(const TensorEntry& entry, const std::optional<Uuid>& base_id,
                              CompressionAlgo compression,
                              const std::optional<std::string>& pack_file,
                              const LoadContext& context) {
  TRY(Bytes raw, allocate_output(entry.raw_size));
  TRY_VOID(load_tensor_raw_into(entry, base_id, compression, pack_file, context, raw));
  return raw;
}

Result<std::uint64_t> loaded_size(const TensorEntry& entry) {
  return cast_back_size(entry.raw_size, entry.dtype, entry.original_dtype, entry.quant_scale);
}

Result<void> load_in_pool(std::span<const LoadTarget> targets, const LoadContext& context) {
  return parallel_for(targets.size(), [&](std::size_t i) -> Result<void> {
    const TensorEntry& record = *targets[i].record;
    if (!cast_back_applies(record.dtype, record.original_dtype)) {
      return load_tensor_raw_into(record, context.base_snapshot_id, context.compression,
                                  context.pack_file, context, targets[i].bytes);
    }
    TRY(const Bytes raw, load_tensor_raw(record, context.base_snapshot_id, context.compression,
                                         context.pack_file, context));
    return cast_back_into(raw, record.dtype, record.original_dtype, record.quant_scale,
                          targets[i].bytes);
  });
}

}  // namespace tarnwick
