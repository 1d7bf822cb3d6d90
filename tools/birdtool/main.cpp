// birdtool: makes, shows and checks BIRD firmware files.
//
//   birdtool create -o FILE [blocks and options...]
//   birdtool info [-v] [--key W0,W1,W2,W3] FILE
//   birdtool verify [-v] FILE
//   birdtool extract [-v] [--key W0,W1,W2,W3] [--serial HEX] --block N -o OUT FILE
//
// See README.md beside this file.
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "BirdWriter.h"
#include "app/Log.h"
#include "app/store/BirdFile.h"
#include "common/aVersion.h"

using namespace birdtool;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  birdtool create -o FILE [blocks, in file order] [options]\n"
    "  birdtool info [-v] [--key W0,W1,W2,W3] FILE\n"
    "  birdtool verify [-v] FILE\n"
    "  birdtool extract [-v] [--key W0,W1,W2,W3] [--serial HEX] --block N -o OUT FILE\n"
    "\n"
    "blocks (each option adds one block; numbers are decimal or 0x hexadecimal):\n"
    "  --loader   addr=A[,flags=F],PAYLOAD       boot loader image (type 0)\n"
    "  --firmware addr=A[,flags=F],PAYLOAD       firmware image (type 1)\n"
    "  --serial-offsets serial=A[,usb=B]         serial number addresses (type 2)\n"
    "  --info build=N,version=V,serial=S,model=M identity, four 16-character fields (type 4)\n"
    "  --start-address A                         recovery loader start (type 5)\n"
    "  --raw-block type=T[,flags=F][,length=L][,PAYLOAD]  any block, data as given\n"
    "  PAYLOAD is file=PATH, hex=BYTES, or size=N[K|M][,fill=pattern|zero|erased|random|0xNN]"
    "[,seed=S]\n"
    "\n"
    "options:\n"
    "  --image-header version=X.Y.Z,build=N  \"FWID\" header at 0x100 in the first firmware\n"
    "                                        payload\n"
    "  --encipher-key W0,W1,W2,W3            encipher every firmware payload (recovery files)\n"
    "  --checksum V                          file checksum (default: CRC-32 of the block data)\n"
    "  --level N                             zlib level 0 to 9 (default 9)\n"
    "\n"
    "damage, for tests:\n"
    "  --block-count N      write N as the block count\n"
    "  --no-checksum        leave the checksum out\n"
    "  --trailing N         N extra bytes after the checksum\n"
    "  --cut-data N         keep only the first N bytes of the block data\n"
    "  --signature TEXT     four header characters instead of \"bird\"\n"
    "  --format-version V   16-bit format version instead of 0x0101\n"
    "  --truncate N         cut the finished file to N bytes (-N: drop the last N)\n"
    "  --flip OFFSET        invert the byte at OFFSET of the finished file (-1 is the last\n"
    "                       byte; repeatable)\n";

[[noreturn]] void _usage_error(const std::string& text) {
    fprintf(stderr, "birdtool: %s\n(birdtool --help shows the usage)\n", text.c_str());
    exit(kExitUsage);
}

bool _parse_u64(const std::string& text, unsigned long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    value = strtoull(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == '\0';
}

uint32_t _number(const std::string& text, const char* what,
                 unsigned long long max = 0xFFFFFFFFull) {
    unsigned long long value = 0;
    if (!_parse_u64(text, value) || value > max) {
        _usage_error(std::string("bad ") + what + " \"" + text + "\"");
    }
    return static_cast<uint32_t>(value);
}

// A byte offset or count; a negative one counts from the end of the file.
long long _offset(const std::string& text, const char* what) {
    const bool fromEnd = !text.empty() && text[0] == '-';
    const long long value = _number(fromEnd ? text.substr(1) : text, what);
    return fromEnd ? -value : value;
}

// A size with an optional K or M suffix.
size_t _size(std::string text) {
    unsigned long long scale = 1;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) {
        scale = 1024;
        text.pop_back();
    } else if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) {
        scale = 1024 * 1024;
        text.pop_back();
    }
    unsigned long long value = 0;
    if (!_parse_u64(text, value) || value > (1ull << 30) / scale) {
        _usage_error("bad size \"" + text + "\" (at most 1 GiB)");
    }
    return static_cast<size_t>(value * scale);
}

