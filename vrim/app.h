// The application's life: the panel it runs, the stages it found, and the entry the platform
// calls. Defined in vrim.cpp.
#pragma once

extern int p1h;       // panel handle
extern int pID;       // panel of the last event taken
extern int rID;       // control of the last event taken
extern int node[3];   // stage controller of axes X, Y, Z (device index + 1; 0 = not found)
extern int CurPos[3]; // microsteps: last target or read-back position per axis
extern const int PosCtrl[3];              // {POS_X, POS_Y, POS_Z}
extern const char serials[3][16];         // controller serial numbers, no terminator

// Program entry; main() calls it where the platform has no WinMain.
int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow);
int cb_timer(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
// Writes the default grid file "mcp_positions.txt" in the working directory, replacing any
// earlier one. Returns 0, or -1 when the file could not be opened or written.
int mcp_positions(void);
