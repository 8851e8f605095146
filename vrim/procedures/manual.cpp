// Manual commands: the operator drives grating, wavelength, electrometer range, zero correction,
// voltage source and the stages by hand between measurements. Each handler blocks the event loop
// until its instrument has answered or its stage has stopped.
#include <climits>

#include "instr/K617/K617.h"
#include "instr/SP2155/SP2155.h"
#include "instr/uSMC/uSMC.h"
#include "platform/panel/userint.h"
#include "vrim/observe/journal.h"
#include "vrim/observe/watch.h"
#include "formats/textfile.h"
#include "vrim/app.h"
#include "vrim/controls.h"
#include "vrim/procedures/procedures.h"
#include "vrim/store.h"

static void set_grating(void) {
    int igr = 0;
    GetCtrlVal(p1h, GRATING, &igr);
    SetCtrlVal(p1h, MONO_BUSY, 1);
    watch_mono_grating(igr);
    SetCtrlVal(p1h, MONO_BUSY, 0);
    // A new grating means another light path: the operator must redo the optical set-up.
    ReminderPopup(REMINDER_OPTICS, "Reminder", "1.Switch the light source!\n2.Adjust the slit!\n3.Load the range file!");
}

int wl_last(int first, int step, int count) {
    // Wide arithmetic so absurd panel values cannot overflow; the result is held to the int range.
    long long v = (long long)first + ((long long)count - 1) * (long long)step;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return (int)v;
}

static void compute_wl_last(void) {
    int iwl0 = 0, idwl = 0, inwl = 0;
    GetCtrlVal(p1h, WL_FIRST, &iwl0);
    GetCtrlVal(p1h, WL_STEP, &idwl);
    GetCtrlVal(p1h, WL_COUNT, &inwl);
    SetCtrlVal(p1h, WL_LAST, wl_last(iwl0, idwl, inwl));
}

static void goto_wavelength(void) {
    int icwl = 0;  // tenths of a nanometre
    GetCtrlVal(p1h, WL_CURRENT, &icwl);
    SetCtrlVal(p1h, MONO_BUSY, 1);
    watch_mono_wavelength(icwl);
    SetCtrlVal(p1h, MONO_BUSY, 0);
}

static void select_position_row(void) {
    int npos = 0;
    GetCtrlVal(p1h, POSITION_INDEX, &npos);
    SetTableSelection(p1h, POSITIONS, MakeRect(npos + 1, 1, 1, 2));
}

static void goto_position(void) {
    int npos = 0;
    GetCtrlVal(p1h, POSITION_INDEX, &npos);
    SetCtrlVal(p1h, STAGE_BUSY, 1);
    for (int i = 0; i < 2; i++) {
        // A row outside the table gives no target: that axis stays where it is and is only read back.
        int target = 0;  // microsteps
        if (GetTableCellVal(p1h, POSITIONS, MakePoint(i + 1, npos + 1), &target) >= 0) {
            CurPos[i] = target;
            watch_stage_move(i, CurPos[i]);
            watch_stage_read(i, &CurPos[i], true, target);
        } else {
            watch_stage_read(i, &CurPos[i], false, 0);
        }
        SetCtrlVal(p1h, PosCtrl[i], CurPos[i]);
    }
    SetCtrlVal(p1h, STAGE_BUSY, 0);
}

static void move_z(void) {
    GetCtrlVal(p1h, Z_TARGET, &CurPos[2]);
    int target = CurPos[2];  // microsteps
    SetCtrlVal(p1h, STAGE_BUSY, 1);
    watch_stage_move(2, CurPos[2]);
    watch_stage_read(2, &CurPos[2], true, target);
    SetCtrlVal(p1h, POS_Z, CurPos[2]);
    SetCtrlVal(p1h, STAGE_BUSY, 0);
}

static void home_all(void) {
    SetWaitCursor(1);
    SetCtrlVal(p1h, STAGE_BUSY, 1);
    // Homing only: the indicators keep the positions from before it.
    int failed = 0;
    for (int i = 0; i < 3; i++)
        if (watch_stage_code(i, "home", uSMC_ReferenceMove(node[i])) != 0) failed++;
    SetCtrlVal(p1h, STAGE_BUSY, 0);
    if (failed == 0) {
        journal_note(NOTE_NOT_HOMED, nullptr);
        log_line("homed stages X, Y and Z");
    } else {
        log_line("homing: %d of 3 stages failed", failed);
    }
    SetWaitCursor(0);
}

bool do_manual(int control) {
    switch (control) {
    case GRATING:
        set_grating();
        return true;
    case WL_COUNT:
    case WL_STEP:
    case WL_FIRST:
        compute_wl_last();
        return true;
    case WL_CURRENT:
        goto_wavelength();
        return true;
    case CURRENT_RANGE: {
        int irange = 0;
        GetCtrlVal(p1h, CURRENT_RANGE, &irange);
        K617_current_mode(irange);
        return true;
    }
    case ZERO_CORRECT:
        K617_zero_correct(1);
        return true;
    case VSOURCE_VALUE: {
        float vout = 0;  // volts
        GetCtrlVal(p1h, VSOURCE_VALUE, &vout);
        K617_vsource_set(vout);
        return true;
    }
    case VSOURCE_OPERATE: {
        int vsource = 0;
        GetCtrlVal(p1h, VSOURCE_OPERATE, &vsource);
        K617_vsource_operate(vsource);
        return true;
    }
    case POSITION_INDEX:
        select_position_row();
        return true;
    case GOTO_POSITION:
        goto_position();
        return true;
    case MOVE_Z:
        move_z();
        return true;
    case HOME_ALL:
        home_all();
        return true;
    default:
        return false;
    }
}
