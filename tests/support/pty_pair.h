// A pseudo-terminal pair standing in for a serial port: the code under test
// opens the slave by its path, the test talks through the master.
#ifndef TESTS_SUPPORT_PTY_PAIR_H
#define TESTS_SUPPORT_PTY_PAIR_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qxtest {

class PtyPair {
  public:
    // Opens the pair; check ok(). The slave keeps the system's default
    // (cooked) settings, and the pair keeps a slave descriptor of its own
    // open, so the terminal's settings can be read back at any time.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    // Writes all bytes to the master; false on failure.
    bool Send(const std::vector<uint8_t>& bytes);

    // Reads from the master until count bytes have come or patience has
    // passed; returns what came.
    std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds patience);

    // Reads from the master whatever arrives until nothing has come for
    // quiet; returns it.
    std::vector<uint8_t> Drain(std::chrono::milliseconds quiet);

    // Closes the master: the slave side sees a hang-up.
    void CloseMaster();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace qxtest

#endif
