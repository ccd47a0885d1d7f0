#include "release/release_tool.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "core/failure.h"
#include "core/sha256.h"
#include "distribution/release_inventory.h"
#include "distribution/release_signature.h"
#include "platform/openssl/openssl_cng.h"
#include "platform/posix/posix_platform.h"
#include "release/file_install.h"
#include "release/inventory_builder.h"
#include "release/key_identity.h"
#include "release/package_pack.h"
#include "release/package_scan.h"
#include "release/package_sign.h"
#include "release/package_verify.h"
#include "release/path_text.h"
#include "release/payload_seal.h"
#include "release/posix_files.h"
#include "release/release_keys.h"
#include "release/secret_memory.h"
#include "release/tool_error.h"
#include "release/wine_self_test.h"

namespace veltomarn::release {
namespace {

constexpr char kProgram[] = "veltomarn-release";
constexpr char kPrivateKeyFile[] = "release-signing.key.pem";
constexpr char kPublicKeyFile[] = "release-signing.pub.pem";
constexpr char kKeySharesFile[] = "payload-key-shares.txt";
constexpr uint64_t kMaxSignatureFileBytes = 1048576;

constexpr char kToolUsage[] =
    R"(Usage: veltomarn-release COMMAND [OPTIONS]

Signs and checks VeltoMarn release packages: the directory that holds VeltoMarnLauncher.exe,
VeltoMarn.payload, package/release.json and the other files of a release, with its inventory
RELEASE.signed and the inventory's signature RELEASE.sig.

Commands:
  keygen            make a release signing key pair and payload key shares
  seal              seal a directory (the inner launcher and its files) into VeltoMarn.payload
  pack              lay out, seal and sign a whole package in a new directory
  sign              write RELEASE.signed and RELEASE.sig for a package directory
  attach-signature  install a signature made elsewhere (an HSM) as RELEASE.sig
  verify            check a package exactly as the bootstrap does, payload included

Run "veltomarn-release COMMAND --help" for the options of a command, "veltomarn-release
--version" for the tool's version. Every long phase (hashing, sealing, the final check, verify)
shows its progress on standard error when it is a terminal; --quiet silences it.

Exit status: 0 success, 1 a verification failure, 2 a usage or I/O error (including a package
that sign refuses), 130 or 143 when SIGINT or SIGTERM ended the command, which then removes
what it made. A refusal leaves every input and output as it was. Messages go to standard error
and name the path concerned.
)";

constexpr char kKeygenUsage[] =
    R"(Usage: veltomarn-release keygen --out DIR [--encrypt]

Makes a new release signing key and new payload key shares in DIR, which must exist:
  DIR/release-signing.key.pem  RSA-3072 private key (exponent 65537), PKCS #8 PEM, unencrypted
                               or (--encrypt) encrypted, mode 0600. Keep it offline and secret.
  DIR/release-signing.pub.pem  its public key, PEM (BEGIN PUBLIC KEY): the build input
                               VELTOMARN_RELEASE_PUBLIC_KEY, and the key for verify.
  DIR/payload-key-shares.txt   two lines of 64 lower-case hex digits, mode 0600: two 32-byte
                               shares from the system's random generator whose XOR is the
                               AES-256 payload key: the build input VELTOMARN_PAYLOAD_KEY.

Nothing is ever overwritten: if any of the three files exists, nothing is written. The files are
written in full under temporary names first, so either all three appear or none does. Prints
their paths, then "keyFingerprint=K": K the key's fingerprint, the SHA-256 of its
SubjectPublicKeyInfo DER (what "openssl pkey -pubin -outform DER | sha256sum" prints for
release-signing.pub.pem), the value pack and verify give.

  --encrypt  encrypt the private key ("BEGIN ENCRYPTED PRIVATE KEY": PBES2, AES-256-CBC under a
             key from PBKDF2-HMAC-SHA256, 600000 rounds, random salt) with a passphrase taken as
             sign and pack take it: VELTOMARN_KEY_PASSPHRASE, else the first line of the file
             VELTOMARN_KEY_PASSPHRASE_FILE names (readable by you alone), else asked twice on
             the terminal. It is asked before anything is made; without one nothing is written.
)";

constexpr char kSignUsage[] =
    R"(Usage: veltomarn-release sign --key PRIVATE.pem --sequence N PACKAGE_DIR
       veltomarn-release sign --prepare --sequence N PACKAGE_DIR

