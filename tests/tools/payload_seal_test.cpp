// `seal`: the payload it writes is read back field by field by a reader written here from the
// container format (not the tool's own code), decrypted with OpenSSL, and read and unsealed by
// the bootstrap's own code; every directory the bootstrap would refuse is refused with a message
// naming the path, and a refused or failed run leaves no payload and no temporary file behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/sha256.h"
#include "payload/payload_format.h"
#include "payload/unseal.h"
#include "platform/posix/posix_platform.h"
#include "platform/scoped_handle.h"
#include "release/payload_seal.h"
#include "release/release_keys.h"
#include "support/memory_platform.h"
#include "tools/tool_test_support.h"

namespace veltomarn::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1048576;

// --- an independent reader of the container ----------------------------------------------------

uint64_t LittleEndian(const std::string& bytes, std::size_t at, std::size_t width) {
    uint64_t value = 0;
    for (std::size_t k = 0; k < width; ++k) {
        value |= uint64_t{static_cast<uint8_t>(bytes.at(at + k))} << (8 * k);
    }
    return value;
}

struct ParsedChunk {
    std::string nonce;  // 12 bytes
    std::string tag;    // 16 bytes
    uint32_t length = 0;
    std::string ciphertext;
};

struct ParsedFile {
    std::string record;  // the whole file record
    std::string path;
    uint64_t size = 0;
    std::string digest;  // 32 bytes
    uint32_t chunkCount = 0;
    std::vector<ParsedChunk> chunks;
};

struct ParsedPayload {
    std::string header;  // 44 bytes
    std::string magic;
    uint32_t fileCount = 0;
    uint64_t plaintextTotal = 0;
    std::string identity;  // the opaque field
    std::vector<ParsedFile> files;
    std::size_t trailingBytes = 0;
};

ParsedPayload ParsePayload(const std::string& bytes) {
    ParsedPayload payload;
    payload.header = bytes.substr(0, 44);
    payload.magic = bytes.substr(0, 16);
    payload.fileCount = static_cast<uint32_t>(LittleEndian(bytes, 16, 4));
    payload.plaintextTotal = LittleEndian(bytes, 20, 8);
    payload.identity = bytes.substr(28, 16);
    std::size_t at = 44;
    for (uint32_t k = 0; k < payload.fileCount; ++k) {
        ParsedFile file;
        const std::size_t pathLength = LittleEndian(bytes, at, 2);
        file.size = LittleEndian(bytes, at + 2, 8);
        file.digest = bytes.substr(at + 10, 32);
        file.chunkCount = static_cast<uint32_t>(LittleEndian(bytes, at + 42, 4));
        file.path = bytes.substr(at + 46, pathLength);
        file.record = bytes.substr(at, 46 + pathLength);
        at += 46 + pathLength;
        payload.files.push_back(file);
    }
    for (ParsedFile& file : payload.files) {
        for (uint32_t c = 0; c < file.chunkCount; ++c) {
            ParsedChunk chunk;
            chunk.nonce = bytes.substr(at, 12);
            chunk.tag = bytes.substr(at + 12, 16);
            chunk.length = static_cast<uint32_t>(LittleEndian(bytes, at + 28, 4));
            chunk.ciphertext = bytes.substr(at + 32, chunk.length);
            if (chunk.ciphertext.size() != chunk.length) throw std::runtime_error("truncated");
            at += 32 + chunk.length;
            file.chunks.push_back(chunk);
        }
    }
    payload.trailingBytes = bytes.size() - at;
    return payload;
}

std::string BuildKey() {
    const release::PayloadKeyMaterial key = release::LoadPayloadKey(BuildKeySharesPath());
    return std::string(key.bytes().begin(), key.bytes().end());
}

// AES-256-GCM decryption of one chunk with `aad`; nothing when the tag does not verify.
std::optional<std::string> OpenChunk(const std::string& key, const ParsedChunk& chunk,
                                     const std::string& aad) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    std::string plaintext(chunk.length, '\0');
    int length = 0;
    std::string tag = chunk.tag;
    bool ok = EVP_DecryptInit_ex(context, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
              EVP_DecryptInit_ex(context, nullptr, nullptr,
                                 reinterpret_cast<const unsigned char*>(key.data()),
                                 reinterpret_cast<const unsigned char*>(chunk.nonce.data())) == 1 &&
              EVP_DecryptUpdate(context, nullptr, &length,
                                reinterpret_cast<const unsigned char*>(aad.data()),
                                static_cast<int>(aad.size())) == 1;
    if (ok && chunk.length > 0) {
        ok = EVP_DecryptUpdate(context, reinterpret_cast<unsigned char*>(plaintext.data()), &length,
                               reinterpret_cast<const unsigned char*>(chunk.ciphertext.data()),
                               static_cast<int>(chunk.length)) == 1;
    }
    ok = ok && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
         EVP_DecryptFinal_ex(context, nullptr, &length) == 1;
    EVP_CIPHER_CTX_free(context);
    if (!ok) return std::nullopt;
    return plaintext;
}

