// Makes BIRD files for tests: block data in memory, compressed with zlib
// behind the file header.
#ifndef UPDATE_SERVER_TESTING_BIRD_FIXTURE_H
#define UPDATE_SERVER_TESTING_BIRD_FIXTURE_H

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace update_server::testing {

struct FixtureBlock {
    uint8_t typeAndFlags;
    std::vector<uint8_t> data;
};

inline void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// The 64-byte identity block: four space-padded 16-character fields.
inline std::vector<uint8_t> InfoData(const std::string& build, const std::string& version,
                                     const std::string& serial, const std::string& model) {
    std::vector<uint8_t> data;
    for (const std::string& field : {build, version, serial, model}) {
        std::string padded = field.substr(0, 16);
        padded.resize(16, ' ');
        data.insert(data.end(), padded.begin(), padded.end());
    }
    return data;
}

// Block data: the count (the real one unless given), the blocks, a checksum.
inline std::vector<uint8_t> BlockData(const std::vector<FixtureBlock>& blocks, int64_t count = -1) {
    std::vector<uint8_t> out;
    PutU32(out, static_cast<uint32_t>(count < 0 ? static_cast<int64_t>(blocks.size()) : count));
    for (const FixtureBlock& block : blocks) {
        out.push_back(block.typeAndFlags);
        PutU32(out, static_cast<uint32_t>(block.data.size()));
        out.insert(out.end(), block.data.begin(), block.data.end());
    }
    PutU32(out, 0x12345678);  // checksum: never checked
    return out;
}

inline std::vector<uint8_t> Compress(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(data.size());
    std::vector<uint8_t> out(size);
    if (compress(out.data(), &size, data.data(), data.size()) != Z_OK) {
        throw std::runtime_error("compress failed");
    }
    out.resize(size);
    return out;
}

// "bird", the two version bytes, then the compressed block data.
inline std::vector<uint8_t> FileFrom(const std::vector<uint8_t>& blockData, uint8_t version0 = 1,
                                     uint8_t version1 = 1) {
    std::vector<uint8_t> file = {'b', 'i', 'r', 'd', version0, version1};
    const std::vector<uint8_t> compressed = Compress(blockData);
    file.insert(file.end(), compressed.begin(), compressed.end());
    return file;
}

// A plausible update file: a loader block, a firmware block of
// `payloadBytes` bytes at 0x8000, a serial-offsets block and the identity.
inline std::vector<uint8_t> UpdateFile(const std::string& build, const std::string& version,
                                       const std::string& serial, const std::string& model,
                                       size_t payloadBytes = 1000) {
    std::vector<uint8_t> loader = {0, 0, 0, 0};
    std::vector<uint8_t> firmware = {0, 0, 0x80, 0};
    for (size_t i = 0; i < 300; ++i) {
        loader.push_back(static_cast<uint8_t>(i * 7));
    }
    for (size_t i = 0; i < payloadBytes; ++i) {
        firmware.push_back(static_cast<uint8_t>((i * 31) ^ (i >> 8)));
    }
    const std::vector<uint8_t> offsets = {0, 0, 0x80, 0x10, 0, 0, 0x80, 0x20};
    return FileFrom(BlockData({{0x00, loader},
                               {0x01, firmware},
                               {0x02, offsets},
                               {0x04, InfoData(build, version, serial, model)}}));
}

}  // namespace update_server::testing

#endif