// "key=value,key=value" into pairs, keys checked against `allowed`.
std::vector<std::pair<std::string, std::string>> _pairs(const std::string& spec, const char* option,
                                                        std::vector<std::string> allowed) {
    std::vector<std::pair<std::string, std::string>> result;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t comma = spec.find(',', start);
        if (comma == std::string::npos) {
            comma = spec.size();
        }
        const std::string item = spec.substr(start, comma - start);
        const size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0) {
            _usage_error(std::string(option) + ": expected key=value, got \"" + item + "\"");
        }
        const std::string key = item.substr(0, equals);
        bool known = false;
        for (const std::string& name : allowed) {
            known = known || name == key;
        }
        if (!known) {
            _usage_error(std::string(option) + ": unknown key \"" + key + "\"");
        }
        for (const auto& pair : result) {
            if (pair.first == key) {
                _usage_error(std::string(option) + ": \"" + key + "\" given twice");
            }
        }
        result.emplace_back(key, item.substr(equals + 1));
        start = comma + 1;
    }
    return result;
}

const std::string* _find(const std::vector<std::pair<std::string, std::string>>& pairs,
                         const char* key) {
    for (const auto& pair : pairs) {
        if (pair.first == key) {
            return &pair.second;
        }
    }
    return nullptr;
}

bool _read_file(const std::string& path, Bytes& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

Bytes _hex_bytes(const std::string& text, const char* option) {
    Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != ':' && c != '.') {
            _usage_error(std::string(option) + ": bad hex text \"" + text + "\"");
        }
    }
    if (digits.size() % 2 != 0) {
        _usage_error(std::string(option) + ": odd number of hex digits");
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

// The payload of a block option: file=, hex= or size= with fill= and seed=.
Bytes _payload(const std::vector<std::pair<std::string, std::string>>& pairs, const char* option,
               bool required) {
    const std::string* file = _find(pairs, "file");
    const std::string* hex = _find(pairs, "hex");
    const std::string* size = _find(pairs, "size");
    const int sources = (file != nullptr) + (hex != nullptr) + (size != nullptr);
    if (sources > 1 || (required && sources == 0)) {
        _usage_error(std::string(option) + ": give exactly one of file=, hex= and size=");
    }
    if ((_find(pairs, "fill") != nullptr || _find(pairs, "seed") != nullptr) && size == nullptr) {
        _usage_error(std::string(option) + ": fill= and seed= go with size=");
    }
    Bytes bytes;
    if (file != nullptr) {
        if (!_read_file(*file, bytes)) {
            fprintf(stderr, "birdtool: cannot read %s: %s\n", file->c_str(), strerror(errno));
            exit(kExitFailed);
        }
    } else if (hex != nullptr) {
        bytes = _hex_bytes(*hex, option);
    } else if (size != nullptr) {
        Fill fill = Fill::kPattern;
        uint8_t byte = 0;
        if (const std::string* name = _find(pairs, "fill")) {
            if (*name == "pattern") {
                fill = Fill::kPattern;
            } else if (*name == "zero") {
                fill = Fill::kZero;
            } else if (*name == "erased") {
                fill = Fill::kErased;
            } else if (*name == "random") {
                fill = Fill::kRandom;
            } else {
                fill = Fill::kByte;
                byte = static_cast<uint8_t>(_number(*name, "fill byte", 0xFF));
            }
        }
        const std::string* seed = _find(pairs, "seed");
        bytes = MakePayload(_size(*size), fill, byte, seed != nullptr ? _number(*seed, "seed") : 0);
    }
    return bytes;
}

uint8_t _flags(const std::vector<std::pair<std::string, std::string>>& pairs) {
    const std::string* flags = _find(pairs, "flags");
    return flags != nullptr ? static_cast<uint8_t>(_number(*flags, "flags (0 to 7)", 7)) : 0;
}

void _key_words(const std::string& text, uint32_t key[4], const char* option) {
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = text.find(',', start);
        if ((i < 3) != (comma != std::string::npos)) {
            _usage_error(std::string(option) + " takes four words W0,W1,W2,W3");
        }
        const std::string word = text.substr(start, i < 3 ? comma - start : std::string::npos);
        // Key words are hexadecimal, with or without 0x.
        const std::string digits =
            word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? word
                                                                                    : "0x" + word;
        key[i] = _number(digits, "key word");
        start = comma + 1;
    }
}

bool _packed_version(const std::string& text, uint32_t& packed) {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    char extra = 0;
    if (sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &extra) != 3 || major > 255 ||
        minor > 255 || patch > 0xFFFFFF) {
        return false;
    }
    packed = aVersion_Pack(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), patch);
    return true;
}

