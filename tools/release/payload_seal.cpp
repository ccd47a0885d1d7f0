#include "release/payload_seal.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "core/failure.h"
#include "core/relative_path.h"
#include "distribution/release_inventory.h"
#include "payload/payload_format.h"
#include "platform/posix/posix_platform.h"
#include "platform/scoped_handle.h"
#include "release/tool_support.h"

namespace veltomarn::release {
namespace {

constexpr char kMagic[] = "VELTO-SEALED-V1";  // 15 characters and the terminating zero: 16 bytes
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kChunkRecordBytes = kNonceBytes + kTagBytes + 4;
constexpr std::size_t kIdentityBytes = 16;
constexpr char kTemporaryInfix[] = "~seal-";

using Nonce = std::array<uint8_t, kNonceBytes>;
using Digest = std::array<uint8_t, 32>;

static_assert(sizeof kMagic == 16);

void PutLittleEndian(std::vector<uint8_t>& bytes, uint64_t value, std::size_t width) {
    for (std::size_t k = 0; k < width; ++k) bytes.push_back(static_cast<uint8_t>(value >> (8 * k)));
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A descriptor closed when it goes away.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

void RandomBytes(uint8_t* bytes, std::size_t count) {
    if (RAND_bytes(bytes, static_cast<int>(count)) != 1) {
        Refuse("the system random generator failed; nothing was written");
    }
}

// --- the walk -----------------------------------------------------------------------------------

class InnerScanner {
  public:
    explicit InnerScanner(std::string root) : root_(std::move(root)) {}

    InnerScan Run() {
        const int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) RefuseSystem("cannot open the directory to seal", root_, errno);
        const Descriptor owner(fd);
        Walk(fd, "");
        std::sort(scan_.files.begin(), scan_.files.end(),
                  [](const InnerFile& a, const InnerFile& b) { return a.path < b.path; });
        CheckNames();
        if (scan_.files.size() > kMaxPayloadFiles) {
            problems_.Add(
                "", std::to_string(scan_.files.size()) + " files; a payload holds at most 512");
        }
        if (scan_.plaintextBytes > kMaxPayloadPlaintextBytes) {
            problems_.Add("", "the files add up to " + std::to_string(scan_.plaintextBytes) +
                                  " bytes; a payload holds at most 4294967296 (4 GiB)");
        }
        for (const char* required : {kBootstrapFileName, kInventoryName, kSignatureName}) {
            const bool present =
                std::any_of(scan_.files.begin(), scan_.files.end(),
                            [&](const InnerFile& file) { return file.path == required; });
            if (!present) {
                problems_.Add(required,
                              "missing: every payload holds it at the top, spelt exactly so (the "
                              "inner launcher and its own signed inventory)");
            }
        }
        problems_.RefuseIfAny();
        // The package check opens the payload file with a limit of 4 GiB, and the inventory lists
        // no larger file: the chunk records and the table must fit beside the plaintext.
        uint64_t payloadBytes = kPayloadHeaderBytes;
        for (const InnerFile& file : scan_.files) {
            payloadBytes += kPayloadRecordFixedBytes + file.path.size() +
                            ChunkCountFor(file.size) * kChunkRecordBytes + file.size;
        }
        if (payloadBytes > kMaxInventoryFileBytes) {
            Refuse(ShowPath(root_) + ": the payload would be " + std::to_string(payloadBytes) +
                   " bytes long, more than the 4294967296 bytes (4 GiB) that a package file may "
                   "have; its table and 32 bytes per MiB must fit beside the files' " +
                   std::to_string(scan_.plaintextBytes) + " bytes");
        }
        return scan_;
    }

  private:
    std::vector<std::string> List(int fd, const std::string& relative) {
        const int listingFd = dup(fd);
        DIR* listing = listingFd < 0 ? nullptr : fdopendir(listingFd);
        if (listing == nullptr) {
            if (listingFd >= 0) close(listingFd);
            RefuseSystem("cannot list", JoinPath(root_, relative), errno);
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        const int error = errno;
        closedir(listing);
        if (error != 0) RefuseSystem("cannot list", JoinPath(root_, relative), error);
        std::sort(names.begin(), names.end());
        return names;
    }

    void Walk(int fd, const std::string& directory) {
        const std::vector<std::string> names = List(fd, directory);
        if (!directory.empty() && names.empty()) {
            problems_.Add(directory,
                          "an empty directory: only files are sealed, so it would not exist "
                          "after unsealing; put a file in it or remove it");
        }
        for (const std::string& name : names) {
            const std::string relative = directory.empty() ? name : directory + "/" + name;
            struct stat status;
            if (fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                RefuseSystem("cannot inspect", JoinPath(root_, relative), errno);
            }
            const auto problem = [&](const std::string& why) { problems_.Add(relative, why); };
            if (S_ISLNK(status.st_mode)) {
                problem("a symbolic link (only plain files and directories are sealed)");
                continue;
            }
            if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) {
                problem("neither a plain file nor a directory");
                continue;
            }
            try {
                ValidateRelativePath(relative);
            } catch (const Failure& failure) {
                problem(std::string("a name the bootstrap refuses (") + failure.code() +
                        "): letters, digits, '-', '.', '_' only, no device names, no trailing "
                        "dot, at most 16 levels and 240 bytes");
                continue;
            }
            if (relative == kOwnerReservedName || EndsWith(relative, kPartialSuffix)) {
                problem(std::string("a reserved name: the bootstrap keeps \"") +
                        kOwnerReservedName + "\" at the top and names ending in \"" +
                        kPartialSuffix + "\" for its own use");
                continue;
            }
            if (S_ISDIR(status.st_mode)) {
                scan_.directories.insert(relative);
                const int child =
                    openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child < 0) RefuseSystem("cannot open", JoinPath(root_, relative), errno);
                const Descriptor owner(child);
                Walk(child, relative);
                continue;
            }
            if (status.st_nlink != 1) {
                problem("has " + std::to_string(status.st_nlink) +
                        " names (a hard link); only files with one name are sealed");
                continue;
            }
            const auto size = static_cast<uint64_t>(status.st_size);
            // Saturates: the total is only compared with the 4 GiB limit.
            scan_.plaintextBytes = std::min<uint64_t>(
                scan_.plaintextBytes + std::min<uint64_t>(size, 1ull << 40), 1ull << 60);
            scan_.files.push_back(InnerFile{relative, size, static_cast<uint64_t>(status.st_dev),
                                            static_cast<uint64_t>(status.st_ino)});
        }
    }

