#include "BirdWriter.h"

#include <zlib.h>

#include <cstring>

namespace birdtool {

namespace {

constexpr size_t kFieldWidth = 16;

bool _put_field(Bytes& out, const std::string& text, const char* what, std::string& reason) {
    if (text.size() > kFieldWidth) {
        reason = std::string(what) + " \"" + text + "\" is longer than 16 characters";
        return false;
    }
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), kFieldWidth - text.size(), ' ');
    return true;
}

}  // namespace

void PutBE32(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

Block MakeAddressed(BlockType type, uint8_t flags, uint32_t address, const Bytes& payload) {
    Block block;
    block.type = type;
    block.flags = flags;
    PutBE32(block.data, address);
    block.data.insert(block.data.end(), payload.begin(), payload.end());
    return block;
}

Block MakeSerialOffsets(uint32_t serial, uint32_t usb) {
    Block block;
    block.type = kSerialOffsets;
    PutBE32(block.data, serial);
    PutBE32(block.data, usb);
    return block;
}

Block MakeStartAddress(uint32_t address) {
    Block block;
    block.type = kStartAddress;
    PutBE32(block.data, address);
    return block;
}

bool MakeInfo(const Identity& identity, Block& block, std::string& reason) {
    block = Block();
    block.type = kInfo;
    return _put_field(block.data, identity.build, "build", reason) &&
           _put_field(block.data, identity.version, "version", reason) &&
           _put_field(block.data, identity.serial, "serial", reason) &&
           _put_field(block.data, identity.model, "model", reason);
}

bool WriteImageHeader(Block& block, uint32_t packedVersion, uint32_t build, std::string& reason) {
    if (block.data.size() < 4 + kImageHeaderOffset + kImageHeaderLength) {
        reason = "the firmware payload is too short for the image header at 0x100";
        return false;
    }
    Bytes header(kImageMagic, kImageMagic + 4);
    PutBE32(header, packedVersion);
    PutBE32(header, build);
    PutBE32(header, 0);
    std::copy(header.begin(), header.end(), block.data.begin() + 4 + kImageHeaderOffset);
    return true;
}

void Encipher(Block& block, const uint32_t key[4]) {
    uint8_t keyBytes[16];
    for (int word = 0; word < 4; ++word) {
        for (int i = 0; i < 4; ++i) {
            keyBytes[4 * word + i] = static_cast<uint8_t>(key[word] >> (24 - 8 * i));
        }
    }
    uint8_t previousPlain = 0;
    for (size_t i = 4, k = 0; i < block.data.size(); ++i, k = (k + 1) % 16) {
        const uint8_t plain = block.data[i];
        block.data[i] = static_cast<uint8_t>(plain ^ keyBytes[k] ^ previousPlain);
        previousPlain = plain;
    }
}

Bytes MakePayload(size_t size, Fill fill, uint8_t byte, uint32_t seed) {
    switch (fill) {
        case Fill::kZero:
            return Bytes(size, 0x00);
        case Fill::kErased:
            return Bytes(size, 0xFF);
        case Fill::kByte:
            return Bytes(size, byte);
        default:
            break;
    }
    Bytes payload(size);
    uint32_t state = seed != 0 ? seed : 0x9E3779B9u;
    for (size_t i = 0; i < size; ++i) {
        switch (fill) {
            case Fill::kPattern:
                payload[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
                break;
            default:
                // xorshift32: the same seed gives the same bytes.
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                payload[i] = static_cast<uint8_t>(state);
                break;
        }
    }
    return payload;
}

Bytes BlockData(const std::vector<Block>& blocks, const Layout& layout) {
    Bytes out;
    PutBE32(out, layout.countOverride ? layout.count : static_cast<uint32_t>(blocks.size()));
    for (const Block& block : blocks) {
        out.push_back(static_cast<uint8_t>((block.type & 0x1F) | (block.flags & 0x07) << 5));
        PutBE32(out,
                block.lengthOverride ? block.length : static_cast<uint32_t>(block.data.size()));
        out.insert(out.end(), block.data.begin(), block.data.end());
    }
    if (!layout.omitChecksum) {
        const uint32_t crc = static_cast<uint32_t>(
            crc32(crc32(0L, Z_NULL, 0), out.data(), static_cast<uInt>(out.size())));
        PutBE32(out, layout.checksumOverride ? layout.checksum : crc);
    }
    for (uint32_t i = 0; i < layout.trailing; ++i) {
        out.push_back(static_cast<uint8_t>(0xA5 ^ i));
    }
    if (layout.cutData && layout.cutAt < out.size()) {
        out.resize(layout.cutAt);
    }
    return out;
}

bool FileBytes(const std::vector<Block>& blocks, const Layout& layout, Bytes& out,
               std::string& reason) {
    const Bytes plain = BlockData(blocks, layout);
    uLongf packedLength = compressBound(static_cast<uLong>(plain.size()));
    Bytes packed(packedLength);
    const int rc = compress2(packed.data(), &packedLength, plain.data(),
                             static_cast<uLong>(plain.size()), layout.level);
    if (rc != Z_OK) {
        reason = "compression failed (zlib " + std::to_string(rc) + ")";
        return false;
    }
    out.assign(layout.signature, layout.signature + 4);
    out.push_back(static_cast<uint8_t>(layout.formatVersion >> 8));
    out.push_back(static_cast<uint8_t>(layout.formatVersion));
    out.insert(out.end(), packed.begin(), packed.begin() + packedLength);
    return true;
}

}  // namespace birdtool