Writes the release inventory RELEASE.signed for PACKAGE_DIR as it stands (every file with its
SHA-256 and size, in byte order of the paths) and its signature RELEASE.sig (RSA PKCS #1 v1.5
over SHA-256, 384 bytes, with PRIVATE.pem: an RSA-3072 key with a 3-byte exponent). Present
RELEASE.signed and RELEASE.sig files are replaced: they are the inventory's own files, never
listed. Both new files appear together or the old ones stay: they are written and flushed
under temporary names and renamed into place, and a failure puts the old pair back.

  --sequence N  the release's sequence number: canonical decimal, at least 2026103022
  --key FILE    the PEM private key that signs (an encrypted one asks for its passphrase)
  --prepare     offline signing: no key; writes RELEASE.signed only, removes a present
                RELEASE.sig, and prints the SHA-256 of RELEASE.signed as 64 hex digits. Sign
                that digest elsewhere (RSA PKCS #1 v1.5 with SHA-256, the raw 384-byte result;
                for example openssl pkeyutl -sign -pkeyopt digest:sha256 over the 32 digest
                bytes; openssl dgst -sha256 -sign KEY RELEASE.signed makes the same signature
                from the file itself) and install the result with attach-signature.
  --digest-out FILE       with --prepare: also write the 32 digest bytes to the new FILE
  --digest-info-out FILE  with --prepare: also write the DER DigestInfo (the 19-byte SHA-256
                          prefix and the digest) that raw RSA signing hardware signs. Each
                          must be a new file of its own outside PACKAGE_DIR, or nothing changes
  --quiet       no progress line while the files are hashed

Refuses (exit status 2, nothing changed, the path named) a package that the bootstrap would
refuse: a symbolic link anywhere; a file with more than one name (hard link); anything but
plain files and directories; a name outside the path rules (letters, digits, '-', '.', '_';
no device names such as con or lpt1; no trailing dot; at most 16 levels and 240 bytes); two
names that differ only in letter case; an empty directory; a file over 4 GiB; more than 512
files; a missing VeltoMarnLauncher.exe, VeltoMarn.payload or package/release.json. To keep
packages unambiguous it also refuses RELEASE.signed or RELEASE.sig, in any letter case,
anywhere but as the two exact names at the top.
)";

constexpr char kAttachUsage[] =
    R"(Usage: veltomarn-release attach-signature --public-key PUB.pem SIG PACKAGE_DIR

Checks that SIG (exactly 384 bytes: a raw RSA PKCS #1 v1.5 signature over the SHA-256 of
RELEASE.signed, as made for sign --prepare) verifies against PACKAGE_DIR/RELEASE.signed with
the public key PUB.pem, that the inventory it signs is well formed, and that the package's files
are still exactly what it lists (else exit status 2); only then installs it
as PACKAGE_DIR/RELEASE.sig, replacing a present one in one rename. A signature that does not
verify changes nothing and ends with exit status 1 and the failure code. --quiet: no progress
line while the files are hashed again.
)";

constexpr char kSealUsage[] =
    R"(Usage: veltomarn-release seal --key-shares FILE --out VeltoMarn.payload INNER_DIR

Seals INNER_DIR, the inner launcher VeltoMarnLauncher.exe with its own signed inventory
RELEASE.signed and RELEASE.sig and its other files, into the payload file given by --out. Every
file is encrypted and authenticated with AES-256-GCM in chunks of 1 MiB under the payload key,
each chunk with a fresh random nonce, bound to the payload (16 random bytes in its header), its
file and its place; the table lists the files in byte order of their paths with size and SHA-256.

  --key-shares FILE  the payload key shares: two lines of 64 lower-case hex digits, as keygen
                     writes them; their XOR is the key. The bootstrap must be built with the same
                     file (VELTOMARN_PAYLOAD_KEY) to open the payload.
  --out FILE         the payload file to write, outside INNER_DIR; a plain file there is replaced
                     once the new payload is complete, anything else there is refused

The payload is written under a temporary name beside FILE (holding '~'), flushed, read back with
the bootstrap's own index reader, and only then renamed to FILE: a failed run leaves no half
payload and FILE as it was. Files are read as a stream, twice (hashed, then sealed); a file that
changes in between is refused. Progress is shown on standard error for payloads over 8 MiB when
standard error is a terminal, unless --quiet is given.

