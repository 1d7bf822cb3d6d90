#include "app/UpdaterEntity.h"

#include "api/Link.h"
#include "api/SystemClass.h"
#include "app/Log.h"
#include "app/store/BirdFile.h"
#include "unix/aTime.h"

using Vexmoran::Quillarex::Link;
using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::SystemClass;

namespace {

constexpr const char* kRebootLabel = "Verifying Update";

unsigned _byte_sum(const unsigned char* data, unsigned length) {
    unsigned sum = 0;
    for (unsigned i = 0; i < length; ++i) {
        sum += data[i];
    }
    return sum;
}

}  // namespace

UpdaterEntity::UpdaterEntity()
    : module(nullptr),
      validate(true),
      skipRebootWait(false),
      useUEIData(false),
      rebootWaitMs(kRebootWaitMs) {}

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::init(Module* module, unsigned char index, bool validate, bool skipRebootWait) {
    this->module = module;
    this->validate = validate;
    this->skipRebootWait = skipRebootWait;
    useUEIData = false;
    return EntityClass::init(module, cmdUPGRADE, index);
}

// Sends 5F `operation` and `count` further bytes.
aErr UpdaterEntity::_send(unsigned char operation, const unsigned char* bytes,
                          unsigned char count) {
    unsigned char data[aPACKET_MAX_DATA];
    data[0] = operation;
    for (unsigned char i = 0; i < count; ++i) {
        data[1 + i] = bytes[i];
    }
    return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), data);
}

// Awaits the first reply that starts with 5F `operation` (1000 ms).
aErr UpdaterEntity::_await(unsigned char operation, unsigned char* reply, unsigned char* length) {
    const unsigned char match[2] = {cmdUPGRADE, operation};
    *length = sizeof(match);
    return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = _send(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n",
                 static_cast<int>(err));
        return err;
    }
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char length = 0;
    err = _await(val_UPGRADE_INIT, reply, &length);
    if (err != aErrNone) {
        return err;
    }
    if (length <= 5) {
        return aErrPacket;
    }
    const unsigned base = GetInt(&reply[2]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const unsigned char* block, unsigned length,
                                    unsigned char flags, unsigned short& blockSize) {
    if (block == nullptr || length < 4) {
        return aErrParam;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
             static_cast<int>(length), flags, blockSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(GetInt(block)));
    const unsigned char request[5] = {flags, block[0], block[1], block[2], block[3]};
    aErr err = _send(val_UPGRADE_PREPARE, request, sizeof(request));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n",
                 static_cast<int>(err));
        return err;
    }
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, &replyLength);
    if (err != aErrNone) {
        return err;
    }
    if (replyLength < 5 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    const unsigned short size = static_cast<unsigned short>(GetShort(&reply[3]));
    if (size == 0) {
        // A piece size of 0 would never move the transfer on.
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader reported a block size of 0.\n");
        return aErrInvalidOption;
    }
    blockSize = size;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             blockSize);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const unsigned char* data, unsigned length,
                                               unsigned& count, unsigned& sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             static_cast<int>(length));
    const aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n",
                 static_cast<int>(err));
        return err;
    }
    sum = _byte_sum(data, length);
    count = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned length, unsigned& count) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    unsigned sum = 0;
    unsigned sent = 0;
    aErr err = aErrNone;
    if (useUEIData) {
        err = _block_transfer_uei_helper(data, length, count, sum);
        if (err == aErrNone) {
            sent = length;
        }
    } else {
        unsigned repeats = 0;
        while (sent < length && err == aErrNone) {
            const unsigned chunk = length - sent < kDataChunk ? length - sent : kDataChunk;
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                     static_cast<int>(chunk));
            err = _send(val_UPGRADE_DATA, data + sent, static_cast<unsigned char>(chunk));
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                         static_cast<int>(err));
                return err;
            }
            unsigned char reply[aPACKET_MAX_DATA];
            unsigned char replyLength = 0;
            if (_await(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const unsigned accepted = replyLength > 2 ? reply[2] : 0;
            if (accepted != chunk) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                         static_cast<int>(accepted), static_cast<int>(chunk));
                // The same chunk goes again, but not without end.
                if (++repeats >= kDataAttempts) {
                    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Chunk refused %u times, giving up.\n",
                             repeats);
                    err = aErrPacket;
                }
                continue;
            }
            repeats = 0;
            sum += _byte_sum(data + sent, chunk);
            sent += chunk;
            ++count;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(chunk), static_cast<int>(length - sent),
                     static_cast<int>(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(sent),
             static_cast<int>(length));
    if (err != aErrNone || !validate) {
        return err;
    }

    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    _send(val_UPGRADE_SUM, nullptr, 0);
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    if (_await(val_UPGRADE_STATUS, reply, &replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const unsigned status = replyLength > 2 ? reply[2] : 0xFF;
    const unsigned moduleSum = replyLength >= 7 ? GetInt(&reply[3]) : ~sum;
    if (status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 moduleSum, static_cast<int>(count));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const unsigned char* block, unsigned length) {
    if (block == nullptr || length < 4) {
        return aErrParam;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", GetInt(block),
             static_cast<int>(length - 4));
    unsigned count = 0;
    return _block_transfer(block + 4, length - 4, count);
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = _send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n",
                 static_cast<int>(err));
        return err;
    }
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char length = 0;
    if (_await(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module may have restarted into the loader and dropped its link.
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 static_cast<int>(err), aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, &length);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n",
             static_cast<int>(err), aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (module == nullptr) {
        return aErrResource;
    }
    const aErr answer = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n",
             static_cast<int>(answer));
    if (answer == aErrNone) {
        useUEIData = true;
    }
    return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (module == nullptr) {
        return aErrResource;
    }
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n",
             static_cast<int>(features), static_cast<int>(err));
    if (err != aErrNone) {
        return err;
    }
    if ((features & 0x80000000u) == 0) {
        return aErrNone;
    }
    Link* link = module->getLink();
    return link != nullptr ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::FirmwareTransfer(const unsigned char* block, unsigned length,
                                     unsigned short blockSize, UpdaterDisplayInterface& display) {
    if (block == nullptr || length < 4) {
        return aErrParam;
    }
    if (blockSize == 0) {
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", GetInt(block),
             static_cast<int>(length - 4));
    unsigned remaining = length - 4;
    const unsigned char* next = block + 4;
    unsigned count = 0;
    aErr err = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        const unsigned piece = remaining < blockSize ? remaining : blockSize;
        err = _block_transfer(next, piece, count);
        if (err == aErrNone) {
            next += piece;
            remaining -= piece;
            ++count;
            display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(piece), static_cast<int>(remaining),
                     static_cast<int>(length));
            err = FirmwareWrite(piece);
        }
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));
    if (err != aErrNone) {
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    }
    return err;
}

