// Throughput of FileDigest (GuardedDirectory over Win32Platform: 128 KiB ReadFile calls, each fed
// to BCryptHashData) against bare CNG hashing of the same bytes held in memory.
//
// Writes a 256 MiB file of pseudo-random bytes under the temporary folder, then runs one warm-up
// and three measured rounds of each method, interleaved, and prints MiB/s per round, the best, the
// median, and the ratio FileDigest / bare. The file is read back right after it was written, so it
// comes from the page cache: the figures measure the per-call cost of the path, not the disk.
//
// Bare CNG is measured twice: with 128 KiB BCryptHashData calls (the same piece size as
// FileDigest, so the ratio isolates the cost of reading the file) and with one call for the whole
// buffer (the provider's own speed). Also measured, to split the cost: the same reads without
// hashing. Exit code 0 when every digest agrees, 1 otherwise, 2 when the set-up fails.

#include <windows.h>
// After <windows.h>:
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/sha256.h"
#include "platform/win32/win32_platform.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kFileBytes = 256 * kMiB;
constexpr uint32_t kPieceBytes = veltomarn::kDigestReadBytes;
constexpr int kRounds = 3;
constexpr char kFileName[] = "digest-benchmark.bin";

std::vector<uint8_t> PseudoRandomBytes(uint64_t size) {
    std::vector<uint8_t> bytes(size);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint64_t i = 0; i < size; i += 8) {
        // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const uint64_t word = state * 0x2545F4914F6CDD1Dull;
        for (uint64_t j = 0; j < 8 && i + j < size; ++j) {
            bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
        }
    }
    return bytes;
}

std::wstring TempDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    std::wstring temp(buffer, ::GetTempPathW(MAX_PATH + 1, buffer));
    while (temp.size() > 3 && temp.back() == L'\\') temp.pop_back();
    return temp;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<uint8_t>& data) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (uint64_t offset = 0; ok && offset < data.size(); offset += 8 * kMiB) {
        const auto size = static_cast<DWORD>(std::min<uint64_t>(8 * kMiB, data.size() - offset));
        DWORD written = 0;
        ok = ::WriteFile(file, data.data() + offset, size, &written, nullptr) && written == size;
    }
    return ::CloseHandle(file) && ok;
}

std::string Hex(const uint8_t* digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 32; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0F]);
    }
    return text;
}

// SHA-256 of `data` straight through CNG, fed in pieces of `piece` bytes. "" on any failure.
std::string BareDigest(const std::vector<uint8_t>& data, uint64_t piece) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!BCRYPT_SUCCESS(
            ::BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return "";
    }
    DWORD objectLength = 0;
    ULONG resultSize = 0;
    std::string text;
    if (BCRYPT_SUCCESS(::BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH,
                                           reinterpret_cast<PUCHAR>(&objectLength),
                                           sizeof objectLength, &resultSize, 0))) {
        std::vector<uint8_t> object(objectLength);
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (BCRYPT_SUCCESS(
                ::BCryptCreateHash(provider, &hash, object.data(), objectLength, nullptr, 0, 0))) {
            bool ok = true;
            for (uint64_t offset = 0; ok && offset < data.size(); offset += piece) {
                const auto size = static_cast<ULONG>(std::min(piece, data.size() - offset));
                ok = BCRYPT_SUCCESS(
                    ::BCryptHashData(hash, const_cast<PUCHAR>(data.data() + offset), size, 0));
            }
            uint8_t digest[32] = {};
            if (ok && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest, 32, 0))) text = Hex(digest);
            ::BCryptDestroyHash(hash);
        }
    }
    ::BCryptCloseAlgorithmProvider(provider, 0);
    return text;
}

// The digest of the file through the product's path: a fresh guard over the directory each time.
std::string ProductDigest(const std::wstring& directory) {
    veltomarn::Win32Platform platform;
    try {
        veltomarn::GuardedDirectory guard(platform,
                                          veltomarn::WideString(directory.begin(), directory.end()),
                                          veltomarn::StreamCheck::kEverything);
        return veltomarn::FileDigest(guard, platform, kFileName, kFileBytes);
    } catch (const veltomarn::Failure& failure) {
        std::printf("FileDigest failed: %s\n", failure.code());
        return "";
    }
}