bool _write_file(const std::string& path, const Bytes& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return fclose(out) == 0 && ok;
}

// Takes the value of option `arg` (either "--opt=value" or the next argument).
std::string _value(int argc, char** argv, int& i) {
    const char* arg = argv[i];
    const char* equals = strchr(arg, '=');
    if (arg[0] == '-' && arg[1] == '-' && equals != nullptr) {
        return equals + 1;
    }
    if (i + 1 >= argc) {
        _usage_error(std::string(arg) + " needs a value");
    }
    return argv[++i];
}

bool _is(const char* arg, const char* option) {
    const size_t length = strlen(option);
    return strncmp(arg, option, length) == 0 && (arg[length] == '\0' || arg[length] == '=');
}

int _create(int argc, char** argv) {
    std::string output;
    std::vector<Block> blocks;
    Layout layout;
    bool encipher = false;
    uint32_t key[4] = {0, 0, 0, 0};
    bool imageHeader = false;
    uint32_t imageVersion = 0;
    uint32_t imageBuild = 0;
    bool truncate = false;
    long long truncateAt = 0;
    std::vector<long long> flips;
    std::string reason;

    for (int i = 2; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-o") == 0 || _is(arg, "--output")) {
            output = _value(argc, argv, i);
        } else if (_is(arg, "--loader") || _is(arg, "--firmware")) {
            const bool loader = _is(arg, "--loader");
            const char* option = loader ? "--loader" : "--firmware";
            const auto pairs = _pairs(_value(argc, argv, i), option,
                                      {"addr", "flags", "file", "hex", "size", "fill", "seed"});
            const std::string* addr = _find(pairs, "addr");
            if (addr == nullptr) {
                _usage_error(std::string(option) + " needs addr=");
            }
            blocks.push_back(MakeAddressed(loader ? kLoader : kFirmware, _flags(pairs),
                                           _number(*addr, "address"),
                                           _payload(pairs, option, true)));
        } else if (_is(arg, "--serial-offsets")) {
            const auto pairs = _pairs(_value(argc, argv, i), "--serial-offsets", {"serial", "usb"});
            const std::string* serial = _find(pairs, "serial");
            const std::string* usb = _find(pairs, "usb");
            blocks.push_back(MakeSerialOffsets(serial != nullptr ? _number(*serial, "address") : 0,
                                               usb != nullptr ? _number(*usb, "address") : 0));
        } else if (_is(arg, "--info")) {
            const auto pairs =
                _pairs(_value(argc, argv, i), "--info", {"build", "version", "serial", "model"});
            Identity identity;
            const std::string* field = nullptr;
            identity.build = (field = _find(pairs, "build")) != nullptr ? *field : "";
            identity.version = (field = _find(pairs, "version")) != nullptr ? *field : "";
            identity.serial = (field = _find(pairs, "serial")) != nullptr ? *field : "";
            identity.model = (field = _find(pairs, "model")) != nullptr ? *field : "";
            Block block;
            if (!MakeInfo(identity, block, reason)) {
                _usage_error("--info: " + reason);
            }
            blocks.push_back(block);
        } else if (_is(arg, "--start-address")) {
            blocks.push_back(MakeStartAddress(_number(_value(argc, argv, i), "address")));
        } else if (_is(arg, "--raw-block")) {
            const auto pairs =
                _pairs(_value(argc, argv, i), "--raw-block",
                       {"type", "flags", "length", "file", "hex", "size", "fill", "seed"});
            const std::string* type = _find(pairs, "type");
            if (type == nullptr) {
                _usage_error("--raw-block needs type=");
            }
            Block block;
            block.type = static_cast<uint8_t>(_number(*type, "block type (0 to 31)", 31));
            block.flags = _flags(pairs);
            block.data = _payload(pairs, "--raw-block", false);
            if (const std::string* length = _find(pairs, "length")) {
                block.lengthOverride = true;
                block.length = _number(*length, "length");
            }
            blocks.push_back(block);
        } else if (_is(arg, "--image-header")) {
            const auto pairs =
                _pairs(_value(argc, argv, i), "--image-header", {"version", "build"});
            const std::string* version = _find(pairs, "version");
            const std::string* build = _find(pairs, "build");
            if (version == nullptr || build == nullptr ||
                !_packed_version(*version, imageVersion)) {
                _usage_error("--image-header needs version=X.Y.Z,build=N");
            }
            imageBuild = _number(*build, "build");
            imageHeader = true;
        } else if (_is(arg, "--encipher-key")) {
            _key_words(_value(argc, argv, i), key, "--encipher-key");
            encipher = true;
        } else if (_is(arg, "--checksum")) {
            layout.checksumOverride = true;
            layout.checksum = _number(_value(argc, argv, i), "checksum");
        } else if (_is(arg, "--level")) {
            layout.level = static_cast<int>(_number(_value(argc, argv, i), "level (0 to 9)", 9));
        } else if (_is(arg, "--block-count")) {
            layout.countOverride = true;
            layout.count = _number(_value(argc, argv, i), "block count");
        } else if (strcmp(arg, "--no-checksum") == 0) {
            layout.omitChecksum = true;
        } else if (_is(arg, "--trailing")) {
            layout.trailing = _number(_value(argc, argv, i), "byte count", 1u << 20);
        } else if (_is(arg, "--cut-data")) {
            layout.cutData = true;
            layout.cutAt = _number(_value(argc, argv, i), "byte count");
        } else if (_is(arg, "--signature")) {
            const std::string text = _value(argc, argv, i);
            if (text.size() != 4) {
                _usage_error("--signature takes four characters");
            }
            memcpy(layout.signature, text.data(), 4);
        } else if (_is(arg, "--format-version")) {
            layout.formatVersion =
                static_cast<uint16_t>(_number(_value(argc, argv, i), "format version", 0xFFFF));
        } else if (_is(arg, "--truncate")) {
            truncate = true;
            truncateAt = _offset(_value(argc, argv, i), "byte count");
        } else if (_is(arg, "--flip")) {
            flips.push_back(_offset(_value(argc, argv, i), "offset"));
        } else {
            _usage_error(std::string("create: unknown argument ") + arg);
        }
    }
    if (output.empty()) {
        _usage_error("create needs -o FILE");
    }

    if (imageHeader) {
        Block* first = nullptr;
        for (Block& block : blocks) {
            if (block.type == kFirmware && first == nullptr) {
                first = &block;
            }
        }
        if (first == nullptr) {
            _usage_error("--image-header needs a --firmware block");
        }
        if (!WriteImageHeader(*first, imageVersion, imageBuild, reason)) {
            _usage_error("--image-header: " + reason);
        }
    }
    if (encipher) {
        for (Block& block : blocks) {
            if (block.type == kFirmware) {
                Encipher(block, key);
            }
        }
    }

    Bytes file;
    if (!FileBytes(blocks, layout, file, reason)) {
        fprintf(stderr, "birdtool: %s\n", reason.c_str());
        return kExitFailed;
    }
    if (truncate) {
        const long long size = static_cast<long long>(file.size());
        const long long keep = truncateAt < 0 ? size + truncateAt : truncateAt;
        if (keep < 0) {
            _usage_error("--truncate cuts more than the whole file (" + std::to_string(size) +
                         " bytes)");
        }
        if (keep < size) {
            file.resize(static_cast<size_t>(keep));
        }
    }
    for (long long offset : flips) {
        const long long size = static_cast<long long>(file.size());
        const long long at = offset < 0 ? size + offset : offset;
        if (at < 0 || at >= size) {
            _usage_error("--flip offset " + std::to_string(offset) + " lies outside the file (" +
                         std::to_string(size) + " bytes)");
        }
        file[static_cast<size_t>(at)] ^= 0xFF;
    }
    if (!_write_file(output, file)) {
        fprintf(stderr, "birdtool: cannot write %s: %s\n", output.c_str(), strerror(errno));
        return kExitFailed;
    }
    return kExitOk;
}

