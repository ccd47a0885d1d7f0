#include "release/authenticode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>

#include "release/posix_files.h"

namespace veltomarn::release {
namespace {

constexpr uint64_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint64_t kNewHeaderField = 0x3C;     // e_lfanew: where "PE\0\0" starts
constexpr uint64_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint64_t kPeSignatureBytes = 4;
// In the COFF file header that follows the signature.
constexpr uint64_t kOptionalSizeField = kPeSignatureBytes + 16;  // SizeOfOptionalHeader
constexpr uint64_t kOptionalHeader = kPeSignatureBytes + 20;
static_assert(kOptionalHeader == kOptionalSizeField + 2 + 2);  // then Characteristics

// Offsets within the optional header, which differ by its magic.
struct OptionalLayout {
    uint64_t magic;
    uint64_t directoryCountField;  // NumberOfRvaAndSizes; the directories follow it
};
constexpr OptionalLayout kLayouts[] = {{0x10B, 92}, {0x20B, 108}};  // PE32, PE32+

constexpr uint64_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint64_t kDirectoryBytes = 8;     // a file offset (for this one) and a size
// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate.
constexpr uint64_t kCertificateTypeField = 6;
constexpr uint64_t kCertificateHeaderBytes = 8;
static_assert(kCertificateHeaderBytes == kCertificateTypeField + 2);
constexpr uint64_t kPkcsSignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

// Little-endian fields of an open file of `size` bytes, read where they lie wholly inside it.
class FieldReader {
  public:
    FieldReader(int fd, uint64_t size) : fd_(fd), size_(size) {}
    std::optional<uint64_t> Read(uint64_t at, unsigned bytes) const {
        uint8_t buffer[4] = {};
        if (bytes > sizeof buffer || at > size_ || bytes > size_ - at) return std::nullopt;
        if (pread(fd_, buffer, bytes, static_cast<off_t>(at)) != static_cast<ssize_t>(bytes)) {
            return std::nullopt;
        }
        uint64_t value = 0;
        for (unsigned k = bytes; k-- > 0;) value = value << 8 | buffer[k];
        return value;
    }

  private:
    int fd_;
    uint64_t size_;
};

}  // namespace

bool CarriesAuthenticodeSignature(const std::string& path) {
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    const auto size = static_cast<uint64_t>(status.st_size);
    const FieldReader field(file.get(), size);
    // Every offset below is at most 2^32 plus a small constant: no sum can wrap.
    const std::optional<uint64_t> pe = field.Read(kNewHeaderField, 4);
    if (field.Read(0, 2) != kDosMagic || !pe || field.Read(*pe, 4) != kPeSignature) return false;
    const std::optional<uint64_t> optionalSize = field.Read(*pe + kOptionalSizeField, 2);
    const std::optional<uint64_t> magic = field.Read(*pe + kOptionalHeader, 2);
    for (const OptionalLayout& layout : kLayouts) {
        if (magic != layout.magic || !optionalSize) continue;
        const uint64_t entry =
            layout.directoryCountField + 4 + kSecurityDirectory * kDirectoryBytes;
        const std::optional<uint64_t> directories =
            field.Read(*pe + kOptionalHeader + layout.directoryCountField, 4);
        // The entry must be both counted and inside the optional header the file declares.
        if (!directories || *directories <= kSecurityDirectory ||
            entry + kDirectoryBytes > *optionalSize) {
            return false;
        }
        const std::optional<uint64_t> table = field.Read(*pe + kOptionalHeader + entry, 4);
        const std::optional<uint64_t> tableSize = field.Read(*pe + kOptionalHeader + entry + 4, 4);
        if (!table || !tableSize || *tableSize < kCertificateHeaderBytes ||
            *table + *tableSize > size) {
            return false;
        }
        const std::optional<uint64_t> length = field.Read(*table, 4);
        return length && *length >= kCertificateHeaderBytes && *length <= *tableSize &&
               field.Read(*table + kCertificateTypeField, 2) == kPkcsSignedData;
    }
    return false;
}

}  // namespace veltomarn::release