std::string ChunkAad(const ParsedPayload& payload, const ParsedFile& file, uint32_t index) {
    std::string aad = payload.header + file.record;
    for (int k = 0; k < 4; ++k) aad.push_back(static_cast<char>(index >> (8 * k)));
    return aad;
}

std::string Sha256Bytes(const std::string& bytes) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return std::string(digest.begin(), digest.end());
}

// Everything below `root` that is a file: relative path -> contents.
std::map<std::string, std::string> FilesBelow(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.emplace(fs::relative(entry.path(), root).string(), ReadTextFile(entry.path()));
        }
    }
    return files;
}

// A pseudo-random, incompressible byte pattern.
std::string Pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u ^ seed;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

std::vector<std::string> NamesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SealTest : public ::testing::Test {
  protected:
    SealTest() : inner_(scratch_ / "inner"), out_(scratch_ / "out") {
        WriteInnerDirectory(inner_);
        MakeDirectories(out_);
    }

    ToolRun Seal(const std::string& output) {
        return RunReleaseTool(
            {"seal", "--key-shares", BuildKeySharesPath(), "--out", output, inner_});
    }
    ToolRun Seal() { return Seal(Payload()); }
    std::string Payload() const { return out_ + "/VeltoMarn.payload"; }

    ScratchDirectory scratch_;
    const std::string inner_;
    const std::string out_;
};

// --- what a payload holds ------------------------------------------------------------------------

TEST_F(SealTest, EveryFileComesBackThroughAnIndependentReaderAndOpenSsl) {
    WriteTextFile(inner_ + "/assets/levels/one.txt", "level one\n");
    WriteTextFile(inner_ + "/assets/textures/readme.txt", Pattern(3 * kMiB + 5, 1));
    WriteTextFile(inner_ + "/Zeta.txt", "");
    const ToolRun run = Seal();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;

    const std::map<std::string, std::string> originals = FilesBelow(inner_);
    const std::string bytes = ReadTextFile(Payload());
    const ParsedPayload payload = ParsePayload(bytes);
    EXPECT_EQ(payload.magic, std::string("VELTO-SEALED-V1\0", 16));
    EXPECT_EQ(payload.fileCount, originals.size());
    EXPECT_EQ(payload.trailingBytes, 0u);
    uint64_t total = 0;
    for (const auto& [path, contents] : originals) total += contents.size();
    EXPECT_EQ(payload.plaintextTotal, total);
    EXPECT_EQ(run.out, "sealed " + Payload() + " files=" + std::to_string(originals.size()) +
                           " plaintextBytes=" + std::to_string(total) +
                           " payloadBytes=" + std::to_string(bytes.size()) + "\n");

    // Byte order of the paths: upper-case letters before lower-case ones.
    std::vector<std::string> paths;
    for (const ParsedFile& file : payload.files) paths.push_back(file.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"RELEASE.sig", "RELEASE.signed", "VeltoMarnLauncher.exe",
                                        "Zeta.txt", "assets/levels/one.txt",
                                        "assets/textures/readme.txt", "config/launcher.json"}));

    const std::string key = BuildKey();
    for (const ParsedFile& file : payload.files) {
        SCOPED_TRACE(file.path);
        const std::string& original = originals.at(file.path);
        EXPECT_EQ(file.size, original.size());
        EXPECT_EQ(file.digest, Sha256Bytes(original));
        std::string plaintext;
        for (uint32_t c = 0; c < file.chunks.size(); ++c) {
            const std::optional<std::string> opened =
                OpenChunk(key, file.chunks[c], ChunkAad(payload, file, c));
            ASSERT_TRUE(opened.has_value()) << "chunk " << c;
            plaintext += *opened;
        }
        EXPECT_TRUE(plaintext == original) << "the plaintext differs";
    }
}

