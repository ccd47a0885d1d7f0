// The bare provider cost of what `--verify-only` does with a package: the same CNG work, called
// directly, with no guard, no checks and no process start around it.
//
//   verify_benchmark.exe PACKAGE_DIR [OUT_DIR]
//
// With OUT_DIR, the bare cost of what `--self-test` does with the payload on top: every file's
// plaintext is also written, chunk by chunk, to a new file in OUT_DIR (WriteFile per chunk,
// FlushFileBuffers per file, as unsealing into the session does), and once all are written each
// is read back in 131072-byte pieces and hashed again (the check before the start); the files are
// deleted afterwards, outside the timed work.
//
// 1. Every file under PACKAGE_DIR (the listed files, the payload among them, and the two
//    inventory files), read with ReadFile in pieces of 131072 bytes (the bootstrap's FileDigest
//    piece size), each piece fed to one BCryptHashData call of a SHA-256 hash per file.
// 2. The payload "VeltoMarn.payload": header and file table read by the bootstrap's own
//    ReadPayloadIndex (through Win32Platform, a few KiB), then, for every chunk of every file, the
//    32-byte chunk record and the ciphertext read with one ReadFile each, the ciphertext decrypted
//    by one BCryptDecrypt (AES-256-GCM) with the real payload key (formed from the compiled-in
//    test shares), the real nonce, tag and additional data, and the plaintext fed to one
//    BCryptHashData call of the file's SHA-256. Every chunk authenticates and every file's digest
//    is compared with its record, so the work is exactly the bootstrap's, decryption included.
//
// Each ReadFile, BCryptHashData and BCryptDecrypt call is timed on its own with
// QueryPerformanceCounter, so the figures split the time into reading (page cache, usually),
// SHA-256 of the package files, AES-256-GCM and SHA-256 of the plaintext. The last line is
// machine-readable for scripts/bench-verify.sh:
//
//   BARE files=.. fileBytes=.. fileReadMs=.. fileSha256Ms=.. payloadFiles=.. chunks=..
//        plaintextBytes=.. payloadReadMs=.. aesGcmMs=.. plaintextSha256Ms=.. cngSetupMs=..
//        cngMs=.. readMs=.. workMs=.. workCpuMs=..
//
// cngSetupMs is the time spent opening the providers and creating the hash objects and the key
// (the first open loads Wine's crypto back-end), cngMs that plus the three CNG figures, readMs
// the sum of the two read figures, workMs the wall time of steps 1 and 2 together, measured
// around them (so it also holds listing and opening the files), workCpuMs the process's user and
// kernel time over the same span (GetProcessTimes), which other load on the machine disturbs far
// less than wall time. Exit code 0 when every chunk
// authenticated and every digest matched, 1 when not, 2 when the set-up fails.

#include <windows.h>
// After <windows.h>:
#include <bcrypt.h>
#include <payload_key.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/failure.h"
#include "payload/payload_format.h"
#include "platform/win32/win32_platform.h"

namespace {

constexpr DWORD kPieceBytes = 131072;
constexpr DWORD kChunkRecordBytes = 32;
constexpr DWORD kNonceBytes = 12;
constexpr DWORD kTagBytes = 16;
constexpr wchar_t kPayloadName[] = L"VeltoMarn.payload";

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now;
}

double Milliseconds(int64_t ticks) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

// Adds the ticks from construction to destruction to `total`.
class Stopwatch {
  public:
    explicit Stopwatch(int64_t& total) : total_(total), start_(Now()) {}
    Stopwatch(const Stopwatch&) = delete;
    Stopwatch& operator=(const Stopwatch&) = delete;
    ~Stopwatch() { total_ += Now().QuadPart - start_.QuadPart; }

  private:
    int64_t& total_;
    LARGE_INTEGER start_;
};

struct Figures {
    uint64_t files = 0;
    uint64_t fileBytes = 0;
    int64_t fileRead = 0;
    int64_t fileSha256 = 0;
    uint64_t payloadFiles = 0;
    uint64_t chunks = 0;
    uint64_t plaintextBytes = 0;
    int64_t payloadRead = 0;
    int64_t aesGcm = 0;
    int64_t plaintextSha256 = 0;
    int64_t cngSetup = 0;         // opening providers, creating hash objects and the key
    int64_t plaintextWrite = 0;   // with OUT_DIR: WriteFile and FlushFileBuffers
    int64_t plaintextReread = 0;  // with OUT_DIR: ReadFile of the written files
    int64_t plaintextRehash = 0;  // with OUT_DIR: their SHA-256
    int64_t work = 0;
    double workCpuMs = 0;  // user and kernel time of the process during the work
};

