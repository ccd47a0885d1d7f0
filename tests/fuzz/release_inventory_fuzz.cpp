// Arbitrary bytes as a signed inventory. Every field of an accepted inventory has one spelling, so
// writing it out again must give back the bytes read; its rows must ascend in byte order.

#include "core/failure.h"
#include "distribution/release_inventory.h"

#define REQUIRE(ok) ((ok) ? void() : __builtin_trap())

static std::string Render(const veltomarn::ReleaseInventory& inventory) {
    std::string text = "VELTO-MARN-SIGNED-DISTRIBUTION-V1\nchannel=community\nsequence=" +
                       std::to_string(inventory.sequence()) +
                       "\nabi=1\nmanifest=" + inventory.manifestDigest() +
                       "\nfiles=" + std::to_string(inventory.rows().size()) + "\n";
    for (const veltomarn::InventoryRow& row : inventory.rows()) {
        text += row.digest + "\t" + std::to_string(row.size) + "\t" + row.path + "\n";
    }
    return text;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    try {
        const veltomarn::ReleaseInventory inventory = veltomarn::ParseReleaseInventory(bytes);
        REQUIRE(Render(inventory) == std::string(bytes.begin(), bytes.end()));
        const auto& rows = inventory.rows();
        for (std::size_t i = 1; i < rows.size(); ++i) REQUIRE(rows[i - 1].path < rows[i].path);
    } catch (const veltomarn::Failure&) {
    }
    return 0;
}