// Diagnostics of the loader: on standard error with -v, else kept so that
// the last line can explain a failure.
class LoaderLog {
  public:
    explicit LoaderLog(bool verbose) : verbose_(verbose) {
        Log::ActivatePackage(DEBUG_BirdFile);
        if (verbose_) {
            Log::SetOutput(stderr);
        } else {
            stream_ = open_memstream(&text_, &length_);
            Log::SetOutput(stream_);
        }
    }
    ~LoaderLog() {
        Log::SetOutput(nullptr);
        if (stream_ != nullptr) {
            fclose(stream_);
        }
        free(text_);
    }
    // The diagnostic lines that tell why loading failed.
    std::vector<std::string> Reasons() {
        std::vector<std::string> reasons;
        if (stream_ == nullptr) {
            return reasons;  // already on standard error
        }
        fflush(stream_);
        const std::string text(text_ != nullptr ? text_ : "", length_);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string line = text.substr(start, end - start);
            for (const char* prefix : {"BIRDFILE: Error", "BIRDFILE: Block", "BIRDFILE: BIRD"}) {
                if (line.compare(0, strlen(prefix), prefix) == 0) {
                    reasons.push_back(line);
                    break;
                }
            }
            start = end + 1;
        }
        return reasons;
    }

  private:
    bool verbose_;
    FILE* stream_ = nullptr;
    char* text_ = nullptr;
    size_t length_ = 0;
};

