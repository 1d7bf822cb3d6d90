// The host side of a module's boot loader, which listens on the upgrade
// entity (command 95): announce an upgrade, announce each block, stream its
// bytes (26-byte acknowledged packets, or UEI byte arrays), check byte sums,
// have the module write to flash, start a transferred loader and reboot.
#ifndef APP_UPDATERENTITY_H
#define APP_UPDATERENTITY_H

#include <cstdint>

#include "api/Entity.h"
#include "api/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aError.h"

#define cmdUPGRADE 95
#define val_UPGRADE_INIT 0
#define val_UPGRADE_DATA 1
#define val_UPGRADE_LOAD 2
#define val_UPGRADE_PREPARE 3
#define val_UPGRADE_SUM 4
#define val_UPGRADE_WRITE 5
#define val_UPGRADE_REBOOT 6
#define val_UPGRADE_STATUS 7
#define val_UPGRADE_DATA_UEI 10

class UpdaterEntity : public Vexmoran::Quillarex::EntityClass {
  public:
    // Bytes of block data in one plain DATA packet.
    static constexpr unsigned kDataChunk = 26;
    // How often one DATA chunk is sent while the module reports another
    // byte count before the piece fails with aErrPacket.
    static constexpr unsigned kDataAttempts = 10;
    // Reconnection attempts after a loader start that dropped the link.
    static constexpr unsigned kReconnectAttempts = 5;
    // How long LoaderReboot polls, in milliseconds, and how long it waits for
    // the link to drop before failing with aErrTimeout.
    static constexpr unsigned kRebootPollMs = 250;
    static constexpr unsigned kRebootWaitMs = 30000;

    UpdaterEntity();
    ~UpdaterEntity() override;

    aErr init(Vexmoran::Quillarex::Module* module, unsigned char index, bool validate,
              bool skipRebootWait);

    aErr LoaderInit();
    // `block` is a loader or firmware block's data (load address first),
    // `length` its data length. On success blockSize is the module's piece
    // size; a module that reports 0 gets aErrInvalidOption.
    aErr TransferPrepare(const unsigned char* block, unsigned length, unsigned char flags,
                         unsigned short& blockSize);
    aErr LoaderTransfer(const unsigned char* block, unsigned length);
    aErr LoaderStart();
    // 0 when the module takes block bytes as byte arrays (useUEIData is set).
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    aErr FirmwareTransfer(const unsigned char* block, unsigned length, unsigned short blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(unsigned length);
    // Sends REBOOT and waits for the module's link to drop (one poll with
    // skipRebootWait). aErrTimeout, with a message, when the link stays up
    // for kRebootWaitMs.
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    bool UsesUEIData() const { return useUEIData; }

    // Only for tests: shortens the reboot wait.
    void SetRebootWaitForTest(unsigned ms) { rebootWaitMs = ms; }

  private:
    aErr _reconnect(unsigned delay);
    aErr _block_transfer(const unsigned char* data, unsigned length, unsigned& count);
    aErr _block_transfer_uei_helper(const unsigned char* data, unsigned length, unsigned& count,
                                    unsigned& sum);
    aErr _send(unsigned char operation, const unsigned char* bytes, unsigned char count);
    aErr _await(unsigned char operation, unsigned char* reply, unsigned char* length);

    Vexmoran::Quillarex::Module* module;
    bool validate;
    bool skipRebootWait;
    bool useUEIData;
    unsigned rebootWaitMs;
};

#endif