Refuses (exit status 2, nothing written, the path named) what the bootstrap would refuse in a
payload: a name outside the path rules (letters, digits, '-', '.', '_'; no device names; no
trailing dot; at most 16 levels and 240 bytes); ".sealed-owner" at the top or a name ending in
".sealed-partial" (the bootstrap's own names); two names that differ only in letter case,
also counting each file's name while it is unsealed (its path followed by ".sealed-partial");
more than 512 files; more than 4 GiB in all, or a payload file over 4 GiB; a missing
VeltoMarnLauncher.exe, RELEASE.signed or RELEASE.sig at the top (spelt exactly so). It also
refuses what would not come out of unsealing as it went in: symbolic links, files with more than
one name (hard links), anything but plain files and directories, and empty directories (only
files are sealed, so an empty directory would be lost).
)";

constexpr char kPackUsage[] =
    R"(Usage: veltomarn-release pack --key PRIVATE.pem --key-shares FILE --sequence N
                              --inner INNER_DIR --out PACKAGE_DIR
                              --bootstrap VeltoMarnLauncher.exe --manifest release.json
                              [--include DIR] [--json]

Makes a complete, signed package in PACKAGE_DIR, which must not exist (its parent must) or be an
empty directory:
  PACKAGE_DIR/VeltoMarnLauncher.exe  a copy of --bootstrap (the built bootstrap)
  PACKAGE_DIR/VeltoMarn.payload      INNER_DIR sealed as seal does, with --key-shares
  PACKAGE_DIR/package/release.json   a copy of --manifest
  PACKAGE_DIR/...                    the files and directories of --include DIR, if given
then signs it as sign does (--key, --sequence) and checks the result as verify does, with the
key's public half and the payload unsealed with --key-shares. A --bootstrap built with another
release key than the public half of --key is refused first: every player would get
SIGNATURE_INVALID.

The files of --include must not collide with the files pack makes (nor with RELEASE.signed or
RELEASE.sig), also not in another letter case, and follow the rules sign applies. INNER_DIR and
--include must lie outside PACKAGE_DIR. On any failure everything pack made is removed again: a
PACKAGE_DIR that pack created is removed, an empty one that existed is emptied (exit status 2).

  --json  the result as one JSON object on standard output: "packed" (the directory),
          "sequence", "files", "payloadFiles", "plaintextBytes" and "keyFingerprint" (the
          signing key's fingerprint, as keygen, verify and the text line give it); on
          failure "packed" false, "status" (the exit status), "message", and "code" and
          "path" when the final check failed.
)";

constexpr char kVerifyUsage[] =
    R"(Usage: veltomarn-release verify --public-key PUB.pem --key-shares FILE PACKAGE_DIR
       veltomarn-release verify --public-key PUB.pem --no-payload PACKAGE_DIR
       veltomarn-release verify ... --self-test PACKAGE_DIR

Runs the bootstrap's own package check on PACKAGE_DIR, with PUB.pem in place of the key
compiled into the bootstrap: the signature of RELEASE.signed, every rule of the inventory, the
exact tree (no file or directory more or less, no links, names spelt exactly), and the size and
SHA-256 of every listed file; then reads the header and file table of VeltoMarn.payload and
unseals it to nowhere: every chunk decrypted and authenticated, every file's SHA-256 checked,
nothing written. Last it runs the check the inner launcher runs on its own release in every
player's start, on the payload's files: the inner RELEASE.signed and RELEASE.sig (read from the
payload in memory) must verify with PUB.pem, and the inventory must list exactly the payload's
other files with their sizes and SHA-256. Prints "OK sequence=N files=F payloadFiles=PF
plaintextBytes=P keyFingerprint=K" on success (exit status 0), with the field names pack prints:
F the files the inventory lists, PF and P the payload's file count and plaintext size, K the
key's fingerprint (the SHA-256 of its SubjectPublicKeyInfo DER, as keygen prints it and
"openssl pkey -pubin -outform DER | sha256sum" computes it); otherwise prints the bootstrap's
failure code and the path it concerns on standard error (exit status 1). A package whose
VeltoMarnLauncher.exe was built with another release key than PUB.pem, or whose inner release
fails its own check (the inner file and what differs named), is refused (exit status 2). When
the package's VeltoMarnLauncher.exe differs from its listed size or digest and carries an
Authenticode signature, a hint follows: it was probably signed after pack.