    // One folded name for every file, every directory and every file's name during unsealing, in
    // the order in which the bootstrap's index reader takes them.
    void CheckNames() {
        std::map<std::string, std::string> folded;  // folded name -> the name as found
        std::vector<std::string> paths;
        for (const InnerFile& file : scan_.files) {
            paths.push_back(file.path);
            const auto [it, inserted] = folded.emplace(FoldPathCase(file.path), file.path);
            if (!inserted) {
                problems_.Add(file.path, "differs only in letter case from " +
                                             ShowPath(JoinPath(root_, it->second)) +
                                             " (Windows would see one name)");
            }
        }
        for (const std::string& directory : ImpliedDirectories(paths)) {
            const auto [it, inserted] = folded.emplace(FoldPathCase(directory), directory);
            if (!inserted) {
                problems_.Add(directory,
                              "a directory whose name differs only in letter case from " +
                                  ShowPath(JoinPath(root_, it->second)) +
                                  " (Windows would see one name)");
            }
        }
        for (const InnerFile& file : scan_.files) {
            const std::string partial = file.path + kPartialSuffix;
            const auto [it, inserted] = folded.emplace(FoldPathCase(partial), partial);
            if (!inserted) {
                problems_.Add(file.path,
                              "is written as \"" + ShowPath(partial) +
                                  "\" while it is unsealed, which differs only in letter "
                                  "case from " +
                                  ShowPath(JoinPath(root_, it->second)));
            }
        }
    }

