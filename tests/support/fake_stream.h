// A scripted stream for link tests: the test decides what each get hands out
// and sees every write, with the number of bytes handed out at that moment.
#ifndef TESTS_SUPPORT_FAKE_STREAM_H
#define TESTS_SUPPORT_FAKE_STREAM_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/aStream.h"

namespace qxtest {

class FakeStream : public std::enable_shared_from_this<FakeStream> {
  public:
    struct Write {
        std::vector<uint8_t> bytes;
        size_t delivered;  // bytes handed out by get before this write
    };
    // Given the bytes of one write, returns bytes for get to hand out next
    // (a module's answer). Runs with the fake's lock held: it must not call
    // the fake.
    typedef std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> Responder;

    static std::shared_ptr<FakeStream> Make() {
        return std::shared_ptr<FakeStream>(new FakeStream);
    }

    // A new stream over this fake; whoever receives it owns it. The fake
    // lives on while either the test or a stream holds it.
    aStreamRef CreateStream();

    // Bytes for the next gets to hand out, in order.
    void Feed(const std::vector<uint8_t>& bytes);
    // The next get with nothing to hand out reports error instead of aErrNotReady.
    void FailGets(aErr error, int count = 1);
    // While held, a get with nothing to hand out waits for bytes (up to 5 s)
    // instead of reporting aErrNotReady after 10 ms.
    void Hold(bool held);
    // While closed, writes wait (up to 5 s) until it opens.
    void CloseWriteGate(bool closed);
    void SetResponder(Responder responder);

    // Waits up to patience until check(writes) is true; the outcome.
    bool WaitForWrites(const std::function<bool(const std::vector<Write>&)>& check,
                       std::chrono::milliseconds patience);
    // Waits up to patience until a write is waiting at the closed gate.
    bool WaitForBlockedWrite(std::chrono::milliseconds patience);

    std::vector<Write> Writes();
    // All bytes written, concatenated.
    std::vector<uint8_t> Written();
    size_t Delivered();
    int Gets();
    bool Deleted();

  private:
    FakeStream() = default;
    static aErr sGet(uint8_t* byte, void* reference);
    static aErr sPut(const uint8_t* byte, void* reference);
    static aErr sWrite(const uint8_t* bytes, size_t count, void* reference);
    static aErr sDelete(void* reference);

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<uint8_t> input_;
    std::vector<Write> writes_;
    Responder responder_;
    aErr failure_ = aErrNone;
    int failures_ = 0;
    bool held_ = false;
    bool gateClosed_ = false;
    bool writeBlocked_ = false;
    size_t delivered_ = 0;
    int gets_ = 0;
    bool deleted_ = false;
};

// Answers every 0xAD 0x00 request in the written bytes with address 0x00,
// as a module does.
FakeStream::Responder SyncAnswers(uint8_t address);

// Splits bytes written back to back into packets' wire forms.
std::vector<std::vector<uint8_t>> SplitPackets(const std::vector<uint8_t>& bytes);

// A stream over a connected socket descriptor (one end of a socket pair),
// which it owns: get waits up to 10 ms for a byte and reports aErrIO once
// the peer has gone; write sends everything.
aStreamRef CreateDescriptorStream(int descriptor);

}  // namespace qxtest

#endif
