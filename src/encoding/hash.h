#pragma once
// Fingerprints of tensor bytes.

#include <string>

#include "format/bytes.h"

namespace tarnwick {

// XXH3-128 (seed 0, default secret) of data as 32 lower-case hexadecimal
// digits, high 64 bits first. Pure; safe from any thread.
std::string hash_hex(ByteSpan data);

}  // namespace tarnwick