TEST_F(SealTest, ChunksAuthenticateOnlyAtTheirOwnPlace) {
    WriteTextFile(inner_ + "/data/two-chunks.bin", Pattern(kMiB + 100, 2));
    ASSERT_EQ(Seal().status, 0);
    const ParsedPayload payload = ParsePayload(ReadTextFile(Payload()));
    const std::string key = BuildKey();
    const ParsedFile* twoChunks = nullptr;
    const ParsedFile* other = nullptr;
    for (const ParsedFile& file : payload.files) {
        (file.path == "data/two-chunks.bin" ? twoChunks : other) = &file;
    }
    ASSERT_NE(twoChunks, nullptr);
    ASSERT_EQ(twoChunks->chunks.size(), 2u);
    ASSERT_TRUE(OpenChunk(key, twoChunks->chunks[1], ChunkAad(payload, *twoChunks, 1)));

    struct Place {
        const char* name;
        std::string aad;
    };
    std::string otherHeader = payload.header;
    otherHeader[43] ^= 0x01;
    const Place wrongPlaces[] = {
        {"another_chunk_index", ChunkAad(payload, *twoChunks, 0)},
        {"another_file", ChunkAad(payload, *other, 1)},
        {"another_payload_identity",
         otherHeader + twoChunks->record + std::string("\x01\0\0\0", 4)},
        {"no_additional_data", ""},
    };
    for (const Place& place : wrongPlaces) {
        EXPECT_FALSE(OpenChunk(key, twoChunks->chunks[1], place.aad)) << place.name;
    }
}

struct SizeCase {
    const char* name;
    uint64_t size;
    std::vector<uint32_t> chunkLengths;
};

const SizeCase kSizes[] = {
    {"empty_file_has_one_empty_chunk", 0, {0}},
    {"one_byte", 1, {1}},
    {"exactly_one_mebibyte", kMiB, {kMiB}},
    {"one_mebibyte_and_one_byte", kMiB + 1, {kMiB, 1}},
    {"three_mebibytes_and_a_tail", 3 * kMiB + 7, {kMiB, kMiB, kMiB, 7}},
};

class SealSizeTest : public SealTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SealSizeTest, ChunkCountAndLengthsFollowTheSize) {
    const SizeCase& c = GetParam();
    const std::string contents = Pattern(c.size, 3);
    WriteTextFile(inner_ + "/data/sized.bin", contents);
    ASSERT_EQ(Seal().status, 0);
    const ParsedPayload payload = ParsePayload(ReadTextFile(Payload()));
    const std::string key = BuildKey();
    for (const ParsedFile& file : payload.files) {
        if (file.path != "data/sized.bin") continue;
        EXPECT_EQ(file.size, c.size);
        EXPECT_EQ(file.chunkCount, c.chunkLengths.size());
        std::vector<uint32_t> lengths;
        std::string plaintext;
        for (uint32_t k = 0; k < file.chunks.size(); ++k) {
            lengths.push_back(file.chunks[k].length);
            plaintext += OpenChunk(key, file.chunks[k], ChunkAad(payload, file, k)).value_or("?");
        }
        EXPECT_EQ(lengths, c.chunkLengths);
        EXPECT_TRUE(plaintext == contents) << "the plaintext differs";
        return;
    }
    ADD_FAILURE() << "data/sized.bin is not in the payload";
}