    const std::string root_;
    Problems problems_{root_};
    InnerScan scan_;
};

// --- reading the files --------------------------------------------------------------------------

// Opens the file that the scan found at `file.path`, refusing anything else found there now.
int OpenScannedFile(const std::string& root, const InnerFile& file) {
    const std::string path = JoinPath(root, file.path);
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) RefuseSystem("cannot open", path, errno);
    struct stat status;
    if (fstat(fd, &status) != 0) {
        const int error = errno;
        close(fd);
        RefuseSystem("cannot inspect", path, error);
    }
    if (!S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        static_cast<uint64_t>(status.st_dev) != file.device ||
        static_cast<uint64_t>(status.st_ino) != file.inode ||
        static_cast<uint64_t>(status.st_size) != file.size) {
        close(fd);
        Refuse(ShowPath(path) + ": changed while it was being sealed; nothing was written");
    }
    return fd;
}

// Reads up to `size` bytes, fewer only at the end of the file. Throws ToolError (2).
std::size_t ReadUpTo(int fd, uint8_t* buffer, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = read(fd, buffer + done, size - done);
        if (count < 0) {
            if (errno == EINTR) continue;
            RefuseSystem("cannot read", path, errno);
        }
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    return done;
}

// Plaintext of one chunk, wiped after use and when it goes away.
class ChunkBuffer {
  public:
    ChunkBuffer() : bytes_(kPayloadChunkBytes) {}
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;
    ~ChunkBuffer() { Wipe(); }
    uint8_t* data() { return bytes_.data(); }
    void Wipe() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

  private:
    std::vector<uint8_t> bytes_;
};

// Reads one file as a stream of chunks and checks that it ends where the scan said it would.
class ChunkReader {
  public:
    ChunkReader(const std::string& root, const InnerFile& file)
        : path_(JoinPath(root, file.path)),
          fd_(OpenScannedFile(root, file)),
          remaining_(file.size) {}

    // The next chunk's plaintext into `buffer`: min(remaining, 1 MiB) bytes.
    std::size_t Next(uint8_t* buffer) {
        const std::size_t length =
            static_cast<std::size_t>(std::min<uint64_t>(remaining_, kPayloadChunkBytes));
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

// --- crypto ------------------------------------------------------------------------------------

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class Sha256Stream {
  public:
    Sha256Stream() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            Refuse("SHA-256 is not available from OpenSSL");
        }
    }
    void Update(const uint8_t* data, std::size_t size) {
        if (EVP_DigestUpdate(context_.get(), data, size) != 1) Refuse("SHA-256 failed");
    }
    Digest Finish() {
        Digest digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != 32) {
            Refuse("SHA-256 failed");
        }
        return digest;
    }

  private:
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context_;
};

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// AES-256-GCM with one key for the whole payload and a fresh random nonce for every chunk. The
// nonces of the payload are remembered, so none is used twice however the generator behaves.
class ChunkSealer {
  public:
    explicit ChunkSealer(const PayloadKeyMaterial& key) : context_(EVP_CIPHER_CTX_new()) {
        if (!context_ ||
            EVP_EncryptInit_ex(context_.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
            EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) !=
                1 ||
            EVP_EncryptInit_ex(context_.get(), nullptr, nullptr, key.bytes().data(), nullptr) !=
                1) {
            Refuse("AES-256-GCM is not available from OpenSSL");
        }
    }