struct ReadOptions {
    bool verbose = false;
    bool decipher = false;
    uint32_t key[4] = {0, 0, 0, 0};
    bool serial = false;
    uint32_t serialNumber = 0;
    bool hasBlock = false;
    uint32_t block = 0;
    std::string output;
    std::string path;
};

ReadOptions _read_options(int argc, char** argv, bool extract) {
    ReadOptions options;
    const char* command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const char* arg = argv[i];
        const bool keyed = strcmp(command, "verify") != 0;
        if (strcmp(arg, "-v") == 0 || strcmp(arg, "--verbose") == 0) {
            options.verbose = true;
        } else if (keyed && _is(arg, "--key")) {
            _key_words(_value(argc, argv, i), options.key, "--key");
            options.decipher = true;
        } else if (extract && _is(arg, "--serial")) {
            std::string text = _value(argc, argv, i);
            options.serialNumber = _number("0x" + text, "serial number");
            options.serial = true;
        } else if (extract && _is(arg, "--block")) {
            options.block = _number(_value(argc, argv, i), "block index");
            options.hasBlock = true;
        } else if (extract && (strcmp(arg, "-o") == 0 || _is(arg, "--output"))) {
            options.output = _value(argc, argv, i);
        } else if (arg[0] == '-' && arg[1] != '\0') {
            _usage_error(std::string(command) + ": unknown argument " + arg);
        } else if (options.path.empty()) {
            options.path = arg;
        } else {
            _usage_error(std::string(command) + " takes one file");
        }
    }
    if (options.path.empty()) {
        _usage_error(std::string(command) + " needs a file");
    }
    if (extract && (!options.hasBlock || options.output.empty())) {
        _usage_error("extract needs --block N and -o OUT");
    }
    return options;
}

const char* _type_name(uint8_t type) {
    switch (type) {
        case BirdFile::BLOCK_LOADER:
            return "loader";
        case BirdFile::BLOCK_FIRMWARE:
            return "firmware";
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            return "serial-offsets";
        case BirdFile::BLOCK_INFO:
            return "info";
        case BirdFile::BLOCK_START_ADDRESS:
            return "start-address";
        default:
            return nullptr;
    }
}

uint32_t _crc(const unsigned char* bytes, uint32_t length) {
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes, length));
}

