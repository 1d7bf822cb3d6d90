// BIRD files: round trips through birdtool, header checks, damaged files,
// decompression bounds, the diagnostic lines of a scan, serial number
// replacement, deciphering and the identity readers.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/store/BirdFile.h"
#include "bird_support.h"

using bird_test::Bytes;
using bird_test::LogCapture;
using bird_test::MakeBird;
using cli_test::TempDir;

namespace {

Bytes Payload(const BirdBlock& block) {
    return Bytes(block.data + 4, block.data + block.length);
}

Bytes Data(const BirdBlock& block) {
    return Bytes(block.data, block.data + block.length);
}

}  // namespace

TEST(BirdRoundTrip, EveryBlockFlagAddressAndIdentityFieldComesBack) {
    TempDir tmp;
    const Bytes loader = bird_test::Noise(300, 1);
    const Bytes firmware = bird_test::Noise(70000, 2);
    bird_test::WriteBytes(tmp / "loader.bin", loader);
    bird_test::WriteBytes(tmp / "fw.bin", firmware);
    const std::string path =
        MakeBird(tmp / "full.bird",
                 {"--info", "build=4711,version=2.15.0,serial=40F5849A,model=IOBoard16",  //
                  "--loader", "addr=0x100,flags=2,file=" + tmp / "loader.bin",            //
                  "--firmware", "addr=0x8000,flags=1,file=" + tmp / "fw.bin",             //
                  "--firmware", "addr=0xFFFFF000,flags=7,size=16,fill=erased",            //
                  "--serial-offsets", "serial=0x8100,usb=0x8120",                         //
                  "--start-address", "0x20000400",                                        //
                  "--raw-block", "type=9,flags=3,hex=DEADBEEF01",                         //
                  "--raw-block", "type=31,hex=",                                          //
                  "--checksum", "0xCAFEF00D"});

    BirdFile file(path.c_str());
    EXPECT_EQ(file.path, path);
    EXPECT_EQ(file.signature, 0x62697264u);  // "bird"
    EXPECT_EQ(file.version, 0x0101u);
    EXPECT_EQ(file.checksum, 0xCAFEF00Du);
    ASSERT_EQ(file.blockCount, 8u);
    ASSERT_EQ(file.blocks.size(), 8u);

    struct Expected {
        uint8_t type, flags;
        uint32_t length, address;
    };
    const Expected expected[] = {
        {BirdFile::BLOCK_INFO, 0, 64, 0},
        {BirdFile::BLOCK_LOADER, 2, 304, 0x100},
        {BirdFile::BLOCK_FIRMWARE, 1, 70004, 0x8000},
        {BirdFile::BLOCK_FIRMWARE, 7, 20, 0xFFFFF000},
        {BirdFile::BLOCK_SERIAL_OFFSETS, 0, 8, 0},
        {BirdFile::BLOCK_START_ADDRESS, 0, 4, 0},
        {9, 3, 5, 0},
        {31, 0, 0, 0},
    };
    for (size_t i = 0; i < file.blocks.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(file.blocks[i].type, expected[i].type);
        EXPECT_EQ(file.blocks[i].flags, expected[i].flags);
        EXPECT_EQ(file.blocks[i].length, expected[i].length);
        EXPECT_EQ(file.blocks[i].address, expected[i].address);
    }
    EXPECT_EQ(Payload(file.blocks[1]), loader);
    EXPECT_EQ(Payload(file.blocks[2]), firmware);
    EXPECT_EQ(Payload(file.blocks[3]), Bytes(16, 0xFF));
    EXPECT_EQ(Data(file.blocks[5]), (Bytes{0x20, 0x00, 0x04, 0x00}));
    EXPECT_EQ(Data(file.blocks[6]), (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(file.blocks[0].data), 64),
              "4711            2.15.0          40F5849A        IOBoard16       ");

    const auto firmwareBlocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmwareBlocks.size(), 2u);
    EXPECT_EQ(firmwareBlocks[0].address, 0x8000u);
    EXPECT_EQ(firmwareBlocks[1].address, 0xFFFFF000u);
    EXPECT_EQ(firmwareBlocks[0].data, file.blocks[2].data);
    EXPECT_TRUE(file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());

    EXPECT_TRUE(file.hasSerialOffsets);
    EXPECT_EQ(file.serialOffset, 0x8100u);
    EXPECT_EQ(file.descriptorOffset, 0x8120u);
    EXPECT_EQ(file.GetBuild(), 4711u);
    EXPECT_EQ(file.GetVersion(), "2.15.0");
    EXPECT_EQ(file.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(file.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(file.ValidateSerialNumber(0x40F5849B));
    EXPECT_TRUE(file.ValidateModel("IOBoard16"));
}

TEST(BirdRoundTrip, FileWithoutIdentityOrOffsetsAndTheEmptyFile) {
    TempDir tmp;
    BirdFile file(MakeBird(tmp / "fw.bird", {"--firmware", "addr=0,size=64"}).c_str());
    BirdFile empty;
    for (BirdFile* f : {&file, &empty}) {
        EXPECT_EQ(f->GetBuild(), 0u);
        EXPECT_EQ(f->GetVersion(), "");
        EXPECT_EQ(f->GetSerialNumber(), 0u);
        EXPECT_FALSE(f->ValidateModel(""));
        EXPECT_FALSE(f->hasSerialOffsets);
        EXPECT_FALSE(f->FindSerialNumberOffsets());
        EXPECT_FALSE(f->ReplaceSerialNumber(0x40F5849A));
        EXPECT_EQ(f->serialOffset, 0u);
    }
    EXPECT_EQ(file.blocks.size(), 1u);
    EXPECT_TRUE(empty.blocks.empty());
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_TRUE(empty.path.empty());
}

TEST(BirdRoundTrip, MovedFileKeepsItsBlocksPointingIntoTheMovedBuffer) {
    TempDir tmp;
    const std::string path =
        MakeBird(tmp / "m.bird", {"--firmware", "addr=0,size=0x2000,fill=zero",  //
                                  "--serial-offsets", "serial=0x1000"});
    BirdFile original(path.c_str());
    const unsigned char* buffer = original.data.get();
    BirdFile moved(std::move(original));
    EXPECT_EQ(moved.data.get(), buffer);
    ASSERT_EQ(moved.blocks.size(), 2u);
    EXPECT_EQ(moved.blocks[0].data, buffer + 5 + 4);  // after the count and the block header

    BirdFile assigned;
    assigned = std::move(moved);
    ASSERT_TRUE(assigned.ReplaceSerialNumber(0x40F5849A));
    EXPECT_EQ(assigned.blocks[0].data[0x1004], 0x9A);
}

TEST(BirdHeader, VerifyFileChecksTheHeaderAndLoadAcceptsAnyHeader) {
    TempDir tmp;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool verifies;
        bool loads;
    } cases[] = {
        {"current format", {}, true, true},
        {"second version byte 0", {"--format-version", "0x0100"}, false, true},
        {"first version byte 0", {"--format-version", "0x0001"}, false, true},
        {"other signature", {"--signature", "BIRD"}, false, true},
        {"header only", {"--truncate", "6"}, true, false},
        {"four bytes", {"--truncate", "4"}, false, false},
        {"empty file", {"--truncate", "0"}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--firmware", "addr=0,size=32"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string path = MakeBird(tmp / "h.bird", args);
        EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verifies);
        BirdFile file;
        file.path = path;
        EXPECT_EQ(file.Load(), c.loads);
    }

    LogCapture log(DEBUG_BirdFile);
    const std::string missing = tmp / "missing.bird";
    EXPECT_FALSE(BirdFile::VerifyFile(missing.c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.path().c_str()));
    EXPECT_EQ(log.Text(), "BIRDFILE: Error - cannot open bird file: '" + missing + "'\n");
}

