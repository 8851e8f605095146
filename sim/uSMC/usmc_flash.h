// The simulated controllers' flash: what each controller keeps across USMC_Close and, when env
// VRIM_USMC_FLASH names a file, across runs of the program (one line per controller).
#pragma once
#include <map>
#include <string>

#include "platform/usmc/usmcdll.h"

struct Flash {
    bool saved = false;   // parameters were saved at least once
    USMC_Parameters par{};
    bool hasPhys = false;  // physical position known from the flash file
    int phys = 0;          // microsteps
};
// By serial number (16 characters).
typedef std::map<std::string, Flash> FlashMap;

// The flash file's path from env VRIM_USMC_FLASH, or null when there is none.
const char *usmc_flash_path();
// Writes every controller's flash to the file (through a temporary file renamed over it); does
// nothing without a path or when the file cannot be written.
void usmc_flash_write(const FlashMap &flash);
// Reads the file into flash, line by line; malformed lines are skipped, a missing file changes
// nothing.
void usmc_flash_read(FlashMap &flash);
