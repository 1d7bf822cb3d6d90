#include "app/Updater.h"

// Placeholders until the update procedure lands.
bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) {
    return false;
}

BirdFile Updater::load_bird(const char*, std::string, unsigned, unsigned, bool) {
    return BirdFile();
}