TEST(BirdDamaged, RefusedWithTheLoggedReasonAndNoBlocks) {
    TempDir tmp;
    const std::vector<std::string> good = {"--firmware", "addr=0x8000,size=100",  //
                                           "--start-address", "0x20000400"};
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string line;  // "@" stands for the path
    } cases[] = {
        {"missing file", {"(none)"}, "BIRDFILE: BIRD file not found [@]\n"},
        {"truncated header",
         {"--truncate", "4"},
         "BIRDFILE: Error - bird file too short: @ (4 bytes)\n"},
        {"header without data",
         {"--truncate", "6"},
         "BIRDFILE: Error - bird file too short: @ (6 bytes)\n"},
        {"bad zlib header", {"--flip", "6"}, "BIRDFILE: Error (-3) decompressing bird file.\n"},
        {"bad zlib check value",
         {"--flip", "-1"},
         "BIRDFILE: Error (-3) decompressing bird file.\n"},
        {"truncated zlib stream",
         {"--truncate", "-5"},
         "BIRDFILE: Error (-3) decompressing bird file.\n"},
        {"no room for the count",
         {"--cut-data", "3"},
         "BIRDFILE: Block data too short for a block count (3 bytes)\n"},
        {"truncated block",
         {"--cut-data", "60"},
         "BIRDFILE: Block 0 (type 01) runs past the end of the data (104 of 51 bytes).\n"},
        {"length beyond the data",
         {"--raw-block", "type=9,length=100,hex=01"},
         "BIRDFILE: Block 2 (type 09) runs past the end of the data (100 of 5 bytes).\n"},
        {"count too high",
         {"--block-count", "3"},
         "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        {"count too low",
         {"--block-count", "1"},
         "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 1)\n"},
        {"bytes after the checksum",
         {"--trailing", "3"},
         "BIRDFILE: Block parsing mismatch in data size. (3 bytes remaining)\n"},
        {"no checksum",
         {"--no-checksum"},
         "BIRDFILE: Block data ends without a file checksum (0 bytes remaining)\n"},
        {"firmware block without a whole address",
         {"--raw-block", "type=1,hex=0102"},
         "BIRDFILE: Block 2 (type 01) is too short (2 bytes).\n"},
        {"short identity block",
         {"--raw-block", "type=4,size=63"},
         "BIRDFILE: Block 2 (type 04) is too short (63 bytes).\n"},
        {"short offsets block",
         {"--raw-block", "type=2,hex=00008000"},
         "BIRDFILE: Block 2 (type 02) is too short (4 bytes).\n"},
        {"short start address",
         {"--raw-block", "type=5,hex=000000"},
         "BIRDFILE: Block 2 (type 05) is too short (3 bytes).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp / "d.bird";
        unlink(path.c_str());
        if (c.args[0] != "(none)") {
            std::vector<std::string> args = good;
            args.insert(args.end(), c.args.begin(), c.args.end());
            MakeBird(path, args);
        }
        std::string line = c.line;
        if (line.find('@') != std::string::npos) {
            line.replace(line.find('@'), 1, path);
        }

        LogCapture log(DEBUG_BirdFile);
        BirdFile file;
        file.path = path;
        EXPECT_FALSE(file.Load());
        EXPECT_TRUE(file.blocks.empty());
        EXPECT_EQ(file.blockCount, 0u);
        EXPECT_FALSE(file.hasSerialOffsets);
        EXPECT_TRUE(log.Has(line)) << log.Text();
        try {
            BirdFile thrown(path.c_str());
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Failed to load bird data");
        }
    }
}

