// Fuzz target: BIRD file loading from memory and everything that reads the
// blocks afterwards. The first input byte picks how the rest is used:
//   bits 0-1 = 0: block data as it comes out of decompression (ScanBlocks)
//   bits 0-1 = 1: a whole file, header and zlib stream (LoadData)
//   bits 0-1 = 2: block data, compressed here behind a valid header, so
//                 that the whole load path sees well-formed zlib streams
// Whatever the scan kept, even after a mismatch, is then read and changed by
// the identity readers, the serial number writer and the decipherer.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/store/BirdFile.h"

namespace {

void _exercise(BirdFile& file) {
    for (int type = 0; type < 32; ++type) {
        file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
    }
    file.FindSerialNumberOffsets();
    file.GetBuild();
    file.GetVersion();
    file.GetSerialNumber();
    file.ValidateModel("IOBoard16");
    file.ValidateModel("");
    file.ReplaceSerialNumber(0x40F5849A);
    const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    file.DecodeFirmwareBlocks(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned mode = input[0] & 3;
    const uint8_t* bytes = input + 1;
    const size_t length = size - 1;
    BirdFile file;
    file.path = "fuzz";

    if (mode == 0) {
        file.data.reset(new unsigned char[length + 1]);
        if (length > 0) {
            memcpy(file.data.get(), bytes, length);
        }
        file.size = static_cast<uint32_t>(length);
        file.ScanBlocks(file.data.get(), file.size);
    } else if (mode == 1) {
        file.LoadData(bytes, length);
    } else {
        uLongf packed = compressBound(static_cast<uLong>(length));
        std::vector<unsigned char> whole(6 + packed);
        memcpy(whole.data(), "bird\x01\x01", 6);
        if (compress2(whole.data() + 6, &packed, bytes, static_cast<uLong>(length), 1) != Z_OK) {
            return 0;
        }
        file.LoadData(whole.data(), 6 + packed);
    }
    _exercise(file);

    // A moved file must keep working on the same buffer.
    BirdFile moved(std::move(file));
    _exercise(moved);
    return 0;
}
