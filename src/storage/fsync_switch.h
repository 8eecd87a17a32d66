#pragma once
// Whether local writes are flushed to the device. Turning it off trades
// durability across power loss for speed (tests, scratch runs); atomicity
// of writes does not depend on it.

namespace tarnwick {

// The switch for one TARNWICK_FSYNC value (nullptr when unset): only
// exactly "0" or "false" turn fsync off; every other value leaves it on.
bool fsync_setting(const char* value);

// The process-wide switch, read from TARNWICK_FSYNC on the first call and
// never again. Safe to call from any thread.
bool fsync_enabled();

}  // namespace tarnwick