TEST(BirdDamaged, ScanKeepsTheBlocksBeforeAMismatchForInspection) {
    TempDir tmp;
    BirdFile file(MakeBird(tmp / "s.bird", {"--firmware", "addr=0,size=8"}).c_str());
    // The same data with a count of 3: the scan reports the mismatch and
    // keeps the one block it read; only Load refuses the file.
    file.data[3] = 3;
    EXPECT_FALSE(file.ScanBlocks(file.data.get(), file.size));
    EXPECT_EQ(file.blockCount, 1u);
    ASSERT_EQ(file.blocks.size(), 1u);
    EXPECT_EQ(file.blocks[0].length, 12u);
    file.data[3] = 1;
    EXPECT_TRUE(file.ScanBlocks(file.data.get(), file.size));
}

TEST(BirdDecompression, GrowsPastEightToOneUpToTheBound) {
    TempDir tmp;
    // Four MiB of erased flash compress about a thousandfold.
    const std::string erased =
        MakeBird(tmp / "erased.bird", {"--firmware", "addr=0,size=4M,fill=erased"});
    BirdFile file(erased.c_str());
    ASSERT_EQ(file.blocks.size(), 1u);
    EXPECT_EQ(Payload(file.blocks[0]), Bytes(4u << 20, 0xFF));
    EXPECT_LT(bird_test::ReadBytes(erased).size() * 8, file.size);

    // Block data beyond 64 MiB is refused as zlib's buffer error.
    const std::string bomb =
        MakeBird(tmp / "bomb.bird", {"--level", "1", "--firmware", "addr=0,size=64M,fill=erased"});
    LogCapture log(DEBUG_BirdFile);
    BirdFile refused;
    refused.path = bomb;
    EXPECT_FALSE(refused.Load());
    EXPECT_EQ(refused.size, 0u);
    EXPECT_TRUE(log.Has("BIRDFILE: Error (-5) decompressing bird file.\n")) << log.Text();
}

