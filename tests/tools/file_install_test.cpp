// The installation of the inventory pair: a failure at any step leaves the package directory as
// it was (the old pair, or no pair), and nothing of the attempt behind.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "release/file_install.h"
#include "release/tool_support.h"
#include "tools/tool_test_support.h"

namespace veltomarn::testing {
namespace {

using release::InstallStep;

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct StepCase {
    const char* name;
    InstallStep step;
    bool withSignature;  // sign (both files) or sign --prepare (the inventory alone)
};

void PrintTo(const StepCase& c, std::ostream* out) {
    *out << c.name;
}

const StepCase kSteps[] = {
    {"write_inventory_fails", InstallStep::kWriteInventory, true},
    {"write_signature_fails", InstallStep::kWriteSignature, true},
    {"backup_fails", InstallStep::kBackUp, true},
    {"inventory_rename_fails", InstallStep::kRenameInventory, true},
    {"signature_rename_fails_after_the_inventory_moved", InstallStep::kRenameSignature, true},
    {"final_flush_fails_after_both_moved", InstallStep::kFinish, true},
    {"prepare_write_fails", InstallStep::kWriteInventory, false},
    {"prepare_inventory_rename_fails", InstallStep::kRenameInventory, false},
    {"prepare_signature_removal_fails", InstallStep::kRemoveSignature, false},
    {"prepare_final_flush_fails", InstallStep::kFinish, false},
};

class InstallFailureTest : public ::testing::TestWithParam<StepCase> {
  protected:
    void Install(const StepCase& c) {
        const std::vector<uint8_t> signature = Bytes("new signature");
        release::InstallInventoryFiles(scratch_.path(), Bytes("new inventory"),
                                       c.withSignature ? &signature : nullptr,
                                       [&](InstallStep step) {
                                           if (step == c.step)
                                               throw release::ToolError(2, "injected failure");
                                       });
    }

    ScratchDirectory scratch_;
};

TEST_P(InstallFailureTest, OldPairStaysAndNothingIsLeftBehind) {
    WriteTextFile(scratch_ / "RELEASE.signed", "old inventory");
    WriteTextFile(scratch_ / "RELEASE.sig", "old signature");
    WriteTextFile(scratch_ / "VeltoMarn.payload", "payload");
    const TreeSnapshot before = Snapshot(scratch_.path());
    try {
        Install(GetParam());
        ADD_FAILURE() << "the injected failure did not end the installation";
    } catch (const release::ToolError& error) {
        EXPECT_EQ(error.status(), 2);
        EXPECT_NE(std::string(error.what()).find("injected failure"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("left as it was"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(Snapshot(scratch_.path()), before);
}

TEST_P(InstallFailureTest, AbsentPairStaysAbsent) {
    WriteTextFile(scratch_ / "VeltoMarn.payload", "payload");
    const TreeSnapshot before = Snapshot(scratch_.path());
    try {
        Install(GetParam());
        // With nothing to back up or remove, the step may never come.
        if (GetParam().step != InstallStep::kRemoveSignature) {
            ADD_FAILURE() << "the injected failure did not end the installation";
        }
        return;
    } catch (const release::ToolError&) {
    }
    EXPECT_EQ(Snapshot(scratch_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Steps, InstallFailureTest, ::testing::ValuesIn(kSteps),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstallTest, NewPairReplacesTheOldOneAndTheScratchNamesAreGone) {
    ScratchDirectory scratch;
    WriteTextFile(scratch / "RELEASE.signed", "old inventory");
    WriteTextFile(scratch / "RELEASE.sig", "old signature");
    const std::vector<uint8_t> signature = Bytes("new signature");
    release::InstallInventoryFiles(scratch.path(), Bytes("new inventory"), &signature);
    EXPECT_EQ(Snapshot(scratch.path()), (TreeSnapshot{
                                            {"RELEASE.sig", "644 links=1 file:new signature"},
                                            {"RELEASE.signed", "644 links=1 file:new inventory"},
                                        }));
}

TEST(InstallTest, PreparedInventoryRemovesTheStaleSignature) {
    ScratchDirectory scratch;
    WriteTextFile(scratch / "RELEASE.signed", "old inventory");
    WriteTextFile(scratch / "RELEASE.sig", "old signature");
    release::InstallInventoryFiles(scratch.path(), Bytes("new inventory"), nullptr);
    EXPECT_EQ(Snapshot(scratch.path()), (TreeSnapshot{
                                            {"RELEASE.signed", "644 links=1 file:new inventory"},
                                        }));
}

TEST(InstallTest, SignatureAloneReplacesThePresentOne) {
    ScratchDirectory scratch;
    WriteTextFile(scratch / "RELEASE.sig", "old signature");
    release::InstallSignature(scratch.path(), Bytes("new signature"));
    EXPECT_EQ(Snapshot(scratch.path()), (TreeSnapshot{
                                            {"RELEASE.sig", "644 links=1 file:new signature"},
                                        }));
}

TEST(InstallNewFilesTest, AllFilesWithTheirModesAndNoTemporaries) {
    ScratchDirectory scratch;
    release::InstallNewFiles(scratch.path(),
                             {{"secret.pem", Bytes("s"), 0600}, {"public.pem", Bytes("p"), 0644}});
    EXPECT_EQ(Snapshot(scratch.path()), (TreeSnapshot{
                                            {"public.pem", "644 links=1 file:p"},
                                            {"secret.pem", "600 links=1 file:s"},
                                        }));
}

TEST(InstallNewFilesTest, TakenNameStopsEverythingAndKeepsTheOldFile) {
    ScratchDirectory scratch;
    WriteTextFile(scratch / "public.pem", "older");
    const TreeSnapshot before = Snapshot(scratch.path());
    EXPECT_THROW(release::InstallNewFiles(scratch.path(), {{"secret.pem", Bytes("s"), 0600},
                                                           {"public.pem", Bytes("p"), 0644}}),
                 release::ToolError);
    EXPECT_EQ(Snapshot(scratch.path()), before);
}

}  // namespace
}  // namespace veltomarn::testing
