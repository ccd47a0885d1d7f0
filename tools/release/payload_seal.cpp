#include "release/payload_seal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/failure.h"
#include "payload/payload_format.h"
#include "platform/posix/posix_platform.h"
#include "platform/scoped_handle.h"
#include "release/chunk_crypto.h"
#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/progress_line.h"
#include "release/secret_memory.h"
#include "release/tool_error.h"

namespace veltomarn::release {
namespace {

constexpr char kTemporaryInfix[] = "~seal-";

// --- reading the files --------------------------------------------------------------------------

// Reads one file as a stream of chunks and checks that it is the file the scan found and ends
// where the scan said it would.
class ScannedFileReader {
  public:
    ScannedFileReader(const std::string& root, const InnerFile& file)
        : path_(JoinPath(root, file.path)),
          fd_(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)),
          remaining_(file.size) {
        if (fd_.get() < 0) RefuseSystem("cannot open", path_, errno);
        struct stat status;
        if (fstat(fd_.get(), &status) != 0) RefuseSystem("cannot inspect", path_, errno);
        if (!S_ISREG(status.st_mode) || status.st_nlink != 1 ||
            static_cast<uint64_t>(status.st_dev) != file.device ||
            static_cast<uint64_t>(status.st_ino) != file.inode ||
            static_cast<uint64_t>(status.st_size) != file.size) {
            Changed();
        }
    }

    // The next chunk's plaintext into `buffer`: min(remaining, 1 MiB) bytes.
    std::size_t Next(uint8_t* buffer) {
        const auto length = static_cast<std::size_t>(std::min(remaining_, kPayloadChunkBytes));
        if (ReadUpTo(fd_.get(), buffer, length, path_) != length) Changed();
        remaining_ -= length;
        return length;
    }

    // After the last chunk: the file must end here.
    void ExpectEnd() {
        uint8_t extra = 0;
        if (ReadUpTo(fd_.get(), &extra, 1, path_) != 0) Changed();
    }

    [[noreturn]] void Changed() {
        Refuse(ShowPath(path_) + ": changed while it was being sealed; nothing was written");
    }

  private:
    const std::string path_;
    const Descriptor fd_;
    uint64_t remaining_;
};

// --- the output ---------------------------------------------------------------------------------

struct OutputPlace {
    std::string directory;  // real, absolute
    std::string name;
    std::string path;
};

OutputPlace PlaceOutput(const std::string& output, const std::string& innerRoot) {
    const std::size_t slash = output.rfind('/');
    OutputPlace place;
    place.name = slash == std::string::npos ? output : output.substr(slash + 1);
    if (place.name.empty() || place.name == "." || place.name == "..") {
        Refuse(ShowPath(output) + ": not a file name for the payload");
    }
    place.directory = RealDirectory(slash == std::string::npos ? "." : output.substr(0, slash + 1));
    place.path = JoinPath(place.directory, place.name);
    const std::string below = innerRoot == "/" ? "/" : innerRoot + "/";
    if (place.directory == innerRoot || place.directory.rfind(below, 0) == 0) {
        Refuse(ShowPath(place.path) + ": lies inside " + ShowPath(innerRoot) +
               ", the directory being sealed");
    }
    struct stat status;
    if (lstat(place.path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            Refuse(ShowPath(place.path) + ": exists and is not a plain file; it is never replaced");
        }
    } else if (errno != ENOENT) {
        RefuseSystem("cannot inspect", place.path, errno);
    }
    return place;
}

// The payload under a temporary name beside its final name, removed unless it was committed.
class TemporaryPayload {
  public:
    explicit TemporaryPayload(const OutputPlace& place)
        : place_(place),
          path_(JoinPath(place.directory, place.name + kTemporaryInfix + "XXXXXX")),
          fd_(mkostemp(path_.data(), O_CLOEXEC)) {
        if (fd_.get() < 0) RefuseSystem("cannot create a temporary file for it", place.path, errno);
    }
    TemporaryPayload(const TemporaryPayload&) = delete;
    TemporaryPayload& operator=(const TemporaryPayload&) = delete;
    ~TemporaryPayload() {
        if (!committed_) unlink(path_.c_str());
    }

    const std::string& path() const { return path_; }

    void Write(const uint8_t* data, std::size_t size) { WriteFully(fd_.get(), data, size, path_); }

    // Readable by all, like every file of a package; flushed and closed.
    void Finish() {
        if (fchmod(fd_.get(), 0644) != 0) {
            RefuseSystem("cannot set the permissions of", path_, errno);
        }
        if (fsync(fd_.get()) != 0) RefuseSystem("cannot flush", path_, errno);
        fd_.Close(path_);
    }

    void Commit() {
        if (std::rename(path_.c_str(), place_.path.c_str()) != 0) {
            RefuseSystem("cannot rename to " + ShowPath(place_.path), path_, errno);
        }
        committed_ = true;
        SyncDirectory(place_.directory);
    }