Every command warns once on standard error when it is given one of the repository's TEST-ONLY
keys (keys/test), or packs a bootstrap that holds one.

  --key-shares FILE  the payload key shares the package was sealed with (the bootstrap that
                     plays it must be built with the same, VELTOMARN_PAYLOAD_KEY). The unsealing
                     is the bootstrap's own code.
  --no-payload       for checks without the payload key (a CI job, a mirror): everything but
                     the unsealing and the inner release, which stays sealed (a second line
                     says so); the payload's header and file table are still read.
  --json             one JSON object on standard output instead: "verified" true with
                     "sequence", "files", "payloadFiles", "plaintextBytes", "payloadUnsealed",
                     "innerReleaseChecked", or false with "code" and "path"; and
                     "keyFingerprint", PUB.pem's fingerprint. The exit status stays as
                     above. When verify cannot run the check (exit status 2): "verified" false,
                     "status" and "message".
  --self-test        once the package passed: run its own VeltoMarnLauncher.exe --self-test
                     under Wine, in a new Wine prefix removed afterwards, and print its status
                     line (exit status 0 on SEALED_SELF_TEST_OK) or what it printed instead (exit
                     status 1). Proves that the package's bootstrap, with its compiled-in keys,
                     accepts the package and that the inner launcher accepts its own release;
                     the game is not started. Needs wine and wineserver on PATH (else exit
                     status 2). --json adds "selfTestPassed" and "selfTest", the line.
  --quiet            no progress line while the package is checked
)";

struct Arguments {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> positional;
    bool help = false;
};

// `text` as a JSON string.
std::string Json(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += {'\\', c};
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            quoted += {'\\', 'u', '0', '0', kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
        } else {
            quoted.push_back(c);
        }
    }
    return quoted + "\"";
}

// The --json answer of a command that ended with `error`.
std::string FailureJson(const std::string& command, const ToolError& error) {
    std::string json = std::string("{\"") + (command == "pack" ? "packed" : "verified") +
                       "\": false, \"status\": " + std::to_string(error.status());
    if (!error.code().empty()) {
        json += ", \"code\": " + Json(error.code()) + ", \"path\": " + Json(error.path());
    }
    return json + ", \"message\": " + Json(error.what()) + "}\n";
}

[[noreturn]] void UsageError(const std::string& command, const std::string& message) {
    Refuse(message + " (see " + kProgram + " " + command + " --help)");
}

// "--name VALUE", "--name=VALUE" and flags; "--" ends the options.
Arguments ParseArguments(const std::string& command, const std::vector<std::string>& arguments,
                         const std::set<std::string>& valueOptions,
                         const std::set<std::string>& flagOptions) {
    Arguments parsed;
    bool optionsEnded = false;
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const std::string& argument = arguments[k];
        if (optionsEnded || argument.size() < 2 || argument.compare(0, 1, "-") != 0) {
            parsed.positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            parsed.help = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (flagOptions.count(name) != 0 && equals == std::string::npos) {
            parsed.flags.insert(name);
            continue;
        }
        if (valueOptions.count(name) == 0) UsageError(command, "unknown option " + argument);
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (k + 1 < arguments.size()) {
            value = arguments[++k];
        } else {
            UsageError(command, name + " needs a value");
        }
        if (!parsed.values.emplace(name, value).second) {
            UsageError(command, name + " is given twice");
        }
    }
    return parsed;
}

std::string Required(const std::string& command, const Arguments& arguments,
                     const std::string& name) {
    const auto it = arguments.values.find(name);
    if (it == arguments.values.end() || it->second.empty()) {
        UsageError(command, name + " is required");
    }
    return it->second;
}

void ExpectPositional(const std::string& command, const Arguments& arguments, std::size_t count,
                      const char* what) {
    if (arguments.positional.size() != count) {
        UsageError(command, std::string("expected ") + what);
    }
}

int Keygen(const Arguments& arguments, std::ostream& out, std::ostream&) {
    const std::string directory = RealDirectory(Required("keygen", arguments, "--out"));
    ExpectPositional("keygen", arguments, 0, "no arguments besides --out DIR");
    // Fails early, before the slow key generation; InstallNewFiles checks again.
    RefuseTakenNames(directory, {kPrivateKeyFile, kPublicKeyFile, kKeySharesFile});
    std::vector<uint8_t> passphrase;
    const WipeOnExit wipePassphrase(passphrase);
    if (arguments.flags.count("--encrypt") != 0) passphrase = NewKeyPassphrase();
    const KeyPointer key = GenerateReleaseKey();
    // The secrets are made in the files' own buffers, moved there and never copied, and wiped on
    // every way out.
    std::vector<NewFile> files = {
        {kPrivateKeyFile, {}, 0600}, {kPublicKeyFile, {}, 0644}, {kKeySharesFile, {}, 0600}};
    const WipeOnExit wipePrivateKey(files[0].bytes);
    const WipeOnExit wipeShares(files[2].bytes);
    files[0].bytes = PrivateKeyPem(key.get(), passphrase.empty() ? nullptr : &passphrase);
    files[1].bytes = PublicKeyPem(key.get());
    files[2].bytes = NewPayloadKeyShares();
    const std::string fingerprint = Fingerprint(PublicKeyBlob(key.get()));
    InstallNewFiles(directory, files);
    for (const NewFile& file : files) out << JoinPath(directory, file.name) << "\n";
    out << "keyFingerprint=" << fingerprint << "\n";
    return kExitSuccess;
}

