// Writes a BIRD file for the test rigs:
//   update-server-test-bird OUT BUILD VERSION SERIAL MODEL [PAYLOAD_BYTES]
// SERIAL may be "-" for a file that fits every module of its model.
#include <cstdio>
#include <string>

#include "update-server/testing/bird_fixture.h"

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s OUT BUILD VERSION SERIAL MODEL [PAYLOAD_BYTES]\n", argv[0]);
        return 2;
    }
    const std::string serial = std::string(argv[4]) == "-" ? "" : argv[4];
    const size_t payload = argc == 7 ? std::stoul(argv[6]) : 1000;
    const std::vector<uint8_t> file =
        update_server::testing::UpdateFile(argv[2], argv[3], serial, argv[5], payload);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