  private:
    const OutputPlace place_;
    std::string path_;
    Descriptor fd_;
    bool committed_ = false;
};

// --- sealing ------------------------------------------------------------------------------------

// The SHA-256 of one file, read as a stream of chunks.
Sha256Digest HashFile(const std::string& root, const InnerFile& file, ChunkBuffer& plaintext,
                      ProgressLine& meter) {
    ScannedFileReader reader(root, file);
    Sha256Stream hash;
    for (uint64_t chunk = 0; chunk < ChunkCountFor(file.size); ++chunk) {
        const std::size_t length = reader.Next(plaintext.data());
        hash.Update(plaintext.data(), length);
        plaintext.Wipe();
        meter.Advance(length);
    }
    reader.ExpectEnd();
    return hash.Finish();
}

struct PayloadTable {
    std::vector<uint8_t> header;                // 44 bytes
    std::vector<std::vector<uint8_t>> records;  // one file record per file, in table order
    std::vector<uint8_t> indexBytes;            // the header and every record
    uint64_t payloadBytes = 0;                  // the size of the whole payload file
};

PayloadTable BuildTable(const InnerScan& scan, const std::vector<Sha256Digest>& digests,
                        const std::array<uint8_t, kPayloadIdentityBytes>& identity) {
    PayloadTable table;
    table.header = EncodePayloadHeader(static_cast<uint32_t>(scan.files.size()),
                                       scan.plaintextBytes, identity);
    table.indexBytes = table.header;
    table.payloadBytes = table.header.size();
    for (std::size_t k = 0; k < scan.files.size(); ++k) {
        const InnerFile& file = scan.files[k];
        std::vector<uint8_t> record = EncodeFileRecord(file.path, file.size, digests[k]);
        table.indexBytes.insert(table.indexBytes.end(), record.begin(), record.end());
        table.payloadBytes += SealedFileBytes(file.path, file.size);
        table.records.push_back(std::move(record));
    }
    return table;
}

// Appends the chunks of one file to the payload; the file must still hash to `digest`.
void SealFile(const std::string& root, const InnerFile& file, const Sha256Digest& digest,
              const std::vector<uint8_t>& header, const std::vector<uint8_t>& record,
              ChunkSealer& sealer, ChunkBuffer& plaintext, TemporaryPayload& payload,
              ProgressLine& meter) {
    ScannedFileReader reader(root, file);
    Sha256Stream hash;
    std::array<uint8_t, kChunkRecordBytes> chunkRecord{};
    for (uint32_t chunk = 0; chunk < ChunkCountFor(file.size); ++chunk) {
        const std::size_t length = reader.Next(plaintext.data());
        hash.Update(plaintext.data(), length);
        const uint8_t* ciphertext = sealer.Seal(ChunkAdditionalData(header, record, chunk),
                                                plaintext.data(), length, chunkRecord);
        plaintext.Wipe();
        payload.Write(chunkRecord.data(), chunkRecord.size());
        payload.Write(ciphertext, length);
        meter.Advance(length);
    }
    reader.ExpectEnd();
    if (hash.Finish() != digest) reader.Changed();
}

// The bootstrap's own index reader over the written file must read back exactly the index that
// was meant, and the file must end where the chunk stream ends.
void CheckWrittenIndex(const std::string& path, const std::vector<uint8_t>& indexBytes,
                       const InnerScan& scan, uint64_t expectedSize) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) RefuseSystem("cannot inspect", path, errno);
    if (static_cast<uint64_t>(status.st_size) != expectedSize) {
        Refuse(ShowPath(path) + ": the payload written is " + std::to_string(status.st_size) +
               " bytes long instead of " + std::to_string(expectedSize) + "; nothing was written");
    }
    const std::optional<WideString> drivePath = DrivePathFromLinux(path);
    if (!drivePath) Refuse(ShowPath(path) + ": the path cannot be expressed as a drive path");
    PosixPlatform files;
    const ScopedHandle file(
        files,
        files.CreateFileW(drivePath->c_str(), win::kGenericRead, win::kFileShareRead, nullptr,
                          win::kOpenExisting, win::kFileFlagOpenReparsePoint, nullptr));
    if (!file) Refuse(ShowPath(path) + ": the payload written cannot be opened to check it");
    try {
        const PayloadIndex index = ReadPayloadIndex(files, file.get());
        bool same = index.indexBytes == indexBytes && index.plaintextBytes == scan.plaintextBytes &&
                    index.entries.size() == scan.files.size();
        for (std::size_t k = 0; same && k < scan.files.size(); ++k) {
            same = index.entries[k].path == scan.files[k].path &&
                   index.entries[k].size == scan.files[k].size;
        }
        if (!same) Refuse("the payload written reads back differently; nothing was written");
    } catch (const Failure& failure) {
        Refuse(std::string("the payload written fails the bootstrap's index check (") +
               failure.code() + "); nothing was written");
    }
}

}  // namespace

SealedPayload SealPayload(const std::string& innerDirectory, const std::string& output,
                          const PayloadKeyMaterial& key, std::ostream* progress) {
    const std::string root = RealDirectory(innerDirectory);
    const OutputPlace place = PlaceOutput(output, root);
    const InnerScan scan = ScanInnerDirectory(root);
    // Each plaintext byte is read twice: once to hash it, once to seal it.
    ProgressLine meter(progress, "sealing", scan.plaintextBytes, 2);
    ChunkBuffer plaintext;

    // The table carries every file's digest, so every file is read once before anything is sealed.
    std::vector<Sha256Digest> digests;
    for (const InnerFile& file : scan.files) {
        digests.push_back(HashFile(root, file, plaintext, meter));
    }
    SealedPayload sealed;
    sealed.files = scan.files.size();
    sealed.plaintextBytes = scan.plaintextBytes;
    RandomBytes(sealed.identity.data(), sealed.identity.size());
    const PayloadTable table = BuildTable(scan, digests, sealed.identity);
    sealed.payloadBytes = table.payloadBytes;

    TemporaryPayload temporary(place);
    temporary.Write(table.indexBytes.data(), table.indexBytes.size());
    ChunkSealer sealer(key);
    for (std::size_t k = 0; k < scan.files.size(); ++k) {
        SealFile(root, scan.files[k], digests[k], table.header, table.records[k], sealer, plaintext,
                 temporary, meter);
    }
    temporary.Finish();
    CheckWrittenIndex(temporary.path(), table.indexBytes, scan, table.payloadBytes);
    temporary.Commit();
    return sealed;
}

}  // namespace veltomarn::release