// Progress lines only for a person watching.
std::ostream* ProgressStream(const Arguments& arguments, std::ostream& err) {
    const bool quiet = arguments.flags.count("--quiet") != 0;
    return !quiet && isatty(STDERR_FILENO) == 1 ? &err : nullptr;
}

// The directory and name of a digest file given with `option`, if given.
std::optional<std::pair<std::string, std::string>> DigestFilePlace(const Arguments& arguments,
                                                                   const char* option) {
    const auto given = arguments.values.find(option);
    if (given == arguments.values.end()) return std::nullopt;
    const std::filesystem::path path(given->second);
    return std::make_pair(RealDirectory(path.has_parent_path() ? path.parent_path().string() : "."),
                          path.filename().string());
}

// For signing hardware: the digest of RELEASE.signed as its 32 bytes (--digest-out) and as the
// DER DigestInfo that PKCS #1 v1.5 signs (--digest-info-out), each in a new file, whose path is
// added to `written` as soon as it exists.
void WriteDigestFiles(const Arguments& arguments, const Sha256Digest& digest,
                      std::vector<std::string>& written) {
    static constexpr uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                    0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                    0x01, 0x05, 0x00, 0x04, 0x20};
    std::vector<uint8_t> info(std::begin(kSha256DigestInfo), std::end(kSha256DigestInfo));
    info.insert(info.end(), digest.begin(), digest.end());
    const std::pair<const char*, std::vector<uint8_t>> kinds[] = {
        {"--digest-out", std::vector<uint8_t>(digest.begin(), digest.end())},
        {"--digest-info-out", info}};
    for (const auto& [option, bytes] : kinds) {
        if (const auto place = DigestFilePlace(arguments, option)) {
            InstallNewFiles(place->first, {{place->second, bytes, 0644}});
            written.push_back(JoinPath(place->first, place->second));
        }
    }
}

int Sign(const Arguments& arguments, std::ostream& out, std::ostream& err) {
    const bool prepare = arguments.flags.count("--prepare") != 0;
    const uint64_t sequence = ParseReleaseSequence(Required("sign", arguments, "--sequence"));
    if (prepare && arguments.values.count("--key") != 0) {
        UsageError("sign", "--prepare signs nothing and takes no --key");
    }
    if (!prepare && (arguments.values.count("--digest-out") +
                     arguments.values.count("--digest-info-out")) != 0) {
        UsageError("sign", "--digest-out and --digest-info-out go with --prepare");
    }
    KeyPointer key;
    if (!prepare) key = LoadPrivateKey(Required("sign", arguments, "--key"));
    if (key && IsTestReleaseKey(PublicKeyBlob(key.get()))) {
        WarnTestKey(err, ShowPath(arguments.values.at("--key")));
    }
    ExpectPositional("sign", arguments, 1, "one PACKAGE_DIR");
    const std::string root = RealDirectory(arguments.positional[0]);

    if (prepare) {
        // Every digest file is refused before the package changes: a taken name, both options
        // naming one file, or a file in the package, which its new inventory would not list.
        std::set<std::pair<std::string, std::string>> places;
        for (const char* option : {"--digest-out", "--digest-info-out"}) {
            if (const auto place = DigestFilePlace(arguments, option)) {
                const std::string path = JoinPath(place->first, place->second);
                if (place->first == root || place->first.starts_with(root + "/")) {
                    UsageError("sign", std::string(option) + " " + ShowPath(path) +
                                           " lies in PACKAGE_DIR; nothing was written");
                }
                if (!places.insert(*place).second) {
                    UsageError("sign", "--digest-out and --digest-info-out both name " +
                                           ShowPath(path) + "; nothing was written");
                }
                RefuseTakenNames(place->first, {place->second});
            }
        }
        const BuiltInventory inventory =
            BuildInventory(root, ScanPackage(root), sequence, ProgressStream(arguments, err));
        // The new digest files go again when the package cannot change.
        std::vector<std::string> written;
        try {
            WriteDigestFiles(arguments, inventory.digest, written);
            InstallInventoryFiles(root, inventory.bytes, nullptr);
        } catch (const ToolError&) {
            for (const std::string& path : written) unlink(path.c_str());
            throw;
        }
        out << DigestHex(inventory.digest) << "\n";
        return kExitSuccess;
    }
    const BuiltInventory inventory =
        SignPackage(root, sequence, key.get(), ProgressStream(arguments, err));
    out << "signed " << root << " sequence=" << inventory.sequence << " files=" << inventory.files
        << "\n";
    return kExitSuccess;
}

