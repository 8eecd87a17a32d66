#include "encoding/load_pipeline.h"

#include "encoding/cast.h"
#include "encoding/compression.h"
#include "encoding/delta.h"
#include "encoding/hash.h"
#include "encoding/shuffle.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

// Whether [offset, offset + size) lies inside length bytes, without the sum
// overflowing on a damaged record.
bool fits(std::uint64_t offset, std::uint64_t size, std::size_t length) {
  return offset <= length && size <= length - offset;
}

Result<void> check_hash(ByteSpan bytes, const std::string& expected) {
  std::string got = hash_hex(bytes);
  if (got != expected) return Err(TarnwickError::integrity_check(expected, std::move(got)));
  return {};
}

// The bytes of a Skipped or DeltaXor record's counterpart in the base.
Result<Bytes> load_base_bytes(const std::optional<Uuid>& base_id, const TensorEntry& entry,
                              const LoadContext& context) {
  TRY(ResolvedBase base, resolve_base_entry(*base_id, entry.name, context));
  return load_tensor_raw(base.entry, std::nullopt, base.compression, base.pack_bytes.get(),
                         context);
}

}  // namespace

Result<StoredPayload> extract_compressed(const TensorEntry& entry, const Bytes* pack_bytes,
                                         StorageBackend& storage) {
  if (pack_bytes != nullptr && fits(entry.offset, entry.compressed_size, pack_bytes->size())) {
    return StoredPayload(ByteSpan(*pack_bytes).subspan(entry.offset, entry.compressed_size));
  }
  if (!entry.filename) {
    return Err(TarnwickError::checkpoint_not_found("No filename for tensor '" + entry.name + "'"));
  }
  TRY(Bytes object, storage.get(*entry.filename));
  if (entry.compressed_size != 0 && entry.compressed_size <= object.size()) {
    object.resize(entry.compressed_size);
  }
  return StoredPayload(std::move(object));
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
      found = {it->second, view.compression, view.pack_bytes};
    } else {
      TRY(BaseRecord record, context.lookup(base_id, current));
      found.entry = std::move(record.entry);
      found.compression = record.compression;
      if (record.pack_file) {
        TRY(Bytes pack, context.storage.get(*record.pack_file));
        found.pack_bytes = std::make_shared<const Bytes>(std::move(pack));
      }
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

Result<Bytes> load_tensor_raw(const TensorEntry& entry, const std::optional<Uuid>& base_id,
                              CompressionAlgo compression, const Bytes* pack_bytes,
                              const LoadContext& context) {
  switch (entry.storage) {
    case TensorStorage::Full: {
      TRY(StoredPayload stored, extract_compressed(entry, pack_bytes, context.storage));
      if (entry.hash_compressed) {
        TRY_VOID(check_hash(stored.bytes(), *entry.hash_compressed));
      }
      return decompress(stored.bytes(), compression);
    }
    case TensorStorage::DeltaXor: {
      TRY(StoredPayload stored, extract_compressed(entry, pack_bytes, context.storage));
      TRY(Bytes delta, decompress(stored.bytes(), compression));
      if (entry.shuffled) {
        TRY(delta, unshuffle(delta, element_size(entry.dtype)));
      }
      if (!base_id) {
        return Err(TarnwickError::delta("Delta tensor '" + entry.name + "' has no base snapshot"));
      }
      TRY(Bytes base, load_base_bytes(base_id, entry, context));
      TRY(Bytes result, apply_delta(base, std::move(delta)));
      TRY_VOID(check_hash(result, entry.hash_raw));
      return result;
    }
    case TensorStorage::Skipped:
      if (!base_id) {
        return Err(TarnwickError::delta("Tensor '" + entry.name +
                                        "' is skipped but snapshot has no base"));
      }
      return load_base_bytes(base_id, entry, context);
    case TensorStorage::Alias:
      break;
  }
  return Err(TarnwickError::checkpoint_not_found(
      "Tensor '" + entry.name + "' is an alias of '" + entry.alias_of.value_or("?") +
      "' and must be resolved after the snapshot's other tensors"));
}

Result<std::vector<std::pair<std::string, Bytes>>> load_in_pool(
    const std::vector<TensorEntry>& records, const LoadContext& context) {
  std::vector<const TensorEntry*> decoded;
  decoded.reserve(records.size());
  for (const TensorEntry& record : records) {
    if (record.storage != TensorStorage::Alias) decoded.push_back(&record);
  }
  using Loaded = std::pair<std::string, Bytes>;
  return parallel_map<Loaded>(decoded.size(), [&](std::size_t i) -> Result<Loaded> {
    const TensorEntry& record = *decoded[i];
    TRY(Bytes raw, load_tensor_raw(record, context.base_snapshot_id, context.compression,
                                   context.pack_bytes, context));
    TRY(Bytes bytes, cast_back(std::move(raw), record.dtype, record.original_dtype,
                               record.quant_scale));
    return Loaded(record.name, std::move(bytes));
  });
}

}  // namespace tarnwick
