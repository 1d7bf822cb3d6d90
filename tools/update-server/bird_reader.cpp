#include "update-server/bird_reader.h"

#include <zlib.h>

#include <cstring>

namespace update_server {
namespace {

constexpr size_t kHeaderSize = 6;
constexpr uint8_t kTypeMask = 0x1F;
constexpr uint8_t kTypeInfo = 4;
constexpr size_t kInfoSize = 64;
constexpr size_t kFieldSize = 16;

uint32_t GetU32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Inflates one complete zlib stream that must end exactly at the end of the
// input.
bool Inflate(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& error) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        error = "zlib cannot be initialised";
        return false;
    }
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    out.resize(size * 4 + 64);
    size_t produced = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (produced == out.size()) {
            if (out.size() >= kBirdMaxBlockData) {
                inflateEnd(&zs);
                error = "block data is too large";
                return false;
            }
            out.resize(std::min(out.size() * 2, kBirdMaxBlockData));
        }
        zs.next_out = out.data() + produced;
        zs.avail_out = static_cast<uInt>(out.size() - produced);
        rc = inflate(&zs, Z_NO_FLUSH);
        produced = out.size() - zs.avail_out;
        if (rc == Z_BUF_ERROR && zs.avail_out != 0) {
            break;  // input ended before the stream did
        }
        if (rc == Z_BUF_ERROR) {
            rc = Z_OK;  // only out of room: grow and go on
        }
    }
    const size_t unused = zs.avail_in;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        error = rc == Z_BUF_ERROR
                    ? "zlib stream is cut short"
                    : std::string("zlib stream is damaged (") + std::to_string(rc) + ")";
        return false;
    }
    if (unused != 0) {
        error = std::to_string(unused) + " bytes follow the zlib stream";
        return false;
    }
    out.resize(produced);
    return true;
}

std::string Field(const uint8_t* info, size_t index) {
    return std::string(reinterpret_cast<const char*>(info) + index * kFieldSize, kFieldSize);
}

bool ParseIdentity(const uint8_t* info, BirdIdentity& identity, std::string& error) {
    for (size_t i = 0; i < kInfoSize; ++i) {
        if (info[i] < 0x20 || info[i] > 0x7E) {
            error = "identity block holds a character that is not printable ASCII";
            return false;
        }
    }
    // Build: decimal digits, then spaces only.
    const std::string build = Field(info, 0);
    size_t digits = build.find_first_not_of("0123456789");
    if (digits == std::string::npos) {
        digits = build.size();
    }
    if (digits == 0 || build.find_first_not_of(' ', digits) != std::string::npos) {
        error = "identity block has no decimal build number";
        return false;
    }
    const unsigned long long number = std::stoull(build.substr(0, digits));
    if (number == 0 || number > 0xFFFFFFFFull) {
        error = "identity block has build number " + build.substr(0, digits) +
                ", which is not 1 to 4294967295";
        return false;
    }
    identity.build = static_cast<unsigned>(number);

    const std::string version = Field(info, 1);
    identity.version = version.substr(0, version.find(' '));
    if (identity.version.empty()) {
        error = "identity block has no version";
        return false;
    }

    // Serial: eight hexadecimal digits, or nothing at all (any module).
    const std::string serial = Field(info, 2);
    const std::string serialDigits = serial.substr(0, 8);
    if (serial.find_first_not_of(' ') == std::string::npos) {
        identity.serial = 0;
    } else if (serialDigits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        identity.serial = static_cast<unsigned>(std::stoul(serialDigits, nullptr, 16));
    } else {
        error = "identity block has a serial number that is not eight hexadecimal digits";
        return false;
    }

    std::string model = Field(info, 3);
    model.erase(model.find_last_not_of(' ') + 1);
    if (model.empty()) {
        error = "identity block has no model name";
        return false;
    }
    identity.model = model;
    return true;
}

}  // namespace

bool ReadBirdIdentity(const std::vector<uint8_t>& file, BirdIdentity& identity,
                      std::string& error) {
    if (file.size() <= kHeaderSize) {
        error = "file is too short";
        return false;
    }
    if (std::memcmp(file.data(), "bird", 4) != 0) {
        error = "file does not start with the BIRD signature";
        return false;
    }
    if (file[4] == 0 || file[5] == 0) {
        error = "file has an invalid format version";
        return false;
    }
    std::vector<uint8_t> data;
    if (!Inflate(file.data() + kHeaderSize, file.size() - kHeaderSize, data, error)) {
        return false;
    }
    if (data.size() < 8) {
        error = "block data is too short for a block count and a checksum";
        return false;
    }
    const uint32_t count = GetU32(data.data());
    // Blocks fill everything between the count and the 4-byte checksum.
    const size_t end = data.size() - 4;
    size_t pos = 4;
    uint32_t seen = 0;
    const uint8_t* info = nullptr;
    while (pos < end) {
        if (end - pos < 5) {
            error = "block " + std::to_string(seen + 1) + " has an incomplete header";
            return false;
        }
        const uint8_t type = data[pos] & kTypeMask;
        const uint32_t length = GetU32(&data[pos + 1]);
        pos += 5;
        if (length > end - pos) {
            error = "block " + std::to_string(seen + 1) + " is longer than the data that remains";
            return false;
        }
        if (type == kTypeInfo && info == nullptr) {
            if (length != kInfoSize) {
                error = "identity block is " + std::to_string(length) + " bytes, not 64";
                return false;
            }
            info = &data[pos];
        }
        pos += length;
        ++seen;
    }
    if (seen != count) {
        error =
            "file announces " + std::to_string(count) + " blocks but holds " + std::to_string(seen);
        return false;
    }
    if (info == nullptr) {
        error = "file has no identity block";
        return false;
    }
    BirdIdentity parsed;
    if (!ParseIdentity(info, parsed, error)) {
        return false;
    }
    identity = parsed;
    return true;
}

}  // namespace update_server
