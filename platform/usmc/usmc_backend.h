// A second backend of the stage controller library layer besides the maker's library: the
// simulated controllers register theirs here, so the layer does not depend on the simulators.
#pragma once
#include <cstddef>

#include "platform/usmc/usmcdll.h"

struct UsmcBackend {
    // True when this backend was forced on for the next USMC_Init (else env VRIM_STATION=sim
    // chooses it).
    bool (*forced)();
    // Opens the controllers; powerUp is true on the first USMC_Init after a close.
    DWORD (*Init)(USMC_Devices *Str, bool powerUp);
    DWORD (*GetState)(DWORD Device, USMC_State *Str);
    DWORD (*SaveParametersToFlash)(DWORD Device);
    DWORD (*SetCurrentPosition)(DWORD Device, int Position);
    DWORD (*GetMode)(DWORD Device, USMC_Mode *Str);
    DWORD (*SetMode)(DWORD Device, USMC_Mode *Str);
    DWORD (*GetParameters)(DWORD Device, USMC_Parameters *Str);
    DWORD (*SetParameters)(DWORD Device, USMC_Parameters *Str);
    DWORD (*GetStartParameters)(DWORD Device, USMC_StartParameters *Str);
    DWORD (*Start)(DWORD Device, int DestPos, float *Speed, USMC_StartParameters *Str);
    void (*GetLastErr)(char *str, std::size_t len);
    DWORD (*Close)();
    DWORD (*GetEncoderState)(DWORD Device, USMC_EncoderState *Str);
    DWORD (*Stop)(DWORD Device);
};

// Installs the simulated backend (kept by pointer; it must outlive the layer's use). Null takes
// it away; a library opened on it stays open until USMC_Close.
void usmc_install_sim_backend(const UsmcBackend *backend);