// The same reads as FileDigest, without hashing; returns the byte count as text.
std::string ReadOnly(const std::wstring& path) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::vector<uint8_t> buffer(kPieceBytes);
    uint64_t total = 0;
    DWORD read = 0;
    while (::ReadFile(file, buffer.data(), kPieceBytes, &read, nullptr) && read != 0) total += read;
    ::CloseHandle(file);
    return std::to_string(total);
}

struct Method {
    Method(const char* label, std::function<std::string()> run) : label(label), run(run) {}

    const char* label;
    std::function<std::string()> run;
    std::vector<double> rates;  // MiB/s per measured round
    std::string result;
};

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

bool Measure(Method& method, bool record) {
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    const std::string result = method.run();
    ::QueryPerformanceCounter(&end);
    if (result.empty() || (!method.result.empty() && result != method.result)) {
        std::printf("%s: inconsistent result \"%s\"\n", method.label, result.c_str());
        return false;
    }
    method.result = result;
    if (record)
        method.rates.push_back(static_cast<double>(kFileBytes / kMiB) / Seconds(start, end));
    return true;
}

double Best(std::vector<double> rates) {
    return *std::max_element(rates.begin(), rates.end());
}

double Median(std::vector<double> rates) {
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

void PrintMethod(const Method& method) {
    std::printf("%-48s", method.label);
    for (const double rate : method.rates) std::printf(" %8.1f", rate);
    std::printf("   best %8.1f   median %8.1f MiB/s\n", Best(method.rates), Median(method.rates));
}

void PrintRatio(const char* label, const Method& a, const Method& b) {
    std::printf("%-48s best %.3f   median %.3f\n", label, Best(a.rates) / Best(b.rates),
                Median(a.rates) / Median(b.rates));
}

}  // namespace

int main() {
    const std::wstring directory = TempDirectory() + L"\\veltomarn-digest-benchmark-" +
                                   std::to_wstring(::GetCurrentProcessId());
    const std::wstring path =
        directory + L"\\" + std::wstring(std::begin(kFileName), std::end(kFileName) - 1);
    const std::vector<uint8_t> data = PseudoRandomBytes(kFileBytes);
    if (!::CreateDirectoryW(directory.c_str(), nullptr) || !WriteWholeFile(path, data)) {
        std::printf("cannot write the test file (error %lu)\n", ::GetLastError());
        ::RemoveDirectoryW(directory.c_str());
        return 2;
    }

    Method methods[] = {
        {"FileDigest (guard + Win32Platform, file)", [&] { return ProductDigest(directory); }},
        {"bare CNG, memory, 128 KiB BCryptHashData calls",
         [&] { return BareDigest(data, kPieceBytes); }},
        {"bare CNG, memory, one BCryptHashData call", [&] { return BareDigest(data, kFileBytes); }},
        {"ReadFile 128 KiB only, no hashing (file)", [&] { return ReadOnly(path); }},
    };
    bool ok = true;
    for (int round = 0; ok && round <= kRounds; ++round) {
        for (Method& method : methods) ok = ok && Measure(method, round > 0);
    }
    ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(directory.c_str());
    if (!ok) return 1;

    std::printf(
        "%llu bytes (%llu MiB) of pseudo-random data; the file is read from the page cache.\n",
        static_cast<unsigned long long>(kFileBytes),
        static_cast<unsigned long long>(kFileBytes / kMiB));
    std::printf("%d measured rounds after one warm-up, MiB/s per round:\n", kRounds);
    for (const Method& method : methods) PrintMethod(method);
    PrintRatio("ratio FileDigest / bare (128 KiB calls):", methods[0], methods[1]);
    PrintRatio("ratio FileDigest / bare (one call):", methods[0], methods[2]);
    const bool same =
        methods[0].result == methods[1].result && methods[1].result == methods[2].result;
    std::printf("digest FileDigest: %s\ndigest bare CNG:   %s (%s)\n", methods[0].result.c_str(),
                methods[1].result.c_str(), same ? "equal" : "DIFFERENT");
    const double ratio = Median(methods[0].rates) / Median(methods[1].rates);
    std::printf("target median ratio >= 0.95 against 128 KiB calls: %s\n",
                ratio >= 0.95 ? "met" : "NOT met");
    return same ? 0 : 1;
}