std::string _field(const BirdBlock& block, size_t offset) {
    std::string text(reinterpret_cast<const char*>(block.data) + offset, 16);
    const size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

void _report(const std::string& path, const std::vector<std::string>& reasons,
             const char* otherwise) {
    if (reasons.empty()) {
        fprintf(stderr, "birdtool: %s: %s\n", path.c_str(), otherwise);
    }
    for (const std::string& reason : reasons) {
        fprintf(stderr, "birdtool: %s: %s\n", path.c_str(), reason.c_str());
    }
}

bool _load(const ReadOptions& options, BirdFile& file, LoaderLog& log) {
    file.path = options.path;
    if (!file.Load()) {
        _report(options.path, log.Reasons(), "cannot be loaded");
        return false;
    }
    if (options.decipher) {
        file.DecodeFirmwareBlocks(options.key);
    }
    return true;
}

int _info(int argc, char** argv) {
    const ReadOptions options = _read_options(argc, argv, false);
    LoaderLog log(options.verbose);
    BirdFile file;
    if (!_load(options, file, log)) {
        return kExitFailed;
    }
    printf("file: %s\n", file.path.c_str());
    char signature[5];
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(file.signature >> (24 - 8 * i));
        signature[i] = isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    signature[4] = '\0';
    printf("signature: %s\n", signature);
    printf("format: 0x%04X\n", file.version);
    printf("blocks: %u\n", file.blockCount);
    printf("checksum: 0x%08X\n", file.checksum);
    for (size_t i = 0; i < file.blocks.size(); ++i) {
        const BirdBlock& block = file.blocks[i];
        const char* name = _type_name(block.type);
        if (name != nullptr) {
            printf("block %zu: %s", i, name);
        } else {
            printf("block %zu: type-%u", i, block.type);
        }
        printf(" flags=%u length=%u", block.flags, block.length);
        switch (block.type) {
            case BirdFile::BLOCK_LOADER:
            case BirdFile::BLOCK_FIRMWARE:
                printf(" address=0x%08X payload=%u crc=0x%08X", block.address, block.length - 4,
                       _crc(block.data + 4, block.length - 4));
                break;
            case BirdFile::BLOCK_SERIAL_OFFSETS:
                printf(" serial=0x%08X usb=0x%08X", GetInt(block.data), GetInt(block.data + 4));
                break;
            case BirdFile::BLOCK_INFO:
                break;
            case BirdFile::BLOCK_START_ADDRESS:
                printf(" start=0x%08X", GetInt(block.data));
                break;
            default:
                printf(" crc=0x%08X", _crc(block.data, block.length));
                break;
        }
        printf("\n");
    }
    const std::vector<BirdBlock> infos = file.FindBlocks(BirdFile::BLOCK_INFO);
    if (!infos.empty()) {
        printf("build: %u\n", file.GetBuild());
        printf("version: %s\n", file.GetVersion().c_str());
        printf("serial: %08X\n", file.GetSerialNumber());
        printf("model: %s\n", _field(infos.front(), 48).c_str());
    } else {
        printf("identity: none\n");
    }
    if (file.hasSerialOffsets) {
        printf("serial-offsets: serial=0x%08X usb=0x%08X\n", file.serialOffset,
               file.descriptorOffset);
    } else {
        printf("serial-offsets: none\n");
    }
    const std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    if (!firmware.empty() &&
        firmware.front().length >= 4 + kImageHeaderOffset + kImageHeaderLength &&
        memcmp(firmware.front().data + 4 + kImageHeaderOffset, kImageMagic, 4) == 0) {
        const unsigned char* header = firmware.front().data + 4 + kImageHeaderOffset;
        const uint32_t packed = GetInt(header + 4);
        char version[32];
        aVersion_ParseString(packed, version, sizeof(version));
        printf("image-header: version=%s build=%u packed=0x%08X\n", version, GetInt(header + 8),
               packed);
    }
    return kExitOk;
}

int _verify(int argc, char** argv) {
    const ReadOptions options = _read_options(argc, argv, false);
    LoaderLog log(options.verbose);
    if (!BirdFile::VerifyFile(options.path.c_str())) {
        _report(options.path, log.Reasons(), "not a BIRD file header");
        return kExitFailed;
    }
    BirdFile file;
    if (!_load(options, file, log)) {
        return kExitFailed;
    }
    printf("%s: ok, %u blocks\n", options.path.c_str(), file.blockCount);
    return kExitOk;
}

int _extract(int argc, char** argv) {
    const ReadOptions options = _read_options(argc, argv, true);
    LoaderLog log(options.verbose);
    BirdFile file;
    if (!_load(options, file, log)) {
        return kExitFailed;
    }
    if (options.serial && !file.ReplaceSerialNumber(options.serialNumber)) {
        fprintf(stderr, "birdtool: %s: the serial number cannot be written into this file\n",
                options.path.c_str());
        return kExitFailed;
    }
    if (options.block >= file.blocks.size()) {
        fprintf(stderr, "birdtool: %s has %zu blocks\n", options.path.c_str(), file.blocks.size());
        return kExitFailed;
    }
    const BirdBlock& block = file.blocks[options.block];
    const bool addressed =
        block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
    const unsigned char* begin = block.data + (addressed ? 4 : 0);
    const Bytes bytes(begin, static_cast<const unsigned char*>(block.data) + block.length);
    if (!_write_file(options.output, bytes)) {
        fprintf(stderr, "birdtool: cannot write %s: %s\n", options.output.c_str(), strerror(errno));
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char* command = argv[1];
    if (strcmp(command, "-h") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "help") == 0) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (strcmp(command, "create") == 0) {
        return _create(argc, argv);
    }
    if (strcmp(command, "info") == 0) {
        return _info(argc, argv);
    }
    if (strcmp(command, "verify") == 0) {
        return _verify(argc, argv);
    }
    if (strcmp(command, "extract") == 0) {
        return _extract(argc, argv);
    }
    _usage_error(std::string("unknown command ") + command);
}
