#include "support/fake_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qxtest {

namespace {

constexpr auto kIdleWait = std::chrono::milliseconds(aSTREAM_IDLE_WAIT_MS);
constexpr auto kMaxWait = std::chrono::seconds(5);

typedef std::shared_ptr<FakeStream> Share;

FakeStream* sFake(void* reference) {
    return static_cast<Share*>(reference)->get();
}

}  // namespace

aStreamRef FakeStream::CreateStream() {
    Share* reference = new Share(shared_from_this());
    aStreamRef stream = aStream_Create(sGet, sPut, sWrite, sDelete, reference);
    if (stream == nullptr) {
        delete reference;
    }
    return stream;
}

aErr FakeStream::sGet(uint8_t* byte, void* reference) {
    FakeStream* fake = sFake(reference);
    std::unique_lock<std::mutex> guard(fake->lock_);
    ++fake->gets_;
    const auto ready = [fake] { return !fake->input_.empty() || fake->failures_ > 0; };
    if (fake->held_) {
        fake->changed_.wait_for(guard, kMaxWait, [&] { return ready() || !fake->held_; });
    }
    if (!ready()) {
        fake->changed_.wait_for(guard, kIdleWait, ready);
    }
    if (!fake->input_.empty()) {
        *byte = fake->input_.front();
        fake->input_.pop_front();
        ++fake->delivered_;
        fake->changed_.notify_all();
        return aErrNone;
    }
    if (fake->failures_ > 0) {
        --fake->failures_;
        return fake->failure_;
    }
    return aErrNotReady;
}

aErr FakeStream::sPut(const uint8_t* byte, void* reference) {
    return sWrite(byte, 1, reference);
}

aErr FakeStream::sWrite(const uint8_t* bytes, size_t count, void* reference) {
    FakeStream* fake = sFake(reference);
    std::unique_lock<std::mutex> guard(fake->lock_);
    if (fake->gateClosed_) {
        fake->writeBlocked_ = true;
        fake->changed_.notify_all();
        fake->changed_.wait_for(guard, kMaxWait, [fake] { return !fake->gateClosed_; });
        fake->writeBlocked_ = false;
    }
    Write write{std::vector<uint8_t>(bytes, bytes + count), fake->delivered_};
    if (fake->responder_) {
        for (uint8_t answer : fake->responder_(write.bytes)) {
            fake->input_.push_back(answer);
        }
    }
    fake->writes_.push_back(std::move(write));
    fake->changed_.notify_all();
    return aErrNone;
}

aErr FakeStream::sDelete(void* reference) {
    Share* share = static_cast<Share*>(reference);
    {
        std::lock_guard<std::mutex> guard((*share)->lock_);
        (*share)->deleted_ = true;
        (*share)->changed_.notify_all();
    }
    delete share;
    return aErrNone;
}

void FakeStream::Feed(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
}

void FakeStream::FailGets(aErr error, int count) {
    std::lock_guard<std::mutex> guard(lock_);
    failure_ = error;
    failures_ = count;
    changed_.notify_all();
}

void FakeStream::Hold(bool held) {
    std::lock_guard<std::mutex> guard(lock_);
    held_ = held;
    changed_.notify_all();
}

void FakeStream::CloseWriteGate(bool closed) {
    std::lock_guard<std::mutex> guard(lock_);
    gateClosed_ = closed;
    changed_.notify_all();
}

void FakeStream::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(lock_);
    responder_ = std::move(responder);
}

bool FakeStream::WaitForWrites(const std::function<bool(const std::vector<Write>&)>& check,
                               std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, patience, [&] { return check(writes_); });
}

bool FakeStream::WaitForBlockedWrite(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, patience, [this] { return writeBlocked_; });
}

std::vector<FakeStream::Write> FakeStream::Writes() {
    std::lock_guard<std::mutex> guard(lock_);
    return writes_;
}

std::vector<uint8_t> FakeStream::Written() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint8_t> all;
    for (const Write& write : writes_) {
        all.insert(all.end(), write.bytes.begin(), write.bytes.end());
    }
    return all;
}

size_t FakeStream::Delivered() {
    std::lock_guard<std::mutex> guard(lock_);
    return delivered_;
}

int FakeStream::Gets() {
    std::lock_guard<std::mutex> guard(lock_);
    return gets_;
}

bool FakeStream::Deleted() {
    std::lock_guard<std::mutex> guard(lock_);
    return deleted_;
}

std::vector<std::vector<uint8_t>> SplitPackets(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> packets;
    size_t at = 0;
    while (at + 2 <= bytes.size()) {
        const size_t size = 2 + bytes[at + 1];
        if (at + size > bytes.size()) {
            break;
        }
        packets.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
        at += size;
    }
    return packets;
}

FakeStream::Responder SyncAnswers(uint8_t address) {
    return [address](const std::vector<uint8_t>& written) {
        std::vector<uint8_t> answer;
        for (const auto& packet : SplitPackets(written)) {
            if (packet.size() == 2 && packet[0] == 0xAD) {
                answer.push_back(address);
                answer.push_back(0);
            }
        }
        return answer;
    };
}

namespace {

aErr sDescriptorGet(uint8_t* byte, void* reference) {
    const int descriptor = static_cast<int>(reinterpret_cast<intptr_t>(reference));
    pollfd entry = {descriptor, POLLIN, 0};
    const int ready = poll(&entry, 1, aSTREAM_IDLE_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return aErrNotReady;
    }
    const ssize_t received = recv(descriptor, byte, 1, MSG_DONTWAIT);
    if (received == 1) {
        return aErrNone;
    }
    if (received < 0 && (errno == EAGAIN || errno == EINTR)) {
        return aErrNotReady;
    }
    // The peer has gone; a short pause keeps a reader from spinning on it.
    poll(nullptr, 0, aSTREAM_IDLE_WAIT_MS);
    return aErrIO;
}

aErr sDescriptorWrite(const uint8_t* bytes, size_t count, void* reference) {
    const int descriptor = static_cast<int>(reinterpret_cast<intptr_t>(reference));
    size_t sent = 0;
    while (sent < count) {
        const ssize_t done = send(descriptor, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return aErrIO;
        }
        sent += static_cast<size_t>(done);
    }
    return aErrNone;
}

aErr sDescriptorPut(const uint8_t* byte, void* reference) {
    return sDescriptorWrite(byte, 1, reference);
}

aErr sDescriptorDelete(void* reference) {
    close(static_cast<int>(reinterpret_cast<intptr_t>(reference)));
    return aErrNone;
}

}  // namespace

aStreamRef CreateDescriptorStream(int descriptor) {
    if (descriptor < 0) {
        return nullptr;
    }
    return aStream_Create(sDescriptorGet, sDescriptorPut, sDescriptorWrite, sDescriptorDelete,
                          reinterpret_cast<void*>(static_cast<intptr_t>(descriptor)));
}

}  // namespace qxtest
