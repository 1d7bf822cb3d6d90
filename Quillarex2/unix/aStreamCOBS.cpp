#include "unix/aStreamCOBS.h"

#include <cstring>
#include <new>

#include "common/aCOBS.h"
#include "common/aCRC8.h"
#include "common/aPacket.h"
#include "unix/aStreamSerial.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
constexpr size_t kTxFrameSize = aCOBS_MAX_FRAME + 1;  // with the delimiter

struct CobsRecord {
    aStreamGetProc lowerGet;
    aStreamPutProc lowerPut;
    aStreamWriteProc lowerWrite;
    aStreamDeleteProc lowerDelete;
    void* lowerRef;
    uint16_t check;
    // Receiving, used by the reading thread only.
    uint8_t rxFrame[aCOBS_MAX_FRAME];
    uint64_t rxLength;
    bool rxOverlong;  // the frame being received exceeds aCOBS_MAX_FRAME
    bool rxReady;
    uint64_t rxIndex;
    // Sending, used by the writing thread only.
    aPacketRef txParser;
    uint8_t txFrame[kTxFrameSize];
    uint64_t txLength;
};

bool sIsValid(const CobsRecord* record) {
    return record != nullptr && record->check == kCobsCheck;
}

// Checks a received frame and, when good, makes its packet bytes ready.
aErr sFrameEnded(CobsRecord* record) {
    const size_t length = record->rxLength;
    const bool overlong = record->rxOverlong;
    record->rxLength = 0;
    record->rxOverlong = false;
    if (length == 0 && !overlong) {
        return aErrNotReady;  // delimiters in a row
    }
    if (overlong) {
        return aErrPacket;
    }
    const size_t decoded = cobs_decode_inplace(record->rxFrame, length);
    if (decoded <= 2 || decoded != static_cast<size_t>(record->rxFrame[1]) + 3 ||
        !crc8_check(record->rxFrame, decoded - 1, record->rxFrame[decoded - 1])) {
        return aErrPacket;
    }
    record->rxReady = true;
    record->rxIndex = 0;
    record->rxLength = decoded - 1;
    return aErrNotReady;
}

aErr sCobsStreamGet(uint8_t* byte, void* reference) {
    CobsRecord* record = static_cast<CobsRecord*>(reference);
    if (!sIsValid(record) || byte == nullptr) {
        return aErrParam;
    }
    if (record->rxReady) {
        *byte = record->rxFrame[record->rxIndex++];
        if (record->rxIndex >= record->rxLength) {
            record->rxReady = false;
            record->rxIndex = 0;
            record->rxLength = 0;
        }
        return aErrNone;
    }
    uint8_t raw;
    if (record->lowerGet == nullptr || record->lowerGet(&raw, record->lowerRef) != aErrNone) {
        return aErrNotReady;
    }
    if (raw == 0) {
        return sFrameEnded(record);
    }
    if (record->rxLength < aCOBS_MAX_FRAME) {
        record->rxFrame[record->rxLength++] = raw;
    } else {
        record->rxOverlong = true;
    }
    return aErrNotReady;
}

// Frames the packet the parser holds and sends it.
aErr sSendPacket(CobsRecord* record) {
    size_t length = 0;
    aPacket_GetBytes(record->txParser, record->txFrame, aCOBS_MAX_FRAME, &length);
    aPacket_Reset(record->txParser);
    record->txFrame[length] = crc8_create(record->txFrame, length);
    const size_t encoded = cobs_encode_inplace(record->txFrame, length + 1);
    if (encoded == 0 || encoded + 1 > kTxFrameSize) {
        record->txLength = 0;
        return aErrSize;
    }
    record->txFrame[encoded] = 0;
    record->txLength = encoded + 1;
    if (record->lowerWrite == nullptr) {
        return aErrMode;
    }
    return record->lowerWrite(record->txFrame, record->txLength, record->lowerRef);
}

aErr sCobsStreamWrite(const uint8_t* bytes, size_t count, void* reference) {
    CobsRecord* record = static_cast<CobsRecord*>(reference);
    if (!sIsValid(record) || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    aErr result = aErrNone;
    for (size_t i = 0; i < count; ++i) {
        if (aPacket_AddByte(record->txParser, bytes[i]) != aErrNone) {
            aPacket_Reset(record->txParser);
            result = aErrPacket;
            continue;
        }
        if (aPacket_IsComplete(record->txParser)) {
            const aErr sent = sSendPacket(record);
            if (sent != aErrNone) {
                result = sent;
            }
        }
    }
    return result;
}

aErr sCobsStreamPut(const uint8_t* byte, void* reference) {
    CobsRecord* record = static_cast<CobsRecord*>(reference);
    if (!sIsValid(record)) {
        return aErrParam;
    }
    if (record->lowerPut == nullptr) {
        return aErrMode;
    }
    return record->lowerPut(byte, record->lowerRef);
}

aErr sCobsStreamDelete(void* reference) {
    CobsRecord* record = static_cast<CobsRecord*>(reference);
    if (!sIsValid(record)) {
        return aErrParam;
    }
    const aErr result =
        record->lowerDelete != nullptr ? record->lowerDelete(record->lowerRef) : aErrNone;
    aPacket_Destroy(&record->txParser);
    record->check = 0;
    delete record;
    return result;
}

}  // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                                void* reference, aStreamRef* stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    CobsRecord* record = new (std::nothrow) CobsRecord;
    if (record == nullptr) {
        return aErrMemory;
    }
    std::memset(record, 0, sizeof(*record));
    record->txParser = aPacket_Create();
    if (record->txParser == nullptr) {
        delete record;
        return aErrMemory;
    }
    record->lowerGet = getProc;
    record->lowerPut = putProc;
    record->lowerWrite = writeProc;
    record->lowerDelete = deleteProc;
    record->lowerRef = reference;
    record->check = kCobsCheck;
    *stream =
        aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, record);
    if (*stream == nullptr) {
        aPacket_Destroy(&record->txParser);
        record->check = 0;
        delete record;
        return aErrResource;
    }
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* devicePath, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStreamRef* stream) {
    if (devicePath == nullptr || stream == nullptr || dataBits > 1 || stopBits > 1) {
        return aErrResource;
    }
    *stream = nullptr;
    void* port = nullptr;
    const aErr opened =
        _aStreamSerial_Open(devicePath, baudIndex, parity, dataBits, stopBits, &port);
    if (opened != aErrNone) {
        return opened;
    }
    const aErr wrapped =
        aStream_CreateCobsEncoding(_aStreamSerial_Get, _aStreamSerial_Put, _aStreamSerial_Write,
                                   _aStreamSerial_Delete, port, stream);
    if (wrapped != aErrNone) {
        _aStreamSerial_Delete(port);
    }
    return wrapped;
}
