#include "app/store/BirdFile.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "app/Log.h"
#include "unix/aFile.h"

namespace {

// The header: signature and format version.
constexpr size_t kHeaderLength = 6;

// A file larger than this cannot hold block data within kMaxDataSize (zlib
// adds a few bytes per 16 KiB even to data it cannot compress).
constexpr unsigned long kMaxFileSize = 2 * BirdFile::kMaxDataSize;

uint32_t _min_length(uint8_t type) {
    switch (type) {
        case BirdFile::BLOCK_LOADER:
        case BirdFile::BLOCK_FIRMWARE:
        case BirdFile::BLOCK_START_ADDRESS:
            return BirdFile::kAddressLength;
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            return BirdFile::kSerialOffsetsLength;
        case BirdFile::BLOCK_INFO:
            return BirdFile::kInfoLength;
        default:
            return 0;
    }
}

uint32_t _get_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void _put_le32(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

// True when the `width` bytes at `target` lie inside the payload of `block`
// (the addresses from its load address up to the load address plus L - 4).
bool _in_payload(const BirdBlock& block, uint32_t target, uint32_t width) {
    if (block.length < BirdFile::kAddressLength) {
        return false;
    }
    const uint64_t begin = block.address;
    const uint64_t end = begin + (block.length - BirdFile::kAddressLength);
    return begin <= target && static_cast<uint64_t>(target) + width <= end;
}

// One field of an identity block as text: `length` bytes from `offset`.
std::string _info_text(const BirdBlock& block, size_t offset, size_t length) {
    return std::string(reinterpret_cast<const char*>(block.data) + offset, length);
}

}  // namespace

unsigned GetInt(const unsigned char* p) {
    return static_cast<unsigned>(p[0]) << 24 | static_cast<unsigned>(p[1]) << 16 |
           static_cast<unsigned>(p[2]) << 8 | static_cast<unsigned>(p[3]);
}

unsigned GetShort(const unsigned char* p) {
    return static_cast<unsigned>(p[0]) << 8 | static_cast<unsigned>(p[1]);
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* filePath) : path(filePath != nullptr ? filePath : "") {
    if (!Load()) {
        throw std::runtime_error("Failed to load bird data");
    }
}

void BirdFile::_reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialOffset = 0;
    descriptorOffset = 0;
    data.reset();
    size = 0;
}

bool BirdFile::Load() {
    _reset();
    const char* name = path.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name);

    if (!aFile_Exists(name)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", name);
        return false;
    }
    aFileRef file = aFile_Open(name, aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
        return false;
    }
    unsigned long fileSize = 0;
    aErr error = aFile_GetSize(file, &fileSize);
    if (error != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(error), name);
        aFile_Close(&file);
        return false;
    }
    if (fileSize > kMaxFileSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file too large: %s (%lu bytes)\n", name,
                 fileSize);
        aFile_Close(&file);
        return false;
    }

    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[fileSize + 1]);
    bool result = false;
    if (buffer == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(aErrMemory),
                 name);
    } else {
        size_t count = 0;
        error = aFile_Read(file, buffer.get(), fileSize, &count);
        if (error != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(error),
                     name);
        } else if (count != fileSize) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                     name, count, static_cast<size_t>(fileSize));
        } else {
            result = LoadData(buffer.get(), count);
        }
    }
    aFile_Close(&file);
    return result;
}

bool BirdFile::LoadData(const unsigned char* bytes, size_t length) {
    _reset();
    if (bytes == nullptr || length <= kHeaderLength) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file too short: %s (%zu bytes)\n",
                 path.c_str(), bytes == nullptr ? static_cast<size_t>(0) : length);
        return false;
    }
    if (length - kHeaderLength > kMaxFileSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file too large: %s (%zu bytes)\n",
                 path.c_str(), length);
        return false;
    }
    signature = GetInt(bytes);
    version = GetShort(bytes + 4);

    if (!DecompressData(bytes + kHeaderLength, length - kHeaderLength)) {
        return false;
    }
    if (!ScanBlocks(data.get(), size)) {
        // The blocks of a damaged or truncated file are never handed on: a
        // transfer would write a partial image into the module.
        blocks.clear();
        blockCount = 0;
        return false;
    }
    FindSerialNumberOffsets();
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    return true;
}

