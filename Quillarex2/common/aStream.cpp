#include "common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamGenerationProc generation;
    void* ref;
    uint8_t* pushback;  // ring of bytes returned to the stream; null until needed
    uint64_t pushbackCount;
    uint64_t pushbackSize;
    uint64_t pushbackHead;  // next byte to read
    uint64_t pushbackTail;  // where the next returned byte goes
    uint16_t check;
};

namespace {

bool sIsValid(const aStream* stream) {
    return stream != nullptr && stream->check == aSTREAMCHECK;
}

// Makes room for one more byte: allocates the ring, or grows it by one chunk
// when it holds size - 1 bytes, copying the held bytes to its start in order.
aErr sReserveOne(aStream* stream) {
    if (stream->pushback == nullptr) {
        stream->pushback = static_cast<uint8_t*>(std::malloc(aSTREAMBUFCHUNK));
        if (stream->pushback == nullptr) {
            return aErrMemory;
        }
        stream->pushbackSize = aSTREAMBUFCHUNK;
        stream->pushbackCount = stream->pushbackHead = stream->pushbackTail = 0;
    }
    if (stream->pushbackCount >= stream->pushbackSize - 1) {
        const uint64_t size = stream->pushbackSize + aSTREAMBUFCHUNK;
        uint8_t* grown = static_cast<uint8_t*>(std::malloc(size));
        if (grown == nullptr) {
            return aErrMemory;
        }
        for (uint64_t i = 0; i < stream->pushbackCount; ++i) {
            grown[i] = stream->pushback[(stream->pushbackHead + i) % stream->pushbackSize];
        }
        std::free(stream->pushback);
        stream->pushback = grown;
        stream->pushbackHead = 0;
        stream->pushbackTail = stream->pushbackCount;
        stream->pushbackSize = size;
    }
    return aErrNone;
}

// Returns one byte behind those already held (aStreamBufferChar).
aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
    const aErr reserved = sReserveOne(stream);
    if (reserved != aErrNone) {
        return reserved;
    }
    stream->pushback[stream->pushbackTail] = byte;
    stream->pushbackTail = (stream->pushbackTail + 1) % stream->pushbackSize;
    ++stream->pushbackCount;
    return aErrNone;
}

// Returns bytes in front of those already held, so that they are read next,
// in their order.
aErr sUnread(aStream* stream, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const aErr reserved = sReserveOne(stream);
        if (reserved != aErrNone) {
            return reserved;
        }
        stream->pushbackHead =
            (stream->pushbackHead + stream->pushbackSize - 1) % stream->pushbackSize;
        stream->pushback[stream->pushbackHead] = bytes[--count];
        ++stream->pushbackCount;
    }
    return aErrNone;
}

// The next byte: from the push-back ring, else from get.
aErr sNextByte(aStream* stream, uint8_t* byte) {
    if (stream->pushbackCount > 0) {
        *byte = stream->pushback[stream->pushbackHead];
        stream->pushbackHead = (stream->pushbackHead + 1) % stream->pushbackSize;
        --stream->pushbackCount;
        return aErrNone;
    }
    return stream->get(byte, stream->ref);
}