aErr UpdaterEntity::FirmwareWrite(unsigned length) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    const unsigned char request[2] = {static_cast<unsigned char>(length >> 8),
                                      static_cast<unsigned char>(length)};
    aErr err = _send(val_UPGRADE_WRITE, request, sizeof(request));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n",
                 static_cast<int>(err), aError_GetErrorText(err));
        return err;
    }
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, &replyLength);
    if (err != aErrNone || replyLength < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    // A module that restarts faster than one poll has its link back by the
    // time it is looked at: a failure of the stream since the request
    // counts as the drop too.
    Link* link = module != nullptr ? module->getLink() : nullptr;
    const uint32_t failuresBefore = link != nullptr ? link->getStreamFailures() : 0;
    auto linkDropped = [&] {
        return module == nullptr || !module->isConnected() ||
               (link != nullptr && link->getStreamFailures() != failuresBefore);
    };
    aErr result = _send(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    }
    const uint64_t start = aTime_GetMSTicks();
    while (!linkDropped()) {
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, kRebootLabel);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (skipRebootWait) {
            break;
        }
        if (aTime_GetMSTicks() - start >= rebootWaitMs && !linkDropped()) {
            display.update_spinner(false, kRebootLabel);
            display.message(UpdaterDisplayInterface::Error,
                            "Timed out after %u seconds waiting for the module to reboot",
                            rebootWaitMs / 1000);
            return aErrTimeout;
        }
    }
    display.update_spinner(false, kRebootLabel);
    return result;
}

aErr UpdaterEntity::_reconnect(unsigned delay) {
    if (module == nullptr) {
        return aErrResource;
    }
    module->disconnect();
    aErr err = aErrNone;
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 static_cast<int>(attempt), static_cast<int>(kReconnectAttempts));
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delay));
        aTime_MSSleep(delay);
    }
    return err;
}