int Seal(const Arguments& arguments, std::ostream& out, std::ostream& err) {
    const std::string sharesPath = Required("seal", arguments, "--key-shares");
    const std::string output = Required("seal", arguments, "--out");
    ExpectPositional("seal", arguments, 1, "one INNER_DIR");
    const PayloadKeyMaterial key = LoadPayloadKey(sharesPath);
    if (IsTestPayloadKey(key)) WarnTestKey(err, ShowPath(sharesPath));
    const SealedPayload sealed =
        SealPayload(arguments.positional[0], output, key, ProgressStream(arguments, err));
    out << "sealed " << output << " files=" << sealed.files
        << " plaintextBytes=" << sealed.plaintextBytes << " payloadBytes=" << sealed.payloadBytes
        << "\n";
    return kExitSuccess;
}

int Pack(const Arguments& arguments, std::ostream& out, std::ostream& err) {
    PackRequest request;
    request.sequence = ParseReleaseSequence(Required("pack", arguments, "--sequence"));
    request.inner = Required("pack", arguments, "--inner");
    request.out = Required("pack", arguments, "--out");
    request.bootstrap = Required("pack", arguments, "--bootstrap");
    request.manifest = Required("pack", arguments, "--manifest");
    const auto include = arguments.values.find("--include");
    if (include != arguments.values.end()) {
        if (include->second.empty()) UsageError("pack", "--include needs a directory");
        request.include = include->second;
    }
    ExpectPositional("pack", arguments, 0, "no arguments besides the options");
    const std::string sharesPath = Required("pack", arguments, "--key-shares");
    const KeyPointer signingKey = LoadPrivateKey(Required("pack", arguments, "--key"));
    const PayloadKeyMaterial payloadKey = LoadPayloadKey(sharesPath);
    request.signingKey = signingKey.get();
    request.payloadKey = &payloadKey;
    if (IsTestReleaseKey(PublicKeyBlob(signingKey.get()))) {
        WarnTestKey(err, ShowPath(arguments.values.at("--key")));
    }
    if (IsTestPayloadKey(payloadKey)) WarnTestKey(err, ShowPath(sharesPath));
    CheckBootstrapKey(request.bootstrap, PublicKeyBlob(signingKey.get()), err);
    CheckBootstrapShares(request.bootstrap, payloadKey, sharesPath);
    const std::string fingerprint = Fingerprint(PublicKeyBlob(signingKey.get()));
    const PackedPackage packed = PackPackage(request, ProgressStream(arguments, err));
    if (arguments.flags.count("--json") != 0) {
        out << "{\"packed\": " << Json(packed.root)
            << ", \"sequence\": " << packed.inventory.sequence
            << ", \"files\": " << packed.inventory.files
            << ", \"payloadFiles\": " << packed.payload.files
            << ", \"plaintextBytes\": " << packed.payload.plaintextBytes
            << ", \"keyFingerprint\": " << Json(fingerprint) << "}\n";
        return kExitSuccess;
    }
    out << "packed " << packed.root << " sequence=" << packed.inventory.sequence
        << " files=" << packed.inventory.files << " payloadFiles=" << packed.payload.files
        << " plaintextBytes=" << packed.payload.plaintextBytes << " keyFingerprint=" << fingerprint
        << "\n";
    return kExitSuccess;
}