// A buffer on the stack for short reads, on the heap for long ones.
class Scratch {
  public:
    explicit Scratch(size_t size)
        : data_(size <= sizeof(local_) ? local_ : static_cast<uint8_t*>(std::malloc(size))) {}
    ~Scratch() {
        if (data_ != local_) {
            std::free(data_);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    uint8_t* data() { return data_; }

  private:
    uint8_t local_[64];
    uint8_t* data_;
};

}  // namespace

aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc,
                          aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                          void* reference) {
    aStream* stream = new (std::nothrow) aStream;
    if (stream == nullptr) {
        return nullptr;
    }
    stream->get = getProc;
    stream->put = putProc;
    stream->write = writeProc;
    stream->del = deleteProc;
    stream->generation = nullptr;
    stream->ref = reference;
    stream->pushback = nullptr;
    stream->pushbackCount = stream->pushbackSize = 0;
    stream->pushbackHead = stream->pushbackTail = 0;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_SetGenerationProc(aStreamRef stream, aStreamGenerationProc proc) {
    if (!sIsValid(stream)) {
        return aErrParam;
    }
    stream->generation = proc;
    return aErrNone;
}

uint64_t aStream_GetGeneration(aStreamRef stream) {
    if (!sIsValid(stream) || stream->generation == nullptr) {
        return 0;
    }
    return stream->generation(stream->ref);
}

aErr aStream_Destroy(aStreamRef* reference) {
    if (reference == nullptr) {
        return aErrParam;
    }
    aStream* stream = *reference;
    *reference = nullptr;
    if (!sIsValid(stream)) {
        return aErrParam;
    }
    const aErr result = stream->del != nullptr ? stream->del(stream->ref) : aErrNone;
    std::free(stream->pushback);
    stream->check = 0;
    delete stream;
    return result;
}

aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t count) {
    if (!sIsValid(stream) || buffer == nullptr) {
        return aErrParam;
    }
    if (stream->get == nullptr) {
        return aErrMode;
    }
    if (count == 0) {
        return aErrNone;
    }
    Scratch scratch(count);
    uint8_t* obtained = scratch.data();
    if (obtained == nullptr) {
        return aErrMemory;
    }
    size_t got = 0;
    aErr result = aErrNone;
    while (got < count && (result = sNextByte(stream, &obtained[got])) == aErrNone) {
        ++got;
    }
    if (result == aErrNotReady) {
        // The ring was empty when get ran dry, so appending keeps the order.
        for (size_t i = 0; i < got; ++i) {
            const aErr buffered = aStreamBufferChar(stream, obtained[i]);
            if (buffered != aErrNone) {
                return buffered;
            }
        }
        return aErrNotReady;
    }
    if (result == aErrNone || result == aErrEOF) {
        std::memcpy(buffer, obtained, got);
    }
    return result;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t count) {
    if (!sIsValid(stream) || bytes == nullptr) {
        return aErrParam;
    }
    if (stream->put == nullptr && stream->write == nullptr) {
        return aErrMode;
    }
    if (count == 0) {
        return aErrNone;
    }
    if (stream->write != nullptr && count > 1) {
        return stream->write(bytes, count, stream->ref);
    }
    for (size_t i = 0; i < count; ++i) {
        const aErr result = stream->put != nullptr ? stream->put(&bytes[i], stream->ref)
                                                   : stream->write(&bytes[i], 1, stream->ref);
        if (result != aErrNone) {
            return result;
        }
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (length != nullptr) {
        *length = 0;
    }
    if (!sIsValid(stream) || buffer == nullptr || terminator == nullptr || terminatorLength == 0) {
        return aErrParam;
    }
    if (stream->get == nullptr) {
        return aErrMode;
    }
    try {
        std::vector<uint8_t> consumed;  // everything read by this call, in order
        std::vector<uint8_t> stored;    // the record's bytes
        std::vector<uint8_t> pending;   // a beginning of the terminator, not yet stored
        bool complete = false;
        while (!complete) {
            uint8_t byte;
            const aErr result = sNextByte(stream, &byte);
            if (result == aErrNotReady) {
                const aErr returned = sUnread(stream, consumed.data(), consumed.size());
                return returned != aErrNone ? returned : aErrNotReady;
            }
            if (result == aErrEOF) {
                // An unfinished terminator at the end is part of the record.
                while (!pending.empty() && stored.size() < capacity) {
                    stored.push_back(pending.front());
                    pending.erase(pending.begin());
                }
                if (stored.empty()) {
                    const aErr returned = sUnread(stream, pending.data(), pending.size());
                    return returned != aErrNone ? returned : aErrEOF;
                }
                break;
            }
            if (result != aErrNone) {
                return result;
            }
            consumed.push_back(byte);
            pending.push_back(byte);
            // Whatever cannot begin the terminator is record data, oldest first;
            // a match that breaks off is resumed from its next byte, so that no
            // terminator is missed and no byte lost.
            while (!pending.empty() &&
                   std::memcmp(pending.data(), terminator, pending.size()) != 0) {
                if (stored.size() == capacity) {
                    complete = true;
                    break;
                }
                stored.push_back(pending.front());
                pending.erase(pending.begin());
            }
            if (complete) {
                break;
            }
            if (pending.size() == terminatorLength) {
                pending.clear();
                break;
            }
            if (stored.size() == capacity && pending.empty()) {
                break;
            }
        }
        // Bytes read beyond a truncated record stay in the stream.
        const aErr returned = sUnread(stream, pending.data(), pending.size());
        if (returned != aErrNone) {
            return returned;
        }
        if (!stored.empty()) {
            std::memcpy(buffer, stored.data(), stored.size());
        }
        if (length != nullptr) {
            *length = stored.size();
        }
        return aErrNone;
    } catch (...) {
        return aErrMemory;
    }
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t count,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!sIsValid(stream) || (bytes == nullptr && count > 0) ||
        (terminator == nullptr && terminatorLength > 0)) {
        return aErrParam;
    }
    if (count > 0) {
        const aErr result = aStream_Write(stream, bytes, count);
        if (result != aErrNone) {
            return result;
        }
    }
    return terminatorLength > 0 ? aStream_Write(stream, terminator, terminatorLength) : aErrNone;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
    static const uint8_t kZero = 0;
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    size_t length = 0;
    const aErr result = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length,
                                           size - 1, &kZero, 1);
    if (result == aErrNone || result == aErrEOF) {
        buffer[length] = '\0';
    }
    return result;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
    if (text == nullptr) {
        return aErrParam;
    }
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminatorText) {
    if (buffer == nullptr || size == 0 || terminatorText == nullptr || *terminatorText == '\0') {
        return aErrParam;
    }
    size_t length = 0;
    const aErr result = aStream_ReadRecord(
        stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
        reinterpret_cast<const uint8_t*>(terminatorText), std::strlen(terminatorText));
    if (result == aErrNone || result == aErrEOF) {
        buffer[length] = '\0';
    }
    return result;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText) {
    if (text == nullptr || terminatorText == nullptr) {
        return aErrParam;
    }
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                               reinterpret_cast<const uint8_t*>(terminatorText),
                               std::strlen(terminatorText) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef sink) {
    if (!sIsValid(source) || !sIsValid(sink)) {
        return aErrParam;
    }
    if (source->get == nullptr || sink->put == nullptr) {
        return aErrMode;
    }
    for (;;) {
        uint8_t byte;
        const aErr got = sNextByte(source, &byte);
        if (got == aErrEOF) {
            return aErrNone;
        }
        if (got != aErrNone) {
            return got;
        }
        const aErr put = sink->put(&byte, sink->ref);
        if (put != aErrNone) {
            return put;
        }
    }
}
