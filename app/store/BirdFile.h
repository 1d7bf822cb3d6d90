// BIRD firmware files: a six-byte header ("bird" and a two-byte format
// version) followed by one zlib stream of typed blocks. A BirdFile holds the
// decompressed block data and a list of BirdBlock records pointing into it.
#ifndef APP_STORE_BIRDFILE_H
#define APP_STORE_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define BIRD_FILE_SIGNATURE "bird"
#define BIRD_FILE_VERSION 0x0101u
#define BIRD_FILE_TYPE_MASK 0x1Fu
#define BIRD_FILE_FLAG_MASK 0xE0u

// The big-endian numbers at p.
unsigned GetInt(const unsigned char* p);
unsigned GetShort(const unsigned char* p);

// One block of a loaded file. It owns nothing: `data` points into the buffer
// of the BirdFile it came from and is valid while that file lives and has not
// been assigned to.
struct BirdBlock {
    uint8_t type = 0;               // low five bits of the block's first byte
    uint8_t flags = 0;              // high three bits, 0 to 7
    uint32_t length = 0;            // bytes of data
    uint32_t address = 0;           // load address of loader and firmware blocks, else 0
    unsigned char* data = nullptr;  // `length` bytes; for loader and firmware
                                    // blocks the first four are the address
};

class BirdFile {
  public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    // The largest block data a file may decompress to. Real files are far
    // smaller; the bound keeps a hostile file from taking all memory.
    static constexpr unsigned long kMaxDataSize = 64ul * 1024 * 1024;

    // Smallest data length of each known block type.
    static constexpr uint32_t kAddressLength = 4;
    static constexpr uint32_t kSerialOffsetsLength = 8;
    static constexpr uint32_t kInfoLength = 64;

    BirdFile();
    // Loads `path`; throws std::runtime_error("Failed to load bird data") when
    // the file cannot be read or is damaged.
    explicit BirdFile(const char* path);

    BirdFile(BirdFile&&) = default;
    BirdFile& operator=(BirdFile&&) = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads, decompresses and splits the file named by `path`. A file whose
    // blocks do not add up fails and keeps no blocks.
    bool Load();
    // The same for a whole file already in memory (header included).
    bool LoadData(const unsigned char* bytes, size_t length);

    // The two halves of loading. DecompressData replaces the data buffer;
    // ScanBlocks splits `data` (which must be the file's own buffer for the
    // blocks to stay valid) and reports whether everything added up. The
    // blocks read before a mismatch stay in the list.
    bool DecompressData(const unsigned char* compressed, unsigned long length);
    bool ScanBlocks(const unsigned char* data, unsigned size);

    // Copies of all blocks of one type, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // Reads the two offsets from the first serial-offsets block.
    bool FindSerialNumberOffsets();

    // Writes the serial number into the firmware blocks: as a little-endian
    // word at `serialOffset` and as the low bytes of the eight UTF-16LE
    // characters at `descriptorOffset`. True only when every nonzero offset
    // lay inside a firmware block and was written.
    bool ReplaceSerialNumber(unsigned serialNumber);

    // Deciphers the payload of every firmware block in place with four key
    // words (each contributing its bytes most significant first).
    bool DecodeFirmwareBlocks(const unsigned int* key);

    // Identity block readers.
    bool ValidateModel(const char* model) const;
    unsigned GetSerialNumber() const;
    bool ValidateSerialNumber(unsigned serialNumber) const;
    unsigned GetBuild() const;
    std::string GetVersion() const;

    // Header check without loading: "bird" and two nonzero version bytes.
    static bool VerifyFile(const char* path);

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<unsigned char[]> data;
    uint32_t size = 0;

  private:
    void _reset();
    const BirdBlock* _first_block(BLOCK_TYPE type) const;
};

#endif