TEST(BirdLog, LoadingWritesTheScanLinesUnderItsPackageOnly) {
    TempDir tmp;
    const std::string path = MakeBird(
        tmp / "log.bird", {"--info", "build=4711,version=2.15.0,serial=40F5849A,model=IOBoard16",
                           "--firmware", "addr=0x10,flags=5,hex=AABBCCDD",  //
                           "--serial-offsets", "serial=0x10",               //
                           "--checksum", "0x1234ABCD"});
    {
        LogCapture other(DEBUG_Updater | DEBUG_Attributes);
        BirdFile file(path.c_str());
        EXPECT_EQ(other.Text(), "");
    }
    LogCapture log(DEBUG_BirdFile);
    BirdFile file(path.c_str());
    EXPECT_EQ(log.Text(), "BIRDFILE: Loading File [" + path +
                              "]\n"
                              "BIRDFILE:\t\t File reports 3 blocks\n"
                              "BIRDFILE: Bird file objects:\n"
                              "BIRDFILE: \t\tType Flags Length\n"
                              "BIRDFILE:\t\t 04   00   64\n"
                              "BIRDFILE:\t\t \t[4711            ]\n"
                              "BIRDFILE:\t\t \t[2.15.0          ]\n"
                              "BIRDFILE:\t\t \t[40F5849A        ]\n"
                              "BIRDFILE:\t\t \t[IOBoard16       ]\n"
                              "BIRDFILE:\t\t 01   05   8\n"
                              "BIRDFILE:\t\t 02   00   8\n"
                              "BIRDFILE:\t\t File checksum 1234ABCD\n"
                              "BIRDFILE: Offsets: Serial number: 16, Descriptor: 0\n"
                              "BIRDFILE: Offsets: Serial number: 16, Descriptor: 0\n");
}

