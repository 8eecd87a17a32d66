#pragma once
// The JSON forms of the catalogue records: manifest.json in the pretty
// layout and the pack descriptor in the compact one, sharing the readers
// and writers of the snapshot, rank, tensor and settings records.
//
// Writers emit every member in declaration order, none as null. Readers
// accept members in any order and either layout, skip unknown members at
// every level, and fail with a Serialization error: "missing field `x`",
// "duplicate field `x`", the unknown-variant messages of `storage` and
// `compression`, or the syntax and type errors of the JSON reader, each
// followed by " at line L column C".

#include <string>

#include "format/bytes.h"
#include "format/error.h"
#include "format/manifest.h"

namespace tarnwick {

// The text of manifest.json. Fails (Serialization) only on text that is not
// valid UTF-8, or with an Io error when memory runs out.
Result<std::string> manifest_to_json(const Manifest& manifest);

// Reads manifest.json; zero bytes at the very end (the store's padding)
// are dropped first.
Result<Manifest> manifest_from_json(ByteSpan bytes);

// One line of JSON, no whitespace.
Result<std::string> pack_descriptor_to_json(const PackDescriptor& descriptor);

Result<PackDescriptor> pack_descriptor_from_json(ByteSpan bytes);

}  // namespace tarnwick