int AttachSignature(const Arguments& arguments, std::ostream& out, std::ostream& err) {
    const std::vector<uint8_t> keyBlob =
        LoadPublicKeyBlob(Required("attach-signature", arguments, "--public-key"));
    if (IsTestReleaseKey(keyBlob)) WarnTestKey(err, ShowPath(arguments.values.at("--public-key")));
    ExpectPositional("attach-signature", arguments, 2, "SIG and PACKAGE_DIR");
    const std::string signaturePath = arguments.positional[0];
    const std::string root = RealDirectory(arguments.positional[1]);

    const std::vector<uint8_t> signature =
        ReadWholeFile(signaturePath, kMaxSignatureFileBytes, true);
    const std::string inventoryPath = JoinPath(root, kInventoryName);
    const std::vector<uint8_t> inventory = ReadWholeFile(inventoryPath, kMaxInventoryBytes, false);
    OpensslCng crypto;
    uint64_t sequence = 0;
    try {
        CheckInventoryFraming(inventory);
        VerifyReleaseSignature(crypto, inventory, signature, keyBlob);
        sequence = ParseReleaseInventory(inventory).sequence();
    } catch (const Failure& failure) {
        const std::string code = failure.code();
        std::string why = "does not verify against " + ShowPath(inventoryPath) +
                          " with that key (fingerprint " + Fingerprint(keyBlob) + ")";
        if (code == "SIGNATURE_SIZE") {
            why = "is " + std::to_string(signature.size()) + " bytes long; a signature has 384";
        } else if (code.rfind("SIGNATURE_", 0) != 0) {
            why = "signs " + ShowPath(inventoryPath) + ", which breaks an inventory rule";
        }
        throw ToolError(kExitVerificationFailed, code + ": " + ShowPath(signaturePath) + " " + why +
                                                     "; nothing was changed");
    }
    // A signature over an inventory the files no longer match makes a package every player
    // refuses: the files are listed and hashed again first.
    const BuiltInventory current =
        BuildInventory(root, ScanPackage(root), sequence, ProgressStream(arguments, err));
    if (current.bytes != inventory) {
        Refuse(ShowPath(root) + ": the files no longer match " + ShowPath(inventoryPath) +
               " (changed since sign --prepare?); run sign --prepare again; nothing was changed");
    }
    InstallSignature(root, signature);
    out << "attached " << JoinPath(root, kSignatureName) << " sequence=" << sequence << "\n";
    return kExitSuccess;
}

int Verify(const Arguments& arguments, std::ostream& out, std::ostream& err) {
    // Wine is looked for first: its absence must not wait for a long check.
    const bool selfTest = arguments.flags.count("--self-test") != 0;
    const WinePrograms wine = selfTest ? FindWine() : WinePrograms{};
    const std::vector<uint8_t> keyBlob =
        LoadPublicKeyBlob(Required("verify", arguments, "--public-key"));
    if (IsTestReleaseKey(keyBlob)) WarnTestKey(err, ShowPath(arguments.values.at("--public-key")));
    const bool unseal = arguments.flags.count("--no-payload") == 0;
    if (!unseal && arguments.values.count("--key-shares") != 0) {
        UsageError("verify", "--no-payload unseals nothing and takes no --key-shares");
    }
    const std::optional<PayloadKeyMaterial> payloadKey =
        unseal ? std::optional(LoadPayloadKey(Required("verify", arguments, "--key-shares")))
               : std::nullopt;
    ExpectPositional("verify", arguments, 1, "one PACKAGE_DIR");
    const std::string root = RealDirectory(arguments.positional[0]);
    if (payloadKey && IsTestPayloadKey(*payloadKey)) {
        WarnTestKey(err, ShowPath(arguments.values.at("--key-shares")));
    }
    const VerifyOutcome outcome =
        VerifyPackage(root, keyBlob, unseal ? PayloadCheck::kUnseal : PayloadCheck::kIndex,
                      payloadKey ? &*payloadKey : nullptr, ProgressStream(arguments, err));
    // A package its own bootstrap would refuse: built with another release key.
    if (outcome.passed) CheckBootstrapKey(JoinPath(root, kBootstrapFileName), keyBlob, err);
    if (outcome.passed && payloadKey) {
        CheckBootstrapShares(JoinPath(root, kBootstrapFileName), *payloadKey,
                             arguments.values.at("--key-shares"));
    }
    if (outcome.passed && !outcome.innerRelease.empty()) {
        RefuseInnerRelease(JoinPath(root, kPayloadFileName), outcome.innerRelease, keyBlob,
                           "Sign the inner folder again (sign --key), then seal it and sign the "
                           "package again");
    }
    const std::optional<SelfTestRun> run =
        outcome.passed && selfTest
            ? std::optional(RunSelfTest(wine, JoinPath(root, kBootstrapFileName)))
            : std::nullopt;
    const bool passed = outcome.passed && (!run || run->passed);
    if (arguments.flags.count("--json") != 0) {
        out << "{\"verified\": " << (outcome.passed ? "true" : "false");
        if (outcome.passed) {
            out << ", \"sequence\": " << outcome.sequence << ", \"files\": " << outcome.files
                << ", \"payloadFiles\": " << outcome.payloadFiles
                << ", \"plaintextBytes\": " << outcome.plaintextBytes
                << ", \"payloadUnsealed\": " << (unseal ? "true" : "false")
                << ", \"innerReleaseChecked\": " << (unseal ? "true" : "false");
        } else {
            out << ", \"code\": " << Json(outcome.code) << ", \"path\": " << Json(outcome.path);
            if (!outcome.hint.empty()) out << ", \"hint\": " << Json(outcome.hint);
        }
        if (run) {
            out << ", \"selfTestPassed\": " << (run->passed ? "true" : "false")
                << ", \"selfTest\": " << Json(run->line);
        }
        out << ", \"keyFingerprint\": " << Json(Fingerprint(keyBlob)) << "}\n";
        return passed ? kExitSuccess : kExitVerificationFailed;
    }
    if (!outcome.passed) {
        throw ToolError(kExitVerificationFailed,
                        outcome.code + ": " + ShowPath(outcome.path) +
                            (outcome.hint.empty() ? "" : "\nhint: " + outcome.hint));
    }
    out << "OK sequence=" << outcome.sequence << " files=" << outcome.files
        << " payloadFiles=" << outcome.payloadFiles << " plaintextBytes=" << outcome.plaintextBytes
        << " keyFingerprint=" << Fingerprint(keyBlob) << "\n";
    if (!unseal) {
        out << "inner release not checked: the payload stays sealed without --key-shares\n";
    }
    if (run && !run->passed) {
        throw ToolError(
            kExitVerificationFailed,
            "the package's own bootstrap failed its self-test under Wine: " + run->line);
    }
    if (run) out << run->line << "\n";
    return kExitSuccess;
}

