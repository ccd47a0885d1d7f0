#pragma once

// Sealing a directory into "VeltoMarn.payload": the container that the bootstrap reads back and
// unseals (a 44-byte header, the file table, then every file's chunks, AES-256-GCM).

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "release/inner_scan.h"
#include "release/release_keys.h"

namespace veltomarn::release {

struct SealedPayload {
    std::size_t files = 0;
    uint64_t plaintextBytes = 0;
    uint64_t payloadBytes = 0;           // the size of the payload file
    std::array<uint8_t, 16> identity{};  // the header's opaque field
};

// Seals directory `innerDirectory` (as ScanInnerDirectory admits it) into the payload file
// `output` with `key`:
// - the header carries 16 fresh random bytes in its opaque field, the payload's identity;
// - the table lists every file in byte order of the paths with its size, SHA-256 and chunk count;
// - every chunk (1 MiB of plaintext, the last one of a file the rest; an empty file has one chunk
//   of length 0) has its own 12-byte nonce from the system's random generator, never repeated
//   within the payload, and authenticates the header, its file's record and its index.
// Each file is read twice as a stream (hashed, then sealed), one chunk at a time; a file that
// changes in between is refused. The payload is written to a temporary file beside `output`
// (a name with '~', which no package path may hold), flushed, read back with the bootstrap's own
// index reader, and only then renamed to `output`, replacing a plain file of that name; any
// failure removes the temporary file and leaves `output` as it was. `output` must not lie inside
// `innerDirectory`, and an existing `output` must be a plain file.
// `progress`: where a line shows how far sealing has come (ProgressLine), or null.
// Throws ToolError (2).
SealedPayload SealPayload(const std::string& innerDirectory, const std::string& output,
                          const PayloadKeyMaterial& key, std::ostream* progress);

}  // namespace veltomarn::release
