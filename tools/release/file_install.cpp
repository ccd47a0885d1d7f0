#include "release/file_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "distribution/release_inventory.h"
#include "release/package_scan.h"
#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/tool_error.h"

namespace veltomarn::release {
namespace {

bool Exists(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) return true;
    if (errno != ENOENT) RefuseSystem("cannot inspect", path, errno);
    return false;
}

void Run(const InstallHook& hook, InstallStep step) {
    if (hook) hook(step);
}

void Rename(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        RefuseSystem("cannot rename to " + ShowPath(to), from, errno);
    }
}

void Link(const std::string& from, const std::string& to) {
    if (link(from.c_str(), to.c_str()) != 0) {
        RefuseSystem("cannot link as " + ShowPath(to), from, errno);
    }
}

void Remove(const std::string& path) {
    if (unlink(path.c_str()) != 0) RefuseSystem("cannot remove", path, errno);
}

// Removes what exists of `paths`, quietly: a clean-up on the way out of a failure.
void RemoveQuietly(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) unlink(path.c_str());
}

void SyncQuietly(const std::string& directory) {
    try {
        SyncDirectory(directory);
    } catch (const ToolError&) {
        // Already on a failure path: the failure being reported matters more.
    }
}

}  // namespace

void InstallInventoryFiles(const std::string& directory, const std::vector<uint8_t>& inventory,
                           const std::vector<uint8_t>* signature, const InstallHook& beforeStep) {
    ThrowIfInterrupted();  // a signal that came meanwhile: nothing is installed
    const std::string inventoryPath = JoinPath(directory, kInventoryName);
    const std::string signaturePath = JoinPath(directory, kSignatureName);
    const std::string inventoryNew = JoinPath(directory, kInventoryTemporary);
    const std::string signatureNew = JoinPath(directory, kSignatureTemporary);
    const std::string inventoryOld = JoinPath(directory, kInventoryBackup);
    const std::string signatureOld = JoinPath(directory, kSignatureBackup);

    // Everything this call may create, removed on every way out.
    std::vector<std::string> scratch;
    bool inventoryReplaced = false;
    bool signatureReplaced = false;
    bool signatureRemoved = false;
    bool hadInventory = false;
    bool hadSignature = false;
    try {
        Run(beforeStep, InstallStep::kWriteInventory);
        WriteNewFile(inventoryNew, inventory, 0644);
        scratch.push_back(inventoryNew);
        if (signature != nullptr) {
            Run(beforeStep, InstallStep::kWriteSignature);
            WriteNewFile(signatureNew, *signature, 0644);
            scratch.push_back(signatureNew);
        }

        Run(beforeStep, InstallStep::kBackUp);
        hadInventory = Exists(inventoryPath);
        hadSignature = Exists(signaturePath);
        if (hadInventory) {
            Link(inventoryPath, inventoryOld);
            scratch.push_back(inventoryOld);
        }
        if (hadSignature) {
            Link(signaturePath, signatureOld);
            scratch.push_back(signatureOld);
        }
        SyncDirectory(directory);

        Run(beforeStep, InstallStep::kRenameInventory);
        Rename(inventoryNew, inventoryPath);
        inventoryReplaced = true;
        if (signature != nullptr) {
            Run(beforeStep, InstallStep::kRenameSignature);
            Rename(signatureNew, signaturePath);
            signatureReplaced = true;
        } else if (hadSignature) {
            Run(beforeStep, InstallStep::kRemoveSignature);
            Remove(signaturePath);
            signatureRemoved = true;
        }
        Run(beforeStep, InstallStep::kFinish);
        SyncDirectory(directory);
    } catch (const std::exception& error) {
        // Put the old pair back, signature first, so that the inventory and the signature that
        // are in place never belong to different runs once this returns.
        std::string unrestored;
        if (signatureReplaced || signatureRemoved) {
            const bool ok = hadSignature
                                ? std::rename(signatureOld.c_str(), signaturePath.c_str()) == 0
                                : unlink(signaturePath.c_str()) == 0;
            if (!ok) unrestored += " " + ShowPath(signaturePath);
        }
        if (inventoryReplaced) {
            const bool ok = hadInventory
                                ? std::rename(inventoryOld.c_str(), inventoryPath.c_str()) == 0
                                : unlink(inventoryPath.c_str()) == 0;
            if (!ok) unrestored += " " + ShowPath(inventoryPath);
        }
        if (!unrestored.empty()) {
            // Keep the backups: they are the only copy of the old pair.
            Refuse(std::string(error.what()) + "; could not restore" + unrestored +
                   ": the old files remain as " + ShowPath(inventoryOld) + " and " +
                   ShowPath(signatureOld));
        }
        RemoveQuietly(scratch);
        SyncQuietly(directory);
        Refuse(std::string(error.what()) + "; the package directory was left as it was");
    }
    RemoveQuietly({inventoryOld, signatureOld});
    SyncDirectory(directory);
}

void InstallSignature(const std::string& directory, const std::vector<uint8_t>& signature) {
    ThrowIfInterrupted();
    const std::string signaturePath = JoinPath(directory, kSignatureName);
    const std::string signatureNew = JoinPath(directory, kSignatureTemporary);
    WriteNewFile(signatureNew, signature, 0644);
    try {
        Rename(signatureNew, signaturePath);
    } catch (const ToolError&) {
        unlink(signatureNew.c_str());
        throw;
    }
    SyncDirectory(directory);
}

void RefuseTakenNames(const std::string& directory, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const std::string path = JoinPath(directory, name);
        if (Exists(path)) Refuse(ShowPath(path) + ": exists already; nothing was written");
    }
}

void InstallNewFiles(const std::string& directory, const std::vector<NewFile>& files) {
    ThrowIfInterrupted();
    std::vector<std::string> names;
    for (const NewFile& file : files) names.push_back(file.name);
    RefuseTakenNames(directory, names);
    std::vector<std::string> temporaries;
    std::vector<std::string> made;
    try {
        for (const NewFile& file : files) {
            const std::string temporary =
                JoinPath(directory, "." + file.name + ".new-" + std::to_string(getpid()));
            WriteNewFile(temporary, file.bytes, file.mode);
            temporaries.push_back(temporary);
        }
        for (std::size_t k = 0; k < files.size(); ++k) {
            const std::string path = JoinPath(directory, files[k].name);
            // A link never replaces an existing name, unlike a rename.
            Link(temporaries[k], path);
            made.push_back(path);
        }
        SyncDirectory(directory);
    } catch (const std::exception& error) {
        RemoveQuietly(made);
        RemoveQuietly(temporaries);
        Refuse(std::string(error.what()) + "; nothing was written");
    }
    RemoveQuietly(temporaries);
    SyncDirectory(directory);
}

}  // namespace veltomarn::release
