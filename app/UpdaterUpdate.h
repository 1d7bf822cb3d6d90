// The steps of a firmware update that the update and recovery procedures
// share: checking a file against the module and the two transfer phases.
#ifndef APP_UPDATERUPDATE_H
#define APP_UPDATERUPDATE_H

#include "api/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "app/store/BirdFile.h"
#include "common/aError.h"

// Whether the file belongs to the connected module: its serial number (unless
// the file takes any serial number) and its model.
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file,
                        Vexmoran::Quillarex::Module& module, unsigned serialNumber);

// Sends the loader blocks and starts the loader.
aErr _transfer_loader(UpdaterDisplayInterface& display, Vexmoran::Quillarex::Module& module,
                      BirdFile& file);

// Sends the firmware blocks (each up to five times) and reboots the module.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Vexmoran::Quillarex::Module& module,
                        BirdFile& file, bool skipRebootWait, bool useUEIBytes);

#endif
