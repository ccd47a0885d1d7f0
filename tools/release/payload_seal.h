#pragma once

// Sealing a directory into "VeltoMarn.payload": the container that the bootstrap reads back and
// unseals (a 44-byte header, the file table, then every file's chunks, AES-256-GCM).

#include <array>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "release/release_keys.h"

namespace veltomarn::release {

// Payloads larger than this show their progress (when asked to).
inline constexpr uint64_t kSealProgressThreshold = 8 * 1048576;

struct InnerFile {
    std::string path;  // relative, '/'-separated, passed the relative path rules
    uint64_t size = 0;
    uint64_t device = 0;  // identity at scan time: the file sealed must be the file scanned
    uint64_t inode = 0;
};

struct InnerScan {
    std::vector<InnerFile> files;       // ascending byte order of the paths: the table order
    std::set<std::string> directories;  // every directory below the base, relative
    uint64_t plaintextBytes = 0;
};

// Walks `root` (an absolute directory path with no link in it) without following any link and
// returns what a payload of it would hold, refusing (ToolError, status 2, the path named) every
// directory that the bootstrap would refuse as a payload, or that would not come out of unsealing
// as it went in:
// - a symbolic link anywhere; a file with more than one name (hard link); anything that is
//   neither a plain file nor a directory;
// - a name outside the relative path rules (characters, components, 240 bytes, device names);
// - the reserved names: ".sealed-owner" at the top, anything ending in ".sealed-partial";
// - two files or directories whose paths differ only in letter case, and a file whose name
//   during unsealing (its path followed by ".sealed-partial") equals another file's or
//   directory's path in letter case;
// - an empty directory: only files are sealed, so it would not exist after unsealing;
// - more than 512 files; more than 4 GiB (4294967296 bytes) in all; a payload file that would be
//   larger than 4 GiB with its table and chunk records (the package check opens none larger);
// - a missing "VeltoMarnLauncher.exe", "RELEASE.signed" or "RELEASE.sig" at the top (exact
//   spelling, plain files).
// Reads names and attributes only; changes nothing.
InnerScan ScanInnerDirectory(const std::string& root);

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
// `progress`: when not null and the payload holds more than kSealProgressThreshold bytes, a line
// on it shows how far sealing has come.
// Throws ToolError (2).
SealedPayload SealPayload(const std::string& innerDirectory, const std::string& output,
                          const PayloadKeyMaterial& key, std::ostream* progress);

}  // namespace veltomarn::release