// One SHA-256 computation straight through CNG.
class Sha256 {
  public:
    Sha256() {
        DWORD objectLength = 0;
        ULONG resultSize = 0;
        ok_ = BCRYPT_SUCCESS(
                  ::BCryptOpenAlgorithmProvider(&provider_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
              BCRYPT_SUCCESS(::BCryptGetProperty(provider_, BCRYPT_OBJECT_LENGTH,
                                                 reinterpret_cast<PUCHAR>(&objectLength),
                                                 sizeof objectLength, &resultSize, 0));
        if (ok_) {
            object_.resize(objectLength);
            ok_ = BCRYPT_SUCCESS(
                ::BCryptCreateHash(provider_, &hash_, object_.data(), objectLength, nullptr, 0, 0));
        }
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256() {
        if (hash_ != nullptr) ::BCryptDestroyHash(hash_);
        if (provider_ != nullptr) ::BCryptCloseAlgorithmProvider(provider_, 0);
    }

    bool ok() const { return ok_; }
    void Update(const uint8_t* data, DWORD size) {
        ok_ = ok_ && BCRYPT_SUCCESS(::BCryptHashData(hash_, const_cast<PUCHAR>(data), size, 0));
    }
    bool Finish(uint8_t* digest) {
        ok_ = ok_ && BCRYPT_SUCCESS(::BCryptFinishHash(hash_, digest, 32, 0));
        return ok_;
    }

  private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    std::vector<uint8_t> object_;
    bool ok_ = false;
};

// The AES-256-GCM payload key straight through CNG, formed from the compiled-in shares.
class GcmKey {
  public:
    GcmKey() {
        DWORD objectLength = 0;
        ULONG resultSize = 0;
        ok_ = BCRYPT_SUCCESS(
                  ::BCryptOpenAlgorithmProvider(&provider_, BCRYPT_AES_ALGORITHM, nullptr, 0)) &&
              BCRYPT_SUCCESS(::BCryptSetProperty(
                  provider_, BCRYPT_CHAINING_MODE,
                  reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                  sizeof BCRYPT_CHAIN_MODE_GCM, 0)) &&
              BCRYPT_SUCCESS(::BCryptGetProperty(provider_, BCRYPT_OBJECT_LENGTH,
                                                 reinterpret_cast<PUCHAR>(&objectLength),
                                                 sizeof objectLength, &resultSize, 0));
        if (!ok_) return;
        object_.resize(objectLength);
        uint8_t secret[32];
        for (int i = 0; i < 32; ++i) {
            secret[i] = static_cast<uint8_t>(veltomarn::kPayloadKeyShareA[i] ^
                                             veltomarn::kPayloadKeyShareB[i]);
        }
        ok_ = BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(provider_, &key_, object_.data(),
                                                          objectLength, secret, 32, 0));
        ::SecureZeroMemory(secret, sizeof secret);
    }
    GcmKey(const GcmKey&) = delete;
    GcmKey& operator=(const GcmKey&) = delete;
    ~GcmKey() {
        if (key_ != nullptr) ::BCryptDestroyKey(key_);
        if (provider_ != nullptr) ::BCryptCloseAlgorithmProvider(provider_, 0);
        ::SecureZeroMemory(object_.data(), object_.size());
    }

    bool ok() const { return ok_; }
    BCRYPT_KEY_HANDLE get() const { return key_; }

  private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
    std::vector<uint8_t> object_;
    bool ok_ = false;
};

// Every regular file under `directory` (relative paths with backslashes), sorted.
void ListFiles(const std::wstring& directory, const std::wstring& prefix,
               std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ListFiles(directory + L"\\" + name, prefix + name + L"\\", files);
        } else {
            files.push_back(prefix + name);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(files.begin(), files.end());
}

HANDLE OpenForReading(const std::wstring& path) {
    // The bootstrap's file open: shared for reading only, sequential, never through a link.
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Step 1: SHA-256 of every package file, 131072-byte pieces.
bool HashPackageFiles(const std::wstring& directory, Figures& figures) {
    std::vector<std::wstring> files;
    ListFiles(directory, L"", files);
    std::vector<uint8_t> buffer(kPieceBytes);
    for (const std::wstring& relative : files) {
        const HANDLE file = OpenForReading(directory + L"\\" + relative);
        if (file == INVALID_HANDLE_VALUE) {
            std::printf("cannot open %ls (error %lu)\n", relative.c_str(), ::GetLastError());
            return false;
        }
        std::optional<Sha256> hash;
        {
            const Stopwatch watch(figures.cngSetup);
            hash.emplace();
        }
        bool ok = hash->ok();
        for (;;) {
            DWORD read = 0;
            {
                const Stopwatch watch(figures.fileRead);
                ok = ok && ::ReadFile(file, buffer.data(), kPieceBytes, &read, nullptr);
            }
            if (!ok || read == 0) break;
            figures.fileBytes += read;
            const Stopwatch watch(figures.fileSha256);
            hash->Update(buffer.data(), read);
        }
        uint8_t digest[32];
        {
            const Stopwatch watch(figures.fileSha256);
            ok = hash->Finish(digest) && ok;
        }
        ::CloseHandle(file);
        if (!ok) {
            std::printf("cannot hash %ls\n", relative.c_str());
            return false;
        }
        ++figures.files;
    }
    return true;
}

std::vector<uint8_t> AdditionalData(const veltomarn::PayloadIndex& index,
                                    const veltomarn::PayloadEntry& entry, uint32_t chunk) {
    std::vector<uint8_t> data(index.header);
    data.insert(data.end(), entry.record.begin(), entry.record.end());
    for (int shift = 0; shift < 32; shift += 8)
        data.push_back(static_cast<uint8_t>(chunk >> shift));
    return data;
}

bool ReadExactly(HANDLE file, uint8_t* buffer, DWORD size, Figures& figures) {
    const Stopwatch watch(figures.payloadRead);
    DWORD read = 0;
    return ::ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

// Step 2: every chunk of the payload decrypted, authenticated and hashed; 0 when sound, 1 when
// a chunk or a digest failed, 2 when the payload cannot be opened or parsed.
int UnsealToNowhere(const std::wstring& directory, const std::wstring& out, Figures& figures) {
    const HANDLE file = OpenForReading(directory + L"\\" + kPayloadName);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open the payload (error %lu)\n", ::GetLastError());
        return 2;
    }
    veltomarn::PayloadIndex index;
    try {
        veltomarn::Win32Platform platform;
        const Stopwatch watch(figures.payloadRead);
        index = veltomarn::ReadPayloadIndex(platform, file);
    } catch (const veltomarn::Failure& failure) {
        std::printf("ReadPayloadIndex failed: %s\n", failure.code());
        ::CloseHandle(file);
        return 2;
    }
    std::optional<GcmKey> key;
    {
        const Stopwatch watch(figures.cngSetup);
        key.emplace();
    }
    if (!key->ok()) {
        std::printf("cannot form the AES-256-GCM key\n");
        ::CloseHandle(file);
        return 2;
    }
    std::vector<uint8_t> ciphertext(veltomarn::kPayloadChunkBytes);
    std::vector<uint8_t> plaintext(veltomarn::kPayloadChunkBytes);
    uint64_t failedChunks = 0;
    uint64_t failedDigests = 0;
    bool readOk = true;
    std::vector<std::wstring> written;
    for (const veltomarn::PayloadEntry& entry : index.entries) {
        std::optional<Sha256> hash;
        {
            const Stopwatch watch(figures.cngSetup);
            hash.emplace();
        }
        HANDLE target = INVALID_HANDLE_VALUE;
        if (!out.empty()) {
            written.push_back(out + L"\\" + std::to_wstring(written.size()) + L".bin");
            const Stopwatch watch(figures.plaintextWrite);
            target = ::CreateFileW(written.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        }
        for (uint32_t chunk = 0; readOk && chunk < entry.chunkCount; ++chunk) {
            uint8_t record[kChunkRecordBytes];
            readOk = ReadExactly(file, record, kChunkRecordBytes, figures);
            const DWORD length = record[28] | DWORD{record[29]} << 8 | DWORD{record[30]} << 16 |
                                 DWORD{record[31]} << 24;
            readOk = readOk && length <= ciphertext.size();
            readOk =
                readOk && (length == 0 || ReadExactly(file, ciphertext.data(), length, figures));
            if (!readOk) break;
            std::vector<uint8_t> additional = AdditionalData(index, entry, chunk);
            BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
            BCRYPT_INIT_AUTH_MODE_INFO(info);
            info.pbNonce = record;
            info.cbNonce = kNonceBytes;
            info.pbAuthData = additional.data();
            info.cbAuthData = static_cast<ULONG>(additional.size());
            info.pbTag = record + kNonceBytes;
            info.cbTag = kTagBytes;
            ULONG produced = 0;
            NTSTATUS status;
            {
                const Stopwatch watch(figures.aesGcm);
                status = ::BCryptDecrypt(key->get(), ciphertext.data(), length, &info, nullptr, 0,
                                         plaintext.data(), length, &produced, 0);
            }
            if (!BCRYPT_SUCCESS(status) || produced != length) ++failedChunks;
            {
                const Stopwatch watch(figures.plaintextSha256);
                hash->Update(plaintext.data(), length);
            }
            if (target != INVALID_HANDLE_VALUE) {
                const Stopwatch watch(figures.plaintextWrite);
                DWORD done = 0;
                readOk =
                    ::WriteFile(target, plaintext.data(), length, &done, nullptr) && done == length;
            }
            ::SecureZeroMemory(plaintext.data(), length);
            ++figures.chunks;
            figures.plaintextBytes += length;
        }
        if (target != INVALID_HANDLE_VALUE) {
            const Stopwatch watch(figures.plaintextWrite);
            ::FlushFileBuffers(target);
            ::CloseHandle(target);
        }
        if (!readOk) break;
        uint8_t digest[32];
        bool finished;
        {
            const Stopwatch watch(figures.plaintextSha256);
            finished = hash->Finish(digest);
        }
        if (!finished || !std::equal(digest, digest + 32, entry.digest.begin())) ++failedDigests;
        ++figures.payloadFiles;
    }
    ::CloseHandle(file);
    // The check before the start: every written file read back and hashed again.
    for (const std::wstring& path : written) {
        const HANDLE back = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        Sha256 again;
        for (DWORD got = 1; got != 0 && readOk;) {
            {
                const Stopwatch watch(figures.plaintextReread);
                readOk = ::ReadFile(back, plaintext.data(), kPieceBytes, &got, nullptr) != FALSE;
            }
            const Stopwatch watch(figures.plaintextRehash);
            again.Update(plaintext.data(), got);
        }
        uint8_t digest[32];
        const Stopwatch watch(figures.plaintextRehash);
        readOk = readOk && again.Finish(digest);
        ::CloseHandle(back);
    }
    if (!readOk) {
        std::printf("the payload ends early or announces an oversized chunk\n");
        return 2;
    }
    if (failedChunks != 0 || failedDigests != 0) {
        std::printf("FAILED: %llu chunks did not authenticate, %llu digests did not match\n",
                    static_cast<unsigned long long>(failedChunks),
                    static_cast<unsigned long long>(failedDigests));
        return 1;
    }
    std::printf("every one of %llu chunks authenticated, every one of %llu digests matched\n",
                static_cast<unsigned long long>(figures.chunks),
                static_cast<unsigned long long>(figures.payloadFiles));
    return 0;
}

// User and kernel time of this process so far, in milliseconds.
double ProcessCpuMilliseconds() {
    FILETIME creation, exit, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& time) {
        return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;  // 100 ns units
}

double MiBPerSecond(uint64_t bytes, int64_t ticks) {
    const double ms = Milliseconds(ticks);
    return ms > 0 ? static_cast<double>(bytes) / 1048576.0 / (ms / 1000.0) : 0.0;
}

void PrintFigure(const char* label, int64_t ticks, uint64_t bytes) {
    std::printf("  %-52s %10.1f ms  %8.1f MiB/s\n", label, Milliseconds(ticks),
                MiBPerSecond(bytes, ticks));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) {
        std::printf("usage: verify_benchmark.exe PACKAGE_DIR [OUT_DIR]\n");
        return 2;
    }
    std::wstring directory = argv[1];
    const std::wstring out = argc == 3 ? argv[2] : L"";
    while (directory.size() > 3 && (directory.back() == L'\\' || directory.back() == L'/'))
        directory.pop_back();

    Figures figures;
    int result;
    const double cpuBefore = ProcessCpuMilliseconds();
    {
        const Stopwatch watch(figures.work);
        if (!HashPackageFiles(directory, figures)) return 2;
        result = UnsealToNowhere(directory, out, figures);
    }
    figures.workCpuMs = ProcessCpuMilliseconds() - cpuBefore;
    if (result == 2) return 2;

    const int64_t cng =
        figures.cngSetup + figures.fileSha256 + figures.aesGcm + figures.plaintextSha256;
    const int64_t read = figures.fileRead + figures.payloadRead;
    std::printf("package files: %llu files, %llu bytes\n",
                static_cast<unsigned long long>(figures.files),
                static_cast<unsigned long long>(figures.fileBytes));
    PrintFigure("ReadFile, 131072-byte pieces", figures.fileRead, figures.fileBytes);
    PrintFigure("SHA-256, BCryptHashData per piece", figures.fileSha256, figures.fileBytes);
    std::printf("payload: %llu files, %llu chunks, %llu plaintext bytes\n",
                static_cast<unsigned long long>(figures.payloadFiles),
                static_cast<unsigned long long>(figures.chunks),
                static_cast<unsigned long long>(figures.plaintextBytes));
    PrintFigure("ReadPayloadIndex + ReadFile of records and ciphertext", figures.payloadRead,
                figures.plaintextBytes);
    PrintFigure("AES-256-GCM, BCryptDecrypt per chunk (1 MiB)", figures.aesGcm,
                figures.plaintextBytes);
    PrintFigure("SHA-256 of the plaintext, BCryptHashData per chunk", figures.plaintextSha256,
                figures.plaintextBytes);
    std::printf("  %-52s %10.1f ms\n", "CNG set-up (providers, hash objects, key)",
                Milliseconds(figures.cngSetup));
    std::printf("  %-52s %10.1f ms\n", "CNG total (set-up and the three CNG figures)",
                Milliseconds(cng));
    std::printf("  %-52s %10.1f ms\n", "reads total", Milliseconds(read));
    std::printf("  %-52s %10.1f ms\n", "all the work, wall time", Milliseconds(figures.work));
    std::printf("  %-52s %10.1f ms\n", "all the work, CPU time (user + kernel)", figures.workCpuMs);
    if (!out.empty()) {
        PrintFigure("plaintext written, WriteFile per chunk + flush", figures.plaintextWrite,
                    figures.plaintextBytes);
        PrintFigure("plaintext read back, 131072-byte pieces", figures.plaintextReread,
                    figures.plaintextBytes);
        PrintFigure("SHA-256 of the plaintext again", figures.plaintextRehash,
                    figures.plaintextBytes);
        std::printf("SELFTEST writeMs=%.3f rereadMs=%.3f rehashMs=%.3f selfTestBareMs=%.3f\n",
                    Milliseconds(figures.plaintextWrite), Milliseconds(figures.plaintextReread),
                    Milliseconds(figures.plaintextRehash),
                    Milliseconds(cng + figures.plaintextWrite + figures.plaintextRehash));
        for (uint64_t k = 0; k < figures.payloadFiles; ++k) {
            ::DeleteFileW((out + L"\\" + std::to_wstring(k) + L".bin").c_str());
        }
    }
    std::printf(
        "BARE files=%llu fileBytes=%llu fileReadMs=%.3f fileSha256Ms=%.3f payloadFiles=%llu "
        "chunks=%llu plaintextBytes=%llu payloadReadMs=%.3f aesGcmMs=%.3f plaintextSha256Ms=%.3f "
        "cngSetupMs=%.3f cngMs=%.3f readMs=%.3f workMs=%.3f workCpuMs=%.1f\n",
        static_cast<unsigned long long>(figures.files),
        static_cast<unsigned long long>(figures.fileBytes), Milliseconds(figures.fileRead),
        Milliseconds(figures.fileSha256), static_cast<unsigned long long>(figures.payloadFiles),
        static_cast<unsigned long long>(figures.chunks),
        static_cast<unsigned long long>(figures.plaintextBytes), Milliseconds(figures.payloadRead),
        Milliseconds(figures.aesGcm), Milliseconds(figures.plaintextSha256),
        Milliseconds(figures.cngSetup), Milliseconds(cng), Milliseconds(read),
        Milliseconds(figures.work), figures.workCpuMs);
    return result;
}