// Where ReplaceSerialNumber writes: one case per placement of the two fields.
TEST(BirdSerialNumber, WrittenOnlyWhereTheFieldsLieInsideFirmware) {
    TempDir tmp;
    struct Case {
        const char* name;
        std::vector<std::string> blocks;  // blocks before the offsets block
        std::string offsets;
        bool result;
        // Expected changes: block index, data index, bytes.
        std::vector<std::pair<int, std::pair<uint32_t, Bytes>>> writes;
    };
    const std::string one = "addr=0x0,size=0x2000,fill=0xEE";
    const Bytes serialWord = {0x9A, 0x84, 0xF5, 0x40};
    const Bytes serialText = {'4', 0xEE, '0', 0xEE, 'F', 0xEE, '5', 0xEE,
                              '8', 0xEE, '4', 0xEE, '9', 0xEE, 'A', 0xEE};
    const Case cases[] = {
        {"serial word", {"--firmware", one}, "serial=0x1000", true, {{0, {0x1004, serialWord}}}},
        {"usb string", {"--firmware", one}, "usb=0x1800", true, {{0, {0x1804, serialText}}}},
        {"both",
         {"--firmware", one},
         "serial=0x1000,usb=0x1800",
         true,
         {{0, {0x1004, serialWord}}, {0, {0x1804, serialText}}}},
        {"word at the very end",
         {"--firmware", one},
         "serial=0x1FFC",
         true,
         {{0, {0x2000, serialWord}}}},
        {"word outside every block", {"--firmware", one}, "serial=0x4000", false, {}},
        {"word across the end", {"--firmware", one}, "serial=0x1FFE", false, {}},
        {"word before the block",
         {"--firmware", "addr=0x100,size=0x100"},
         "serial=0xFE",
         false,
         {}},
        {"string across the end",
         {"--firmware", one},
         "serial=0x1000,usb=0x1FF8",
         false,
         {{0, {0x1004, serialWord}}}},
        {"no offsets", {"--firmware", one}, "serial=0,usb=0", false, {}},
        {"in the second firmware block",
         {"--firmware", "addr=0x0,size=0x100", "--firmware", "addr=0x8000,size=0x100"},
         "serial=0x8010",
         true,
         {{1, {0x14, serialWord}}}},
        {"only in a loader block",
         {"--loader", one, "--firmware", "addr=0x8000,size=0x100"},
         "serial=0x1000",
         false,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.blocks;
        args.insert(args.end(), {"--serial-offsets", c.offsets});
        BirdFile file(MakeBird(tmp / "s.bird", args).c_str());
        std::vector<Bytes> before;
        for (const BirdBlock& block : file.blocks) {
            before.push_back(Data(block));
        }
        EXPECT_EQ(file.ReplaceSerialNumber(0x40F5849A), c.result);
        for (const auto& write : c.writes) {
            Bytes& expected = before[write.first];
            std::copy(write.second.second.begin(), write.second.second.end(),
                      expected.begin() + write.second.first);
        }
        for (size_t i = 0; i < file.blocks.size(); ++i) {
            EXPECT_EQ(Data(file.blocks[i]), before[i]) << "block " << i;
        }
    }
}

TEST(BirdSerialNumber, LogsTheWordItReplaces) {
    TempDir tmp;
    BirdFile file(MakeBird(tmp / "s.bird", {"--firmware", "addr=0x0,size=0x2000,fill=0xEE",
                                            "--serial-offsets", "serial=0x1000"})
                      .c_str());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x40F5849A));
    EXPECT_TRUE(file.ReplaceSerialNumber(0x00000001));
    EXPECT_EQ(log.Text(),
              "BIRDFILE: updating serial number from EEEEEEEE ==> 40F5849A\n"
              "BIRDFILE: updating serial number from 40F5849A ==> 00000001\n");
}

TEST(BirdDecipher, RecoversWhatBirdtoolEnciphered) {
    TempDir tmp;
    const Bytes loader = bird_test::Noise(100, 3);
    const Bytes first = bird_test::Noise(1000, 4);
    const Bytes second = bird_test::Noise(37, 5);
    bird_test::WriteBytes(tmp / "l.bin", loader);
    bird_test::WriteBytes(tmp / "a.bin", first);
    bird_test::WriteBytes(tmp / "b.bin", second);
    const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    const std::string path =
        MakeBird(tmp / "r.bird", {"--loader", "addr=0x20000000,file=" + tmp / "l.bin",  //
                                  "--firmware", "addr=0x0,file=" + tmp / "a.bin",       //
                                  "--firmware", "addr=0x1000,file=" + tmp / "b.bin",    //
                                  "--encipher-key", "01234567,89ABCDEF,FEDCBA98,76543210"});
    BirdFile file(path.c_str());
    ASSERT_EQ(file.blocks.size(), 3u);
    EXPECT_NE(Payload(file.blocks[1]), first);
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    EXPECT_EQ(Payload(file.blocks[0]), loader);
    EXPECT_EQ(Payload(file.blocks[1]), first);
    EXPECT_EQ(Payload(file.blocks[2]), second);
    EXPECT_EQ(GetInt(file.blocks[2].data), 0x1000u);
    EXPECT_EQ(file.blocks[2].address, 0x1000u);
    EXPECT_FALSE(file.DecodeFirmwareBlocks(nullptr));
}