    // Encrypts `length` bytes of `plaintext` (at most 1 MiB) for a chunk with additional data
    // `aad`, fills `record` (nonce, tag, length) and returns the ciphertext, valid until the next
    // call.
    const uint8_t* Seal(const std::vector<uint8_t>& aad, const uint8_t* plaintext,
                        std::size_t length, std::array<uint8_t, kChunkRecordBytes>& record) {
        uint8_t* ciphertext = ciphertext_.data();
        const Nonce nonce = FreshNonce();
        int produced = 0;
        int finished = 0;
        std::array<uint8_t, kTagBytes> tag{};
        bool ok =
            EVP_EncryptInit_ex(context_.get(), nullptr, nullptr, nullptr, nonce.data()) == 1 &&
            EVP_EncryptUpdate(context_.get(), nullptr, &produced, aad.data(),
                              static_cast<int>(aad.size())) == 1;
        produced = 0;
        if (ok && length > 0) {
            ok = EVP_EncryptUpdate(context_.get(), ciphertext, &produced, plaintext,
                                   static_cast<int>(length)) == 1;
        }
        ok = ok && EVP_EncryptFinal_ex(context_.get(), ciphertext + produced, &finished) == 1 &&
             static_cast<std::size_t>(produced + finished) == length &&
             EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, tag.data()) == 1;
        if (!ok) Refuse("AES-256-GCM encryption failed; nothing was written");
        std::copy(nonce.begin(), nonce.end(), record.begin());
        std::copy(tag.begin(), tag.end(), record.begin() + kNonceBytes);
        for (std::size_t k = 0; k < 4; ++k) {
            record[kNonceBytes + kTagBytes + k] = static_cast<uint8_t>(length >> (8 * k));
        }
        return ciphertext;
    }

  private:
    Nonce FreshNonce() {
        Nonce nonce{};
        do {
            RandomBytes(nonce.data(), nonce.size());
        } while (!used_.insert(nonce).second);
        return nonce;
    }

    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context_;
    std::set<Nonce> used_;
    std::vector<uint8_t> ciphertext_ = std::vector<uint8_t>(kPayloadChunkBytes);
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
        : place_(place), path_(JoinPath(place.directory, place.name + kTemporaryInfix + "XXXXXX")) {
        fd_ = mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ < 0) RefuseSystem("cannot create a temporary file for it", place.path, errno);
    }
    TemporaryPayload(const TemporaryPayload&) = delete;
    TemporaryPayload& operator=(const TemporaryPayload&) = delete;
    ~TemporaryPayload() {
        if (fd_ >= 0) close(fd_);
        if (!committed_) unlink(path_.c_str());
    }

    const std::string& path() const { return path_; }

    void Write(const uint8_t* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t count = write(fd_, data + done, size - done);
            if (count < 0) {
                if (errno == EINTR) continue;
                RefuseSystem("cannot write", path_, errno);
            }
            done += static_cast<std::size_t>(count);
        }
    }

    // Readable by all, like every file of a package; flushed and closed.
    void Finish() {
        if (fchmod(fd_, 0644) != 0) RefuseSystem("cannot set the permissions of", path_, errno);
        if (fsync(fd_) != 0) RefuseSystem("cannot flush", path_, errno);
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) RefuseSystem("cannot write", path_, errno);
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
    int fd_ = -1;
    bool committed_ = false;
};

// "sealing: 42% (120 of 286 MiB)", rewritten in place as the work goes on.
class ProgressLine {
  public:
    ProgressLine(std::ostream* out, uint64_t plaintextBytes)
        : out_(plaintextBytes > kSealProgressThreshold ? out : nullptr),
          total_(2 * plaintextBytes),
          plaintextBytes_(plaintextBytes) {}
    ~ProgressLine() {
        if (out_ != nullptr && shown_ >= 0) *out_ << "\n" << std::flush;
    }

