// The two transfer phases and the file check of an update, against a module
// of the in-process simulator over TCP on 127.0.0.1, with BIRD files made by
// birdtool: what the user is shown, what the module saw, and that a loader
// is never started when one of its blocks failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/Module.h"
#include "api_support.h"
#include "app/UpdaterUpdate.h"
#include "app/store/BirdFile.h"
#include "bird_support.h"
#include "cli_support.h"
#include "update_support.h"

using bird_test::MakeBird;
using cli_test::RecordingDisplay;
using cli_test::TempDir;
using update_test::kSerial;
using Vexmoran::Quillarex::Module;

namespace {

const auto Info = UpdaterDisplayInterface::Info;
const auto Error = UpdaterDisplayInterface::Error;

// A ThermoLog6 module whose loader takes pieces of 512 bytes.
struct Rig : update_test::SimulatedModule {
    explicit Rig(const std::vector<std::string>& faults = {})
        : SimulatedModule("model=17,block-size=512,reboot-ms=2000", faults) {}
};

// A loader of 600 bytes and two firmware blocks (1000 and 300 bytes).
BirdFile MakeFile(const TempDir& dir, const std::string& name,
                  const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--loader",   "addr=0x20000000,size=600",
                                     "--firmware", "addr=0x0,size=1000,fill=random,seed=3",
                                     "--firmware", "addr=0x2000,size=300,fill=random,seed=4"};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string path = MakeBird(dir / name, args);
    return BirdFile(path.c_str());
}

size_t Count(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

}  // namespace

TEST(update_phases, WholeUpdateShowsItsSteps) {
    TempDir dir;
    BirdFile file = MakeFile(dir, "fw.bird");
    Rig rig;
    ASSERT_EQ(rig.connected, aErrNone);
    RecordingDisplay display;
    ASSERT_EQ(_transfer_loader(display, rig.module, file), aErrNone);
    ASSERT_EQ(_transfer_firmware(display, rig.module, file, false, true), aErrNone);
    EXPECT_EQ(display.Texts(Info),
              (std::vector<std::string>{
                  "Transferring loader to device", "Transferring loader block 1 of 1, 604 bytes",
                  "Transferred 1 blocks, 604 total bytes", "Starting Load on Device",
                  "Transferring firmware block 1 of 2, 1004 bytes",
                  "Transferring firmware block 2 of 2, 304 bytes",
                  "Transferred 2 blocks, 1308 total bytes"}));
    EXPECT_TRUE(display.Texts(Error).empty());
    EXPECT_EQ(rig.Counter("load"), 1);
    EXPECT_EQ(rig.Counter("reboot"), 1);
    EXPECT_EQ(rig.Counter("flash_bytes_written"), 1300);
}

// A block whose first attempt fails is sent again from PREPARE, once per
// failure, and the user sees the retry; five failures end the phase.
TEST(update_phases, FirmwareBlockRetries) {
    TempDir dir;
    BirdFile file = MakeFile(dir, "fw.bird");
    {
        // SUM 1 is the loader's, SUM 2 the first firmware piece's.
        Rig rig({"bad-sum@2"});
        ASSERT_EQ(rig.connected, aErrNone);
        RecordingDisplay display;
        ASSERT_EQ(_transfer_loader(display, rig.module, file), aErrNone);
        ASSERT_EQ(_transfer_firmware(display, rig.module, file, true, false), aErrNone);
        const auto info = display.Texts(Info);
        EXPECT_EQ(Count(info, "Transferring firmware block 1 of 2, 1004 bytes"), 2u);
        EXPECT_EQ(Count(info, "  Retry 1"), 1u);
        EXPECT_EQ(Count(info, "  Retry 2"), 0u);
        EXPECT_EQ(rig.Counter("flash_bytes_written"), 1300);
    }
    {
        Rig rig({"write-status:5@*"});
        ASSERT_EQ(rig.connected, aErrNone);
        RecordingDisplay display;
        ASSERT_EQ(_transfer_loader(display, rig.module, file), aErrNone);
        EXPECT_EQ(_transfer_firmware(display, rig.module, file, true, true), aErrInvalidOption);
        const auto info = display.Texts(Info);
        EXPECT_EQ(Count(info, "Transferring firmware block 1 of 2, 1004 bytes"), 5u);
        for (const char* retry : {"  Retry 1", "  Retry 2", "  Retry 3", "  Retry 4"}) {
            EXPECT_EQ(Count(info, retry), 1u) << retry;
        }
        EXPECT_EQ(Count(info, "Transferring firmware block 2 of 2, 304 bytes"), 0u);
        EXPECT_EQ(info.back(), "Transferred 0 blocks, 0 total bytes");
        EXPECT_EQ(rig.Counter("prepare"), 1 + 5);
        EXPECT_EQ(rig.Counter("reboot"), 0);
    }
}

// A loader block that fails is never followed by LOAD: the module keeps
// running its firmware, and the user is told so.
TEST(update_phases, FailedLoaderIsNeverStarted) {
    TempDir dir;
    BirdFile file = MakeFile(dir, "fw.bird", {"--loader", "addr=0x20001000,size=100"});
    Rig rig({"bad-sum@1"});
    ASSERT_EQ(rig.connected, aErrNone);
    RecordingDisplay display;
    EXPECT_EQ(_transfer_loader(display, rig.module, file), aErrInvalidOption);
    EXPECT_EQ(rig.Counter("load"), 0);
    EXPECT_EQ(display.Texts(Error),
              std::vector<std::string>{"Failed to transfer the loader [29, aErrInvalidOption]; the "
                                       "module's firmware is unchanged"});
}

TEST(update_phases, FileCheckedAgainstTheModule) {
    TempDir dir;
    Rig rig;
    ASSERT_EQ(rig.connected, aErrNone);
    struct Case {
        const char* name;
        std::vector<std::string> identity;
        bool valid;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"own serial and model", {"--info", "serial=40F5849A,model=ThermoLog6"}, true, nullptr},
        {"model name with a suffix",
         {"--info", "serial=40F5849A,model=ThermoLog6X"},
         true,
         nullptr},
        {"any serial with serial offsets",
         {"--info", "serial=11111111,model=ThermoLog6", "--serial-offsets", "serial=0x200"},
         true,
         nullptr},
        {"another serial", {"--info", "serial=11111111,model=ThermoLog6"}, false, nullptr},
        {"another model",
         {"--info", "serial=40F5849A,model=HubPro8"},
         false,
         "Connected device model and Bird file model do not match [ThermoLog6] (0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BirdFile file = MakeFile(dir, "check.bird", c.identity);
        RecordingDisplay display;
        EXPECT_EQ(_validate_birdfile(display, file, rig.module, kSerial), c.valid);
        const auto errors = display.Texts(Error);
        if (c.error != nullptr) {
            EXPECT_EQ(errors, std::vector<std::string>{c.error});
        } else {
            EXPECT_TRUE(errors.empty());
        }
    }
    // The module is not the one the caller names.
    BirdFile own = MakeFile(dir, "own.bird", {"--info", "serial=12345678,model=ThermoLog6"});
    RecordingDisplay display;
    EXPECT_FALSE(_validate_birdfile(display, own, rig.module, 0x12345678));
}