bool BirdFile::DecompressData(const unsigned char* compressed, unsigned long length) {
    // Blocks point into the buffer that is about to be replaced.
    blocks.clear();
    blockCount = 0;
    data.reset();
    size = 0;

    // Start at eight times the input and grow while zlib runs out of room:
    // firmware padded with erased flash compresses far better than 8:1.
    unsigned long capacity = length > kMaxDataSize / 8 ? kMaxDataSize : length * 8;
    if (capacity == 0) {
        capacity = 64;
    }
    int rc = Z_BUF_ERROR;
    std::unique_ptr<unsigned char[]> buffer;
    for (;;) {
        buffer.reset();
        buffer.reset(new (std::nothrow) unsigned char[capacity]);
        if (buffer == nullptr) {
            rc = Z_MEM_ERROR;
            break;
        }
        uLongf produced = capacity;
        rc = compressed != nullptr
                 ? uncompress(buffer.get(), &produced, compressed, static_cast<uLong>(length))
                 : Z_STREAM_ERROR;
        if (rc == Z_OK) {
            size = static_cast<uint32_t>(produced);
            break;
        }
        if (rc != Z_BUF_ERROR || capacity >= kMaxDataSize) {
            break;
        }
        capacity = capacity > kMaxDataSize / 2 ? kMaxDataSize : capacity * 2;
    }
    if (rc != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        size = 0;
        return false;
    }
    data = std::move(buffer);
    return true;
}

bool BirdFile::ScanBlocks(const unsigned char* blockData, unsigned dataSize) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (blockData == nullptr || dataSize < 4) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block data too short for a block count (%u bytes)\n",
                 blockData == nullptr ? 0u : dataSize);
        return false;
    }
    const unsigned reported = GetInt(blockData);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    bool ok = true;
    size_t position = 4;
    while (dataSize - position > 4) {
        const uint8_t type = blockData[position] & BIRD_FILE_TYPE_MASK;
        const uint8_t flags = (blockData[position] & BIRD_FILE_FLAG_MASK) >> 5;
        const uint32_t length = GetInt(blockData + position + 1);
        const size_t start = position + 5;
        const size_t room = dataSize - start;
        if (length > room) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Block %u (type %02X) runs past the end of the data (%u of %zu "
                     "bytes).\n",
                     blockCount, type, length, room);
            ok = false;
            break;
        }
        if (length < _min_length(type)) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Block %u (type %02X) is too short (%u bytes).\n",
                     blockCount, type, length);
            ok = false;
            break;
        }
        BirdBlock block;
        block.type = type;
        block.flags = flags;
        block.length = length;
        block.data = const_cast<unsigned char*>(blockData + start);
        if (type == BLOCK_LOADER || type == BLOCK_FIRMWARE) {
            block.address = GetInt(block.data);
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", type, flags,
                 static_cast<int>(length));
        if (type == BLOCK_INFO) {
            for (int field = 0; field < 4; ++field) {
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data) + 16 * field);
            }
        }
        blocks.push_back(block);
        ++blockCount;
        position = start + length;
    }

    if (dataSize - position >= 4) {
        checksum = GetInt(blockData + position);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        position += 4;
    } else {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block data ends without a file checksum (%zu bytes remaining)\n",
                 dataSize - position);
        ok = false;
        position = dataSize;
    }
    if (position < dataSize) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(dataSize - position));
        ok = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(reported));
        ok = false;
    }
    return ok;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks) {
        if (block.type == type) {
            found.push_back(block);
        }
    }
    return found;
}

const BirdBlock* BirdFile::_first_block(BLOCK_TYPE type) const {
    for (const BirdBlock& block : blocks) {
        if (block.type == type) {
            return block.length >= _min_length(type) ? &block : nullptr;
        }
    }
    return nullptr;
}