    // Each plaintext byte is read twice: once to hash it, once to seal it.
    // Called for every chunk: where an interruption ends the run.
    void Advance(uint64_t bytes) {
        ThrowIfInterrupted();
        if (out_ == nullptr) return;
        done_ += bytes;
        const int percent = static_cast<int>(done_ * 100 / total_);
        if (percent == shown_) return;
        shown_ = percent;
        *out_ << "\rsealing: " << percent << "% (" << done_ / 2 / 1048576 << " of "
              << plaintextBytes_ / 1048576 << " MiB)" << std::flush;
    }

  private:
    std::ostream* out_;
    const uint64_t total_;
    const uint64_t plaintextBytes_;
    uint64_t done_ = 0;
    int shown_ = -1;
};

// The SHA-256 of one file, read as a stream of chunks.
Digest HashFile(const std::string& root, const InnerFile& file, ChunkBuffer& plaintext,
                ProgressLine& meter) {
    ChunkReader reader(root, file);
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

PayloadTable BuildTable(const InnerScan& scan, const std::vector<Digest>& digests,
                        const std::array<uint8_t, kIdentityBytes>& identity) {
    PayloadTable table;
    table.header.assign(kMagic, kMagic + sizeof kMagic);
    PutLittleEndian(table.header, scan.files.size(), 4);
    PutLittleEndian(table.header, scan.plaintextBytes, 8);
    table.header.insert(table.header.end(), identity.begin(), identity.end());
    table.indexBytes = table.header;
    table.payloadBytes = table.header.size();
    for (std::size_t k = 0; k < scan.files.size(); ++k) {
        const InnerFile& file = scan.files[k];
        std::vector<uint8_t> record;
        PutLittleEndian(record, file.path.size(), 2);
        PutLittleEndian(record, file.size, 8);
        record.insert(record.end(), digests[k].begin(), digests[k].end());
        PutLittleEndian(record, ChunkCountFor(file.size), 4);
        record.insert(record.end(), file.path.begin(), file.path.end());
        table.indexBytes.insert(table.indexBytes.end(), record.begin(), record.end());
        table.payloadBytes +=
            record.size() + ChunkCountFor(file.size) * kChunkRecordBytes + file.size;
        table.records.push_back(std::move(record));
    }
    return table;
}

// Appends the chunks of one file to the payload; the file must still hash to `digest`.
void SealFile(const std::string& root, const InnerFile& file, const Digest& digest,
              const std::vector<uint8_t>& header, const std::vector<uint8_t>& record,
              ChunkSealer& sealer, ChunkBuffer& plaintext, TemporaryPayload& payload,
              ProgressLine& meter) {
    ChunkReader reader(root, file);
    Sha256Stream hash;
    // header || file record || chunk index (4 bytes, little-endian)
    std::vector<uint8_t> aad = header;
    aad.insert(aad.end(), record.begin(), record.end());
    const std::size_t indexAt = aad.size();
    aad.resize(indexAt + 4);
    std::array<uint8_t, kChunkRecordBytes> chunkRecord{};
    for (uint32_t chunk = 0; chunk < ChunkCountFor(file.size); ++chunk) {
        for (std::size_t b = 0; b < 4; ++b) {
            aad[indexAt + b] = static_cast<uint8_t>(chunk >> (8 * b));
        }
        const std::size_t length = reader.Next(plaintext.data());
        hash.Update(plaintext.data(), length);
        const uint8_t* ciphertext = sealer.Seal(aad, plaintext.data(), length, chunkRecord);
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

InnerScan ScanInnerDirectory(const std::string& root) {
    return InnerScanner(root).Run();
}

SealedPayload SealPayload(const std::string& innerDirectory, const std::string& output,
                          const PayloadKeyMaterial& key, std::ostream* progress) {
    const std::string root = RealDirectory(innerDirectory);
    const OutputPlace place = PlaceOutput(output, root);
    const InnerScan scan = ScanInnerDirectory(root);
    ProgressLine meter(progress, scan.plaintextBytes);
    ChunkBuffer plaintext;

    // The table carries every file's digest, so every file is read once before anything is sealed.
    std::vector<Digest> digests;
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
