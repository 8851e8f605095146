// Simulated controllers as a backend of the library layer (usmcdll.cpp dispatches to these).
#pragma once
#include "platform/usmc/usmcdll.h"

namespace usmcsim {
// True when the simulated backend was forced on by usmc_sim_select(true).
bool forced();
DWORD Init(USMC_Devices *Str, bool powerUp);
DWORD GetState(DWORD Device, USMC_State *Str);
DWORD SaveParametersToFlash(DWORD Device);
DWORD SetCurrentPosition(DWORD Device, int Position);
DWORD GetMode(DWORD Device, USMC_Mode *Str);
DWORD SetMode(DWORD Device, USMC_Mode *Str);
DWORD GetParameters(DWORD Device, USMC_Parameters *Str);
DWORD SetParameters(DWORD Device, USMC_Parameters *Str);
DWORD GetStartParameters(DWORD Device, USMC_StartParameters *Str);
DWORD Start(DWORD Device, int DestPos, float *Speed, USMC_StartParameters *Str);
void GetLastErr(char *str, std::size_t len);
DWORD Close();
DWORD GetEncoderState(DWORD Device, USMC_EncoderState *Str);
}  // namespace usmcsim
