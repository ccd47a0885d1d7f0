// CarriesAuthenticodeSignature on a minimal PE32+ image, one field changed a row: only an image
// whose every offset and size holds together counts as signed.

#include "release/authenticode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/host_support.h"

namespace veltomarn::test {
namespace {

// 512 bytes: "PE\0\0" at 64, the optional header (240 bytes, 16 directories) at 88, and a
// certificate table of 128 bytes at 384 holding one WIN_CERTIFICATE of PKCS #7 signed data.
constexpr std::size_t kOptional = 88, kSecurityEntry = kOptional + 112 + 4 * 8;
const std::pair<std::size_t, uint32_t> kSigned[] = {{0, 0x5A4D},
                                                    {0x3C, 64},
                                                    {64, 0x4550},
                                                    {84, 240},
                                                    {kOptional, 0x20B},
                                                    {kOptional + 108, 16},
                                                    {kSecurityEntry, 384},
                                                    {kSecurityEntry + 4, 128},
                                                    {384, 128},
                                                    {390, 2}};

struct Edit {
    const char* name;
    std::size_t at;
    uint32_t value;  // written over 4 bytes
    bool carries;
};
const Edit kEdits[] = {
    {"signed_as_osslsigncode_lays_it_out", 500, 0, true},
    {"not_an_executable", 0, 0x5A4E, false},
    {"pe_header_beyond_the_end", 0x3C, 510, false},
    {"pe32_magic_moves_the_directories", kOptional, 0x10B, false},
    {"security_directory_not_counted", kOptional + 108, 4, false},
    {"optional_header_declared_too_short", 84, 151, false},
    {"empty_certificate_table", kSecurityEntry + 4, 0, false},
    {"certificate_table_beyond_the_end", kSecurityEntry + 4, 129, false},
    {"certificate_table_offset_near_4_GiB", kSecurityEntry, 0xFFFFFFF0, false},
    {"certificate_length_below_its_header", 384, 7, false},
    {"certificate_longer_than_its_table", 384, 129, false},
    {"certificate_not_pkcs_signed_data", 390, 1, false},
};

TEST(AuthenticodeTest, OnlyAConsistentCertificateTableCounts) {
    const TemporaryDirectory scratch;
    for (const Edit& edit : kEdits) {
        std::string image(512, '\0');
        const auto put = [&](std::size_t at, uint32_t value) {
            for (int k = 0; k < 4; ++k) image[at + k] = static_cast<char>(value >> 8 * k);
        };
        for (const auto& [at, value] : kSigned) put(at, value);
        put(edit.at, edit.value);
        WriteFile(scratch.path / edit.name, image);
        EXPECT_EQ(release::CarriesAuthenticodeSignature(scratch.path / edit.name), edit.carries)
            << edit.name;
    }
}

}  // namespace
}  // namespace veltomarn::test