INSTANTIATE_TEST_SUITE_P(Sizes, SealSizeTest, ::testing::ValuesIn(kSizes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SealTest, NoNonceOccursTwiceAndTwoSealsDifferInIdentityAndNonces) {
    for (int k = 0; k < 4; ++k) {
        WriteTextFile(inner_ + "/data/f" + std::to_string(k), Pattern(2 * kMiB + k, 4));
        WriteTextFile(inner_ + "/data/empty" + std::to_string(k), "");
    }
    ASSERT_EQ(Seal(out_ + "/first.payload").status, 0);
    ASSERT_EQ(Seal(out_ + "/second.payload").status, 0);
    const ParsedPayload first = ParsePayload(ReadTextFile(out_ + "/first.payload"));
    const ParsedPayload second = ParsePayload(ReadTextFile(out_ + "/second.payload"));

    std::set<std::string> nonces;
    std::size_t chunks = 0;
    for (const ParsedPayload* payload : {&first, &second}) {
        for (const ParsedFile& file : payload->files) {
            for (const ParsedChunk& chunk : file.chunks) {
                ++chunks;
                EXPECT_TRUE(nonces.insert(chunk.nonce).second)
                    << "a nonce repeats in " << file.path;
            }
        }
    }
    // Per payload: the four files of WriteInnerDirectory, four empty files (one chunk each), a
    // file of exactly 2 MiB (two chunks) and three of 2 MiB and a few bytes (three chunks each).
    EXPECT_EQ(chunks, 2u * (4 + 4 + 2 + 3 * 3));
    // The same files make the same table; only the identity tells the two payloads apart.
    EXPECT_NE(first.identity, second.identity);
    EXPECT_NE(first.identity, std::string(16, '\0'));
    EXPECT_EQ(first.header.substr(0, 28), second.header.substr(0, 28));
    for (std::size_t k = 0; k < first.files.size(); ++k) {
        EXPECT_EQ(first.files[k].record, second.files[k].record);
    }
}

// --- the bootstrap's own code reads and unseals it -----------------------------------------------

TEST_F(SealTest, SharesOfThisBuildFormTheKeyCompiledIntoTheUnsealingCode) {
    EXPECT_TRUE(release::CompiledInPayloadKey() == release::LoadPayloadKey(BuildKeySharesPath()));
    WriteTextFile(scratch_ / "other-shares.txt", release::NewPayloadKeyShares());
    EXPECT_FALSE(release::CompiledInPayloadKey() ==
                 release::LoadPayloadKey(scratch_ / "other-shares.txt"));
}

TEST_F(SealTest, BootstrapsIndexReaderAndUnsealingToNowhereAcceptItOnLinux) {
    WriteTextFile(inner_ + "/assets/big.bin", Pattern(2 * kMiB + 1, 5));
    WriteTextFile(inner_ + "/assets/empty.txt", "");
    ASSERT_EQ(Seal().status, 0);

    PosixPlatform platform;
    const ScopedHandle file(
        platform, platform.CreateFileW(DrivePathFromLinux(Payload())->c_str(), win::kGenericRead,
                                       win::kFileShareRead, nullptr, win::kOpenExisting,
                                       win::kFileFlagOpenReparsePoint, nullptr));
    ASSERT_TRUE(file);
    const PayloadIndex index = ReadPayloadIndex(platform, file.get());
    const std::map<std::string, std::string> originals = FilesBelow(inner_);
    ASSERT_EQ(index.entries.size(), originals.size());
    for (const PayloadEntry& entry : index.entries) {
        EXPECT_EQ(std::string(entry.digest.begin(), entry.digest.end()),
                  Sha256Bytes(originals.at(entry.path)))
            << entry.path;
    }
    EXPECT_NO_THROW(UnsealPayload(platform, file.get(), index, WideString(), nullptr));
}

TEST_F(SealTest, BootstrapUnsealsEveryFileIntoADirectoryOnTheWindowsModel) {
    WriteTextFile(inner_ + "/assets/levels/one.txt", "level one\n");
    WriteTextFile(inner_ + "/assets/big.bin", Pattern(kMiB + 1, 6));
    WriteTextFile(inner_ + "/assets/empty.txt", "");
    ASSERT_EQ(Seal().status, 0);

    MemoryPlatform platform;
    platform.AddDirectory(u"C:\\Package");
    platform.AddFile(u"C:\\Package\\VeltoMarn.payload", ReadTextFile(Payload()));
    platform.AddDirectory(u"C:\\Session");
    const ScopedHandle file(
        platform, platform.CreateFileW(u"\\\\?\\C:\\Package\\VeltoMarn.payload", win::kGenericRead,
                                       win::kFileShareRead, nullptr, win::kOpenExisting,
                                       win::kFileFlagOpenReparsePoint, nullptr));
    ASSERT_TRUE(file);
    const PayloadIndex index = ReadPayloadIndex(platform, file.get());
    UnsealPayload(platform, file.get(), index, u"C:\\Session", nullptr);

    for (const auto& [path, contents] : FilesBelow(inner_)) {
        WideString unsealed = u"C:\\Session\\";
        for (const char c : path) unsealed.push_back(c == '/' ? u'\\' : static_cast<WideChar>(c));
        ASSERT_TRUE(platform.Exists(unsealed)) << path;
        EXPECT_TRUE(platform.FileBytes(unsealed) == contents) << path << " differs";
    }
}

// --- what seal refuses
// -----------------------------------------------------------------------------

bool Write(const std::string& path, const std::string& bytes = "x") {
    WriteTextFile(path, bytes);
    return true;
}

struct SealRefusalCase {
    const char* name;
    // Changes the inner directory `inner` (scratch space beside it at `scratch`); returns false
    // where this file system cannot hold the fault.
    std::function<bool(const std::string& inner, const std::string& scratch)> make;
    const char* message;  // part of the message on standard error
};

const SealRefusalCase kSealRefusals[] = {
    {"symbolic_link_to_a_file",
     [](const std::string& i, const std::string&) {
         return symlink("../RELEASE.sig", (i + "/config/link").c_str()) == 0;
     },
     "/config/link: a symbolic link"},
    {"symbolic_link_to_a_directory",
     [](const std::string& i, const std::string&) {
         return symlink("config", (i + "/assets").c_str()) == 0;
     },
     "/assets: a symbolic link"},
    {"hard_link",
     [](const std::string& i, const std::string& s) {
         return link((i + "/config/launcher.json").c_str(), (s + "/second-name").c_str()) == 0;
     },
     "/config/launcher.json: has 2 names (a hard link)"},
    {"fifo",
     [](const std::string& i, const std::string&) {
         return mkfifo((i + "/config/pipe").c_str(), 0600) == 0;
     },
     "/config/pipe: neither a plain file nor a directory"},
    {"name_with_a_space",
     [](const std::string& i, const std::string&) { return Write(i + "/config/a b.txt"); },
     "/config/a b.txt: a name the bootstrap refuses (PATH_CHARACTER)"},
    {"name_with_a_tilde",
     [](const std::string& i, const std::string&) { return Write(i + "/config/backup~"); },
     "/config/backup~: a name the bootstrap refuses (PATH_CHARACTER)"},
    {"device_name", [](const std::string& i, const std::string&) { return Write(i + "/aux.txt"); },
     "/aux.txt: a name the bootstrap refuses (PATH_DEVICE)"},
    {"name_ending_with_a_dot",
     [](const std::string& i, const std::string&) { return Write(i + "/config/name."); },
     "/config/name.: a name the bootstrap refuses (PATH_COMPONENT)"},
    {"seventeen_levels",
     [](const std::string& i, const std::string&) {
         return Write(i + "/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/deep.txt");
     },
     "(PATH_COMPONENT)"},
    {"path_of_241_bytes",
     [](const std::string& i, const std::string&) {
         return Write(i + "/" + std::string(120, 'd') + "/" + std::string(120, 'f'));
     },
     "a name the bootstrap refuses (PATH_FORMAT)"},
    {"owner_record_name_at_the_top",
     [](const std::string& i, const std::string&) { return Write(i + "/.sealed-owner"); },
     "/.sealed-owner: a reserved name"},
    {"partial_name_at_the_top",
     [](const std::string& i, const std::string&) { return Write(i + "/x.sealed-partial"); },
     "/x.sealed-partial: a reserved name"},
    {"partial_name_below",
     [](const std::string& i, const std::string&) { return Write(i + "/config/x.sealed-partial"); },
     "/config/x.sealed-partial: a reserved name"},
    {"partial_name_as_a_directory",
     [](const std::string& i, const std::string&) {
         return Write(i + "/cache.sealed-partial/x.txt");
     },
     "/cache.sealed-partial: a reserved name"},
    {"partial_name_in_other_case_beside_its_file",
     [](const std::string& i, const std::string&) {
         return Write(i + "/config/b") && Write(i + "/config/b.SEALED-PARTIAL");
     },
     "/config/b: is written as \"config/b.sealed-partial\" while it is unsealed"},
    {"partial_name_of_a_file_aliasing_a_directory",
     [](const std::string& i, const std::string&) {
         return Write(i + "/data") && Write(i + "/Data.Sealed-Partial/x.txt");
     },
     "/data: is written as \"data.sealed-partial\" while it is unsealed"},
    {"case_alias_of_two_files",
     [](const std::string& i, const std::string&) {
         return Write(i + "/config/Readme") && Write(i + "/config/readme");
     },
     "/config/readme: differs only in letter case from"},
    {"case_alias_of_two_directories",
     [](const std::string& i, const std::string&) {
         return Write(i + "/A/c") && Write(i + "/a/b");
     },
     "/a: a directory whose name differs only in letter case from"},
    {"file_aliasing_a_directory",
     [](const std::string& i, const std::string&) { return Write(i + "/X") && Write(i + "/x/y"); },
     "/x: a directory whose name differs only in letter case from"},
    {"inner_launcher_in_other_case",
     [](const std::string& i, const std::string&) {
         fs::rename(i + "/VeltoMarnLauncher.exe", i + "/veltomarnlauncher.exe");
         return true;
     },
     "/VeltoMarnLauncher.exe: missing"},
    {"inner_launcher_below_the_top",
     [](const std::string& i, const std::string&) {
         fs::rename(i + "/VeltoMarnLauncher.exe", i + "/config/VeltoMarnLauncher.exe");
         return true;
     },
     "/VeltoMarnLauncher.exe: missing"},
    {"missing_inventory",
     [](const std::string& i, const std::string&) { return fs::remove(i + "/RELEASE.signed"); },
     "/RELEASE.signed: missing"},
    {"missing_signature",
     [](const std::string& i, const std::string&) { return fs::remove(i + "/RELEASE.sig"); },
     "/RELEASE.sig: missing"},
    {"empty_directory",
     [](const std::string& i, const std::string&) { return fs::create_directories(i + "/saves"); },
     "/saves: an empty directory"},
    {"directory_holding_only_an_empty_directory",
     [](const std::string& i, const std::string&) {
         return fs::create_directories(i + "/saves/slot1");
     },
     "/saves/slot1: an empty directory"},
    {"more_than_512_files",
     [](const std::string& i, const std::string&) {
         for (int k = 0; k < 509; ++k) Write(i + "/many/f" + std::to_string(k), "");
         return true;
     },
     "one file too many: a payload holds at most 512 files"},
    {"more_than_4_gib_in_all",
     [](const std::string& i, const std::string&) {
         return truncate((i + "/config/launcher.json").c_str(), 4294967296 - 400) == 0 &&
                Write(i + "/config/more.bin", std::string(500, 'm'));
     },
     "the files add up to more than 4 GiB"},
    {"payload_file_over_4_gib",
     [](const std::string& i, const std::string&) {
         return truncate((i + "/config/launcher.json").c_str(), 4294967296 - 1000) == 0;
     },
     "the payload would be"},
};

class SealRefusalTest : public SealTest, public ::testing::WithParamInterface<SealRefusalCase> {};

TEST_P(SealRefusalTest, RefusesNamingThePathAndWritesNothing) {
    const SealRefusalCase& c = GetParam();
    if (!c.make(inner_, scratch_.path())) GTEST_SKIP() << "this file system cannot hold it";
    const TreeSnapshot innerBefore = Snapshot(inner_);

    const ToolRun run = Seal();
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(inner_), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_TRUE(NamesIn(out_).empty()) << "left behind: " << NamesIn(out_).front();
    EXPECT_EQ(Snapshot(inner_), innerBefore);
}

INSTANTIATE_TEST_SUITE_P(Faults, SealRefusalTest, ::testing::ValuesIn(kSealRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// The bootstrap's own reading agrees where the tool says yes: these are sealed and read back.
struct SealAcceptedCase {
    const char* name;
    std::function<void(const std::string& inner)> make;
};

const SealAcceptedCase kSealAccepted[] = {
    {"owner_record_name_below_the_top",
     [](const std::string& i) { Write(i + "/sub/.sealed-owner"); }},
    {"path_of_240_bytes",
     [](const std::string& i) {
         Write(i + "/" + std::string(119, 'd') + "/" + std::string(120, 'f'));
     }},
    {"sixteen_levels",
     [](const std::string& i) { Write(i + "/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/deep.txt"); }},
    {"exactly_512_files",
     [](const std::string& i) {
         for (int k = 0; k < 508; ++k) Write(i + "/many/f" + std::to_string(k), "");
     }},
    {"names_that_sort_by_bytes",
     [](const std::string& i) {
         Write(i + "/b-c");
         Write(i + "/b/a");
         Write(i + "/b.d");
     }},
};

class SealAcceptedTest : public SealTest, public ::testing::WithParamInterface<SealAcceptedCase> {};

TEST_P(SealAcceptedTest, SealsAndTheBootstrapsIndexReaderAgrees) {
    GetParam().make(inner_);
    const ToolRun run = Seal();
    ASSERT_EQ(run.status, 0) << run.err;
    PosixPlatform platform;
    const ScopedHandle file(
        platform, platform.CreateFileW(DrivePathFromLinux(Payload())->c_str(), win::kGenericRead,
                                       win::kFileShareRead, nullptr, win::kOpenExisting,
                                       win::kFileFlagOpenReparsePoint, nullptr));
    ASSERT_TRUE(file);
    EXPECT_EQ(ReadPayloadIndex(platform, file.get()).entries.size(), FilesBelow(inner_).size());
}

INSTANTIATE_TEST_SUITE_P(Edges, SealAcceptedTest, ::testing::ValuesIn(kSealAccepted),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the output, the key shares and the command line
// ------------------------------------------------

struct OutputCase {
    const char* name;
    // Prepares the place of the output; returns the --out argument.
    std::function<std::string(const std::string& out, const std::string& inner)> make;
    const char* message;
};

const OutputCase kOutputRefusals[] = {
    {"output_inside_the_inner_directory",
     [](const std::string&, const std::string& i) { return i + "/config/VeltoMarn.payload"; },
     "/config/VeltoMarn.payload: lies inside"},
    {"output_is_a_directory",
     [](const std::string& o, const std::string&) {
         MakeDirectories(o + "/VeltoMarn.payload");
         return o + "/VeltoMarn.payload";
     },
     "/VeltoMarn.payload: exists and is not a plain file"},
    {"output_is_a_symbolic_link",
     [](const std::string& o, const std::string&) {
         WriteTextFile(o + "/target", "keep me");
         if (symlink("target", (o + "/VeltoMarn.payload").c_str()) != 0)
             throw std::runtime_error("");
         return o + "/VeltoMarn.payload";
     },
     "/VeltoMarn.payload: exists and is not a plain file"},
    {"output_directory_missing",
     [](const std::string& o, const std::string&) { return o + "/missing/VeltoMarn.payload"; },
     "/missing/: cannot resolve the directory"},
    {"output_names_no_file", [](const std::string& o, const std::string&) { return o + "/"; },
     "not a file name"},
};

class OutputRefusalTest : public SealTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputRefusalTest, RefusesAndLeavesEverythingAsItWas) {
    const OutputCase& c = GetParam();
    const std::string output = c.make(out_, inner_);
    const TreeSnapshot outBefore = Snapshot(out_);
    const TreeSnapshot innerBefore = Snapshot(inner_);
    const ToolRun run = Seal(output);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(Snapshot(out_), outBefore);
    EXPECT_EQ(Snapshot(inner_), innerBefore);
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputRefusalTest, ::testing::ValuesIn(kOutputRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SealTest, AnExistingPayloadIsReplacedOnlyBySuccess) {
    WriteTextFile(Payload(), "the previous payload");
    Write(inner_ + "/config/bad name");
    EXPECT_EQ(Seal().status, 2);
    EXPECT_EQ(ReadTextFile(Payload()), "the previous payload");
    EXPECT_EQ(NamesIn(out_), std::vector<std::string>{"VeltoMarn.payload"});

    fs::remove(inner_ + "/config/bad name");
    ASSERT_EQ(Seal().status, 0);
    EXPECT_EQ(ParsePayload(ReadTextFile(Payload())).fileCount, 4u);
    EXPECT_EQ(NamesIn(out_), std::vector<std::string>{"VeltoMarn.payload"});
    struct stat status;
    ASSERT_EQ(stat(Payload().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
}

struct SharesCase {
    const char* name;
    std::string contents;
    const char* message;
};

const std::string kShareA(64, 'a');
const std::string kShareB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

const SharesCase kSharesRefusals[] = {
    {"upper_case_digits", std::string(64, 'A') + "\n" + kShareB + "\n", "line 1 holds a character"},
    {"share_of_63_digits", kShareA.substr(1) + "\n" + kShareB + "\n", "line 1 does not end"},
    {"windows_line_ends", kShareA + "\r\n" + kShareB + "\r\n", "not a payload key shares"},
    {"one_share_only", kShareA + "\n", "not a payload key shares"},
    {"three_lines", kShareA + "\n" + kShareB + "\n" + kShareB + "\n", "not a payload key shares"},
    {"space_instead_of_line_feed", kShareA + " " + kShareB + "\n", "line 1 does not end"},
    {"equal_shares_make_a_zero_key", kShareB + "\n" + kShareB + "\n", "the two shares are equal"},
    {"empty_file", "", "not a payload key shares"},
};

class SharesRefusalTest : public SealTest, public ::testing::WithParamInterface<SharesCase> {};

TEST_P(SharesRefusalTest, RefusesTheSharesAndWritesNothing) {
    const SharesCase& c = GetParam();
    WriteTextFile(scratch_ / "shares.txt", c.contents);
    const ToolRun run = RunReleaseTool(
        {"seal", "--key-shares", scratch_ / "shares.txt", "--out", Payload(), inner_});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(scratch_ / "shares.txt: " + std::string(c.message)), std::string::npos)
        << run.err;
    EXPECT_TRUE(NamesIn(out_).empty());
}

INSTANTIATE_TEST_SUITE_P(Shares, SharesRefusalTest, ::testing::ValuesIn(kSharesRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SealTest, SharesWithoutTheLastLineFeedAreTheSameKey) {
    WriteTextFile(scratch_ / "shares.txt", kShareA + "\n" + kShareB);
    WriteTextFile(scratch_ / "shares-lf.txt", kShareA + "\n" + kShareB + "\n");
    EXPECT_TRUE(release::LoadPayloadKey(scratch_ / "shares.txt") ==
                release::LoadPayloadKey(scratch_ / "shares-lf.txt"));
    // 0xaa ^ 0x01 = 0xab, 0xaa ^ 0x23 = 0x89, ...
    EXPECT_EQ(release::LoadPayloadKey(scratch_ / "shares.txt").bytes()[0], 0xab);
    EXPECT_EQ(release::LoadPayloadKey(scratch_ / "shares.txt").bytes()[1], 0x89);
}

// --- streaming and progress ----------------------------------------------------------------------

TEST_F(SealTest, LargePayloadIsStreamedInConstantMemoryAndQuietWithoutATerminal) {
    // Sparse files: 96 MiB to seal, read as zeros.
    for (int k = 0; k < 3; ++k) {
        const std::string path = inner_ + "/data/large" + std::to_string(k) + ".bin";
        WriteTextFile(path, "");
        ASSERT_EQ(truncate(path.c_str(), 32 * kMiB), 0);
    }
    const std::vector<std::string> arguments = {"seal",  "--key-shares", BuildKeySharesPath(),
                                                "--out", Payload(),      inner_};
    // Half of one file: whole files in memory would not fit.
    const ToolRun run = RunReleaseTool(arguments, 16 * kMiB);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    struct stat status;
    ASSERT_EQ(stat(Payload().c_str(), &status), 0);
    EXPECT_GT(status.st_size, 96 * static_cast<off_t>(kMiB));
    // The limit bites: below the two chunk buffers the same run fails, and leaves nothing.
    ASSERT_EQ(unlink(Payload().c_str()), 0);
    EXPECT_EQ(RunReleaseTool(arguments, kMiB).status, 2);
    EXPECT_TRUE(NamesIn(out_).empty());
}

// Runs the tool with standard error on a pseudo-terminal and returns what appeared there.
std::string RunOnTerminal(const std::vector<std::string>& arguments, int* exitStatus) {
    std::vector<std::string> all{VELTOMARN_RELEASE_TOOL};
    all.insert(all.end(), arguments.begin(), arguments.end());
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0) throw std::runtime_error("forkpty failed");
    if (child == 0) {
        std::vector<char*> argv;
        for (std::string& argument : all) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(terminal, buffer, sizeof buffer);
        if (count <= 0) break;  // EIO once the child has gone
        seen.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(terminal);
    *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return seen;
}

TEST_F(SealTest, ProgressAppearsOnATerminalForPayloadsOverEightMebibytesOnly) {
    struct Case {
        const char* name;
        uint64_t size;
        bool progress;
    };
    const Case cases[] = {{"eight_mebibytes", 8 * kMiB - 458, false},
                          {"twelve_mebibytes", 12 * kMiB, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = inner_ + "/data/sized.bin";
        WriteTextFile(path, "");
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.size)), 0);
        int status = -1;
        const std::string terminal = RunOnTerminal(
            {"seal", "--key-shares", BuildKeySharesPath(), "--out", Payload(), inner_}, &status);
        EXPECT_EQ(status, 0) << terminal;
        EXPECT_EQ(terminal.find("sealing: 100% (12 of 12 MiB)") != std::string::npos, c.progress)
            << terminal;
        EXPECT_EQ(terminal.find("sealing:") != std::string::npos, c.progress) << terminal;
    }
}

struct SealUsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* err;
};

const SealUsageCase kSealUsage[] = {
    {"without_key_shares", {"seal", "--out", "x.payload", "dir"}, "--key-shares is required"},
    {"without_out", {"seal", "--key-shares", "k.txt", "dir"}, "--out is required"},
    {"without_directory",
     {"seal", "--key-shares", "k.txt", "--out", "x.payload"},
     "expected one INNER_DIR"},
    {"two_directories",
     {"seal", "--key-shares", "k.txt", "--out", "x.payload", "a", "b"},
     "expected one INNER_DIR"},
    {"missing_shares_file",
     {"seal", "--key-shares", "/nonexistent/k.txt", "--out", "x.payload", "dir"},
     "/nonexistent/k.txt: cannot open"},
};

class SealUsageTest : public ::testing::TestWithParam<SealUsageCase> {};

TEST_P(SealUsageTest, RefusedWithStatus2) {
    const ToolRun run = RunReleaseTool(GetParam().arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(GetParam().err), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
}

INSTANTIATE_TEST_SUITE_P(CommandLine, SealUsageTest, ::testing::ValuesIn(kSealUsage),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltomarn::testing