struct Command {
    const char* name;
    const char* usage;
    std::set<std::string> valueOptions;
    std::set<std::string> flags;
    int (*run)(const Arguments&, std::ostream& out, std::ostream& err);
};

const Command kCommands[] = {
    {"keygen", kKeygenUsage, {"--out"}, {"--encrypt"}, Keygen},
    {"seal", kSealUsage, {"--key-shares", "--out"}, {"--quiet"}, Seal},
    {"pack",
     kPackUsage,
     {"--key", "--key-shares", "--sequence", "--inner", "--out", "--bootstrap", "--manifest",
      "--include"},
     {"--json", "--quiet"},
     Pack},
    {"sign",
     kSignUsage,
     {"--key", "--sequence", "--digest-out", "--digest-info-out"},
     {"--prepare", "--quiet"},
     Sign},
    {"attach-signature", kAttachUsage, {"--public-key"}, {"--quiet"}, AttachSignature},
    {"verify",
     kVerifyUsage,
     {"--public-key", "--key-shares"},
     {"--no-payload", "--json", "--self-test", "--quiet"},
     Verify},
};

const Command* FindCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

}  // namespace

int RunReleaseTool(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
    if (arguments.empty()) {
        err << kToolUsage;
        return kExitUsageOrIo;
    }
    const std::string& command = arguments[0];
    if (command == "--version") {
        out << kProgram << " " << VELTOMARN_VERSION << "\n";
        return kExitSuccess;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        const Command* topic = arguments.size() > 1 ? FindCommand(arguments[1]) : nullptr;
        out << (topic != nullptr ? topic->usage : kToolUsage);
        return kExitSuccess;
    }
    const Command* found = FindCommand(command);
    if (found == nullptr) {
        err << kProgram << ": unknown command " << ShowPath(command) << "\n\n" << kToolUsage;
        return kExitUsageOrIo;
    }
    const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    // Asked for before the options are read, so that even a usage error answers in JSON.
    const bool json = found->flags.count("--json") != 0 &&
                      std::find(rest.begin(), rest.end(), "--json") != rest.end();
    try {
        const Arguments parsed = ParseArguments(command, rest, found->valueOptions, found->flags);
        if (parsed.help) {
            out << found->usage;
            return kExitSuccess;
        }
        return found->run(parsed, out, err);
    } catch (const ToolError& error) {
        err << kProgram << " " << command << ": " << error.what() << "\n";
        if (json) out << FailureJson(command, error);
        return error.status();
    } catch (const std::exception& error) {
        const ToolError internal(kExitUsageOrIo, std::string("internal error: ") + error.what());
        err << kProgram << " " << command << ": " << internal.what() << "\n";
        if (json) out << FailureJson(command, internal);
        return kExitUsageOrIo;
    }
}

}  // namespace veltomarn::release