bool BirdFile::FindSerialNumberOffsets() {
    const BirdBlock* block = _first_block(BLOCK_SERIAL_OFFSETS);
    if (block == nullptr) {
        return false;
    }
    serialOffset = GetInt(block->data);
    descriptorOffset = GetInt(block->data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialOffset), static_cast<int>(descriptorOffset));
    return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned serialNumber) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", serialNumber);

    bool serialWritten = false;
    bool descriptorWritten = false;
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        if (serialOffset != 0 && _in_payload(block, serialOffset, 4)) {
            unsigned char* field = block.data + (serialOffset - block.address) + kAddressLength;
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     _get_le32(field), serialNumber);
            _put_le32(field, serialNumber);
            serialWritten = true;
        }
        if (descriptorOffset != 0 && _in_payload(block, descriptorOffset, 16)) {
            unsigned char* field = block.data + (descriptorOffset - block.address) + kAddressLength;
            for (int k = 0; k < 8; ++k) {
                field[2 * k] = static_cast<unsigned char>(text[k]);
            }
            descriptorWritten = true;
        }
    }

    if (serialOffset == 0 && descriptorOffset == 0) {
        return false;
    }
    // Firmware without the module's serial number must never be installed.
    if (serialOffset != 0 && !serialWritten) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: serial number address %08X lies in no firmware block\n",
                 serialOffset);
        return false;
    }
    if (descriptorOffset != 0 && !descriptorWritten) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: serial number string address %08X lies in no firmware block\n",
                 descriptorOffset);
        return false;
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key) {
    if (key == nullptr) {
        return false;
    }
    unsigned char keyBytes[16];
    for (int word = 0; word < 4; ++word) {
        for (int i = 0; i < 4; ++i) {
            keyBytes[4 * word + i] = static_cast<unsigned char>(key[word] >> (24 - 8 * i));
        }
    }
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        unsigned char previous = 0;
        unsigned index = 0;
        for (uint32_t i = kAddressLength; i < block.length; ++i) {
            const unsigned char plain = block.data[i] ^ keyBytes[index] ^ previous;
            block.data[i] = plain;
            previous = plain;
            index = (index + 1) % 16;
        }
    }
    return true;
}

bool BirdFile::ValidateModel(const char* model) const {
    const BirdBlock* info = _first_block(BLOCK_INFO);
    if (info == nullptr) {
        return false;
    }
    std::string stored = _info_text(*info, 48, 16);
    const size_t end = stored.find_last_not_of(' ');
    stored.erase(end == std::string::npos ? 0 : end + 1);
    const std::string wanted = model != nullptr ? model : "";
    if (wanted.size() > stored.size() || stored.compare(0, wanted.size(), wanted) != 0) {
        return false;
    }
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", stored.c_str(),
             wanted.c_str());
    return true;
}

unsigned BirdFile::GetSerialNumber() const {
    const BirdBlock* info = _first_block(BLOCK_INFO);
    if (info == nullptr) {
        return 0;
    }
    const std::string text = _info_text(*info, 32, 8);
    return static_cast<unsigned>(strtoul(text.c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(unsigned serialNumber) const {
    return GetSerialNumber() == serialNumber;
}

unsigned BirdFile::GetBuild() const {
    const BirdBlock* info = _first_block(BLOCK_INFO);
    if (info == nullptr) {
        return 0;
    }
    const std::string text = _info_text(*info, 0, 15);
    return static_cast<unsigned>(strtoul(text.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    const BirdBlock* info = _first_block(BLOCK_INFO);
    if (info == nullptr) {
        return std::string();
    }
    std::string text = _info_text(*info, 16, 15);
    const size_t end = text.find_first_of(std::string(" \0", 2));
    if (end != std::string::npos) {
        text.erase(end);
    }
    return text;
}

bool BirdFile::VerifyFile(const char* filePath) {
    aFileRef file = aFile_Open(filePath, aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath != nullptr ? filePath : "");
        return false;
    }
    unsigned char header[kHeaderLength] = {0};
    size_t count = 0;
    aFile_Read(file, header, sizeof(header), &count);
    aFile_Close(&file);
    return count == kHeaderLength && memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 &&
           header[4] != 0 && header[5] != 0;
}
