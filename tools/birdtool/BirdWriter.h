// The writing side of birdtool: lays out blocks, the block data and the
// compressed file. It shares no code with the program's reader, so that a
// mistake in one is not repeated in the other.
#ifndef TOOLS_BIRDTOOL_BIRDWRITER_H
#define TOOLS_BIRDTOOL_BIRDWRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace birdtool {

using Bytes = std::vector<uint8_t>;

enum BlockType : uint8_t {
    kLoader = 0,
    kFirmware = 1,
    kSerialOffsets = 2,
    kInfo = 4,
    kStartAddress = 5,
};

// One block as it will be written: the type byte carries `type` in its low
// five bits and `flags` in its high three.
struct Block {
    uint8_t type = 0;
    uint8_t flags = 0;
    Bytes data;  // for loader and firmware blocks, starting with the address
    bool lengthOverride = false;
    uint32_t length = 0;  // written instead of data.size() when overridden
};

// The identity block's four fields, each at most 16 characters.
struct Identity {
    std::string build;
    std::string version;
    std::string serial;
    std::string model;
};

// Image identity header inside a firmware payload: "FWID", the packed
// version, the build (both big-endian) and 4 reserved zero bytes, 0x100 bytes
// after the start of the image (what a simulated module reads after a reboot).
constexpr char kImageMagic[] = "FWID";
constexpr size_t kImageHeaderOffset = 0x100;
constexpr size_t kImageHeaderLength = 16;

// Everything that shapes the file around the blocks, including the ways to
// damage it on purpose.
struct Layout {
    char signature[4] = {'b', 'i', 'r', 'd'};
    uint16_t formatVersion = 0x0101;
    int level = 9;  // zlib compression level

    bool countOverride = false;
    uint32_t count = 0;  // written instead of the number of blocks
    bool checksumOverride = false;
    uint32_t checksum = 0;  // written instead of the computed CRC-32
    bool omitChecksum = false;
    uint32_t trailing = 0;  // extra bytes after the checksum
    bool cutData = false;
    uint32_t cutAt = 0;  // keep only this many bytes of the block data
};

void PutBE32(Bytes& out, uint32_t value);

// Address block payloads.
Block MakeAddressed(BlockType type, uint8_t flags, uint32_t address, const Bytes& payload);
Block MakeSerialOffsets(uint32_t serial, uint32_t usb);
Block MakeStartAddress(uint32_t address);
// Fails (returns false, with a reason) when a field is longer than 16.
bool MakeInfo(const Identity& identity, Block& block, std::string& reason);

// Writes the image identity header at kImageHeaderOffset of the payload of
// `block` (a loader or firmware block).
bool WriteImageHeader(Block& block, uint32_t packedVersion, uint32_t build, std::string& reason);

// Enciphers the payload of `block` in place with the 16 key bytes made of the
// four words, most significant byte first: each cipher byte is the plain byte
// XOR the key byte XOR the plain byte before it (0 for the first).
void Encipher(Block& block, const uint32_t key[4]);

// Payload fills.
enum class Fill { kPattern, kZero, kErased, kRandom, kByte };
Bytes MakePayload(size_t size, Fill fill, uint8_t byte, uint32_t seed);

// The decompressed block data: count, blocks, checksum (CRC-32 of all bytes
// before it), trailing bytes, cut as asked.
Bytes BlockData(const std::vector<Block>& blocks, const Layout& layout);

// The whole file: header and the zlib stream of the block data.
bool FileBytes(const std::vector<Block>& blocks, const Layout& layout, Bytes& out,
               std::string& reason);

}  // namespace birdtool

#endif
