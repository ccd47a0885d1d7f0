// Arbitrary bytes as a payload file for the index parser. An accepted index must have read exactly
// its own bytes, no byte past the table, and keep what it promises: records that re-serialise to
// the index bytes, ascending valid paths, sizes that add up to the total within 4 GiB.

#include <algorithm>

#include "core/failure.h"
#include "core/relative_path.h"
#include "payload/payload_format.h"

#define REQUIRE(ok) ((ok) ? void() : __builtin_trap())

struct ByteSource final : veltomarn::PayloadSource {
    ByteSource(const uint8_t* data, std::size_t size) : next(data), end(data + size) {}
    void Read(uint8_t* buffer, uint32_t count) override {
        veltomarn::check(static_cast<std::size_t>(end - next) >= count, "PAYLOAD_TRUNCATED");
        std::copy_n(next, count, buffer);
        next += count;
    }
    const uint8_t* next;
    const uint8_t* end;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ByteSource source(data, size);
    veltomarn::PayloadIndex index;
    try {
        index = veltomarn::ParsePayloadIndex(source);
    } catch (const veltomarn::Failure&) {
        return 0;
    }
    REQUIRE(index.indexBytes == std::vector<uint8_t>(data, source.next));
    std::vector<uint8_t> written = index.header;
    uint64_t sum = 0;
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const veltomarn::PayloadEntry& entry = index.entries[i];
        written.insert(written.end(), entry.record.begin(), entry.record.end());
        REQUIRE(i == 0 || index.entries[i - 1].path < entry.path);
        REQUIRE(std::equal(entry.path.rbegin(), entry.path.rend(), entry.record.rbegin()));
        veltomarn::ValidateRelativePath(entry.path);  // a Failure here escapes and stops the run
        sum += entry.size;
    }
    REQUIRE(written == index.indexBytes && sum == index.plaintextBytes && sum <= 4294967296);
    return 0;
}