TEST(BirdDecipher, KeyBytesRunMostSignificantFirstAndChainOnThePlainByte) {
    TempDir tmp;
    // Cipher bytes all zero: each plain byte is its key byte XOR the plain
    // byte before it. Key bytes 01 02 03 04 05 ...
    BirdFile keyed(MakeBird(tmp / "k.bird", {"--firmware", "addr=0x40,hex=0000000000"}).c_str());
    const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    ASSERT_TRUE(keyed.DecodeFirmwareBlocks(key));
    EXPECT_EQ(Payload(keyed.blocks[0]), (Bytes{0x01, 0x03, 0x00, 0x04, 0x01}));
    EXPECT_EQ(Data(keyed.blocks[0]).front(), 0x00);  // the address is left alone

    // An all-zero key leaves the first byte and XORs every later one with
    // the deciphered byte before it.
    BirdFile zero(MakeBird(tmp / "z.bird", {"--firmware", "addr=0x0,hex=10203040"}).c_str());
    const unsigned none[4] = {0, 0, 0, 0};
    ASSERT_TRUE(zero.DecodeFirmwareBlocks(none));
    EXPECT_EQ(Payload(zero.blocks[0]), (Bytes{0x10, 0x30, 0x00, 0x40}));
}

TEST(BirdIdentity, FieldsAreReadByTheirWidthsAndStops) {
    TempDir tmp;
    struct Case {
        std::string info;
        unsigned build;
        std::string version;
        unsigned serial;
    } cases[] = {
        {"build=4711,version=2.15.0,serial=40F5849A,model=M", 4711, "2.15.0", 0x40F5849A},
        {"build=  99528558,version=2.15 beta,serial=40f5849a,model=M", 99528558, "2.15",
         0x40F5849A},
        {"build=1234567890123456,version=1234567890ABCDEF,serial=40F5849A0000,model=M",
         static_cast<unsigned>(123456789012345ull), "1234567890ABCDE", 0x40F5849A},
        {"build=,version=,serial=,model=M", 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info);
        BirdFile file(MakeBird(tmp / "i.bird", {"--info", c.info}).c_str());
        EXPECT_EQ(file.GetBuild(), c.build);
        EXPECT_EQ(file.GetVersion(), c.version);
        EXPECT_EQ(file.GetSerialNumber(), c.serial);
    }
}

TEST(BirdIdentity, ModelMatchesWhenTheGivenNameIsAPrefix) {
    TempDir tmp;
    BirdFile abc(MakeBird(tmp / "abc.bird", {"--info", "build=1,model=ABC"}).c_str());
    BirdFile full(MakeBird(tmp / "full.bird", {"--info", "model=IOBoard16Extend"}).c_str());
    const struct {
        BirdFile* file;
        const char* model;
        bool matches;
    } cases[] = {
        {&abc, "ABC", true},
        {&abc, "AB", true},
        {&abc, "", true},
        {&abc, "ABCD", false},
        {&abc, "abc", false},
        {&abc, "BC", false},
        {&abc, "ABC ", false},
        {&full, "IOBoard16Extend", true},
        {&full, "IOBoard16Extende", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        EXPECT_EQ(c.file->ValidateModel(c.model), c.matches);
    }
    LogCapture log(DEBUG_BirdFile);
    abc.ValidateModel("AB");
    abc.ValidateModel("X");
    EXPECT_EQ(log.Text(), "Model matches model number ([ABC] == [AB])\n");
}
