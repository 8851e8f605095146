// Console reports of the stage driver, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "instr/uSMC/uSMC.h"
#include "sim/uSMC/usmc_sim.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kDeg = "\xF8";

USMC_Parameters preset(int n) {
    USMC_Parameters p{};
    p.AccelT = 200; p.DecelT = 200; p.PTimeout = n == 1 ? 1 : 100;
    p.BTimeout1 = p.BTimeout2 = p.BTimeout3 = p.BTimeout4 = p.BTimeoutR = 500;
    p.MinP = n == 1 ? 60 : 500;
    p.BTO1P = n == 1 ? 10 : 100; p.BTO2P = n == 1 ? 20 : 200;
    p.BTO3P = n == 1 ? 30 : 300; p.BTO4P = n == 1 ? 60 : 600;
    p.MaxLoft = 32; p.RTDelta = 200; p.RTMinError = 15; p.MaxTemp = 70; p.SynOUTP = 1;
    p.LoftPeriod = n == 1 ? 50 : 500; p.EncMult = n == 1 ? 1 : 2.5f;
    return p;
}

template <typename F>
std::string captured(F f) {
    CaptureStdout();
    f();
    return GetCapturedStdout();
}

// The whole report of each preset.
const std::string kPreset1Report =
    "The parameters are:\n"
    "Full acceleration time - 200 ms\n"
    "Full deceleration time - 200 ms\n"
    "Power reduction timeout - 1 ms\n"
    "Button speedup timeout 1 - 500 ms\n"
    "Button speed after timeout 1 - 10.00 steps/s\n"
    "Button speedup timeout 2 - 500 ms\n"
    "Button speed after timeout 2 - 20.00 steps/s\n"
    "Button speedup timeout 3 - 500 ms\n"
    "Button speed after timeout 3 - 30.00 steps/s\n"
    "Button speedup timeout 4 - 500 ms\n"
    "Button speed after timeout 4 - 60.00 steps/s\n"
    "Button reset timeout - 500 ms\n"
    "Button reset operation speed - 60.00 steps/s\n"
    "Backlash operation distance - 32 steps\n"
    "Revolution distance - 200 steps\n"
    "Minimal revolution distance error - 15 steps\n"
    "Power off temperature - 70.00\xF8" "C\n"
    "Duration of the output synchronization pulse - 0.5 * [Tact Period]\n"
    "Speed of the last phase of the backlash operation - 50.00 steps/s\n"
    "<Angular Encoder Step> Equals <Angular Step Motor Step>/<1.00>\n";

const std::string kPreset2Report =
    "The parameters are:\n"
    "Full acceleration time - 200 ms\n"
    "Full deceleration time - 200 ms\n"
    "Power reduction timeout - 100 ms\n"
    "Button speedup timeout 1 - 500 ms\n"
    "Button speed after timeout 1 - 100.00 steps/s\n"
    "Button speedup timeout 2 - 500 ms\n"
    "Button speed after timeout 2 - 200.00 steps/s\n"
    "Button speedup timeout 3 - 500 ms\n"
    "Button speed after timeout 3 - 300.00 steps/s\n"
    "Button speedup timeout 4 - 500 ms\n"
    "Button speed after timeout 4 - 600.00 steps/s\n"
    "Button reset timeout - 500 ms\n"
    "Button reset operation speed - 500.00 steps/s\n"
    "Backlash operation distance - 32 steps\n"
    "Revolution distance - 200 steps\n"
    "Minimal revolution distance error - 15 steps\n"
    "Power off temperature - 70.00\xF8" "C\n"
    "Duration of the output synchronization pulse - 0.5 * [Tact Period]\n"
    "Speed of the last phase of the backlash operation - 500.00 steps/s\n"
    "<Angular Encoder Step> Equals <Angular Step Motor Step>/<2.50>\n";

}  // namespace

TEST(StageReports, ParameterReportPresetsPulseAndBacklashLines) {
    USMC_Parameters p1 = preset(1), p2 = preset(2);
    EXPECT_EQ(captured([&] { PrintDParameters(&p1); }), kPreset1Report);
    EXPECT_EQ(captured([&] { PrintDParameters(&p2); }), kPreset2Report);

    const std::string pulse = "Duration of the output synchronization pulse - ";
    const std::string loft = "Speed of the last phase of the backlash operation - ";
    USMC_Parameters p = preset(1);
    p.SynOUTP = 0;
    p.LoftPeriod = 0;
    std::string out = captured([&] { PrintDParameters(&p); });
    EXPECT_NE(out.find(pulse + "minimal\n"), std::string::npos);
    EXPECT_NE(out.find(loft + "normal\n"), std::string::npos);
    p.SynOUTP = 3;
    p.LoftPeriod = 0.001f;  // not exactly 0: a speed
    out = captured([&] { PrintDParameters(&p); });
    EXPECT_NE(out.find(pulse + "2.5 * [Tact Period]\n"), std::string::npos);
    EXPECT_NE(out.find(loft + "0.00 steps/s\n"), std::string::npos);
    // Word fields are unsigned.
    p.MaxLoft = 65535;
    out = captured([&] { PrintDParameters(&p); });
    EXPECT_NE(out.find("Backlash operation distance - 65535 steps\n"), std::string::npos);
}

TEST(StageReports, StateReport) {
    USMC_State s{};
    s.CurPos = -1234; s.Temp = 36.5f; s.SDivisor = 8; s.Power = TRUE; s.FullPower = FALSE;
    s.RUN = TRUE; s.CW_CCW = FALSE; s.FullSpeed = TRUE; s.AReset = TRUE; s.Trailer1 = TRUE;
    s.Voltage = 12.04f;
    EXPECT_EQ(captured([&] { PrintDState(&s); }),
              "The state is:\n"
              "- Current Position in microsteps - -1234\n"
              "- Temperature - 36.50\xF8" "C\n"
              "- Step Divisor - 8\n"
              "- Loft State - Fixed\n"
              "- Power - Half\n"
              "- Step Motor is Running in CW Direction \n"
              "- Device is After Reset\n"
              "- Input Synchronization Logical Pin State - FALSE\n"
              "- Output Synchronization Logical Pin State - FALSE\n"
              "- Rotary Transducer Logical Pin State - FALSE\n"
              "- Rotary Transducer Error Flag - Clear\n"
              "- Emergency Disable Button - Unpushed\n"
              "- Trailer 1 Press State - Pushed\n"
              "- Trailer 2 Press State - Unpushed\n"
              "- Input Voltage - 12.0V\n");

    s.SDivisor = 1; s.CW_CCW = 7;  // any nonzero BOOL is TRUE
    std::string out = captured([&] { PrintDState(&s); });
    EXPECT_NE(out.find("- Step Motor is Running in CCW Direction at Full Speed\n"), std::string::npos);
    s.FullSpeed = FALSE;
    out = captured([&] { PrintDState(&s); });
    EXPECT_NE(out.find("- Step Motor is Running in CCW Direction \n"), std::string::npos);
    s.RUN = FALSE; s.Power = FALSE; s.FullPower = TRUE; s.Voltage = 0; s.Loft = TRUE;
    out = captured([&] { PrintDState(&s); });
    EXPECT_NE(out.find("- Step Motor is Not Running\n"), std::string::npos);
    EXPECT_NE(out.find("- Power - Off\n"), std::string::npos);
    EXPECT_NE(out.find("- Input Voltage - Low\n"), std::string::npos);
    EXPECT_NE(out.find("- Loft State - Indefinite\n"), std::string::npos);
}

TEST(StageReports, ModeReportEncoderOnAndSwitchesOff) {
    USMC_Mode m{};
    m.PMode = FALSE; m.Butt1T = TRUE; m.PReg = TRUE; m.ResetD = TRUE; m.EMReset = TRUE;
    m.Tr1En = TRUE; m.Tr1T = TRUE; m.Tr2En = FALSE; m.TrSwap = TRUE;
    m.EncoderEn = TRUE; m.EncoderInv = TRUE; m.RotTeEn = TRUE;
    m.SyncOUTEn = TRUE; m.SyncOUTR = FALSE; m.SyncCount = 4000000000u; m.SyncInvert = TRUE;
    EXPECT_EQ(captured([&] { PrintDMode(&m); }),
              "Mode parameters:\n"
              "Buttons - Enabled\n"
              "Button 1 TRUE state - +3/+5 V\n"
              "Button 2 TRUE state - 0 V(GND)\n"
              "Current reduction regime - Used\n"
              "Power - Emerjency Off\n"
              "Trailers are - Swapped\n"
              "Trailer 1 - Enabled\n"
              "Trailer 1 TRUE state - +3/+5 V\n"
              "Trailer 2 - Disabled\n"
              "Encoder - Enabled\n"
              "Encoder Position Counter is Inverted\n"
              "Rotary Transducer and Input Syncronisation are\n Disabled Because of Encoder\n"
              "Output Syncronization - Enabled\n"
              "Reset Output Synchronization Counter - No, why?\n"
              "Number of steps after which synchronization output sygnal occures - 4000000000\n"
              "Synchronization Output is INVERTED\n");

    USMC_Mode off{};
    off.PMode = TRUE; off.RotTeEn = TRUE; off.RotTrOp = TRUE; off.ResetRT = TRUE; off.SyncINOp = TRUE;
    EXPECT_EQ(captured([&] { PrintDMode(&off); }),
              "Mode parameters:\n"
              "Buttons - Disabled\n"
              "Current reduction regime - Not Used\n"
              "Power - On\n"
              "Trailer 1 - Disabled\n"
              "Trailer 2 - Disabled\n"
              "Encoder - Disabled\n"
              "Rotary Transducer - Enabled\n"
              "Rotary Transducer TRUE state - 0 V(GND)\n"
              "Rotary Transducer Operation - Stop on error\n"
              "Reset Rotary Transducer Check Positions - Initiated\n"
              "Synchronization input mode:\n"
              "Step motor will move one time to the destination position\n"
              "Output Syncronization - Disabled\n"
              "Synchronization Output is NORMAL\n");
}

TEST(StageReports, StartParametersAndEncoderState) {
    USMC_StartParameters sp{};
    sp.SDivisor = 1; sp.SlStart = TRUE; sp.LoftEn = TRUE; sp.WSyncIN = TRUE; sp.SyncOUTR = TRUE;
    EXPECT_EQ(captured([&] { PrintDStartParameters(-500000, 10000.0f, &sp); }),
              "Destination position - -500000\n"
              "Speed - 10000.00tacts/s\n"
              "Steps Divisor - 1\n"
              "Slow start/stop mode - Enabled\n"
              "Controller will wait for input synchronization signal to start\n"
              "Output synchronization counter will be reset\n");
    sp.SDivisor = 8; sp.WSyncIN = FALSE; sp.SyncOUTR = FALSE; sp.DefDir = TRUE; sp.ForceLoft = FALSE;
    EXPECT_EQ(captured([&] { PrintDStartParameters(5000, 15000.0f, &sp); }),
              "Destination position - 5000\n"
              "Speed - 15000.00tacts/s\n"
              "Steps Divisor - 8\n"
              "Automatic backlash operation - Enabled\n"
              "Automatic backlash operation direction - CCW\n"
              "Force automatic backlash operation - FALSE\n"
              "Input synchronization signal ignored \n"
              "Output synchronization counter will not be reset\n");
    sp.LoftEn = FALSE;
    std::string out = captured([&] { PrintDStartParameters(0, 500.0f, &sp); });
    EXPECT_NE(out.find("Steps Divisor - 8\nAutomatic backlash operation - Disabled\nInput"), std::string::npos);
    EXPECT_EQ(out.find("Slow start"), std::string::npos);

    USMC_EncoderState e{};
    e.ECurPos = 5; e.EncoderPos = -7;
    USMC_Parameters p = preset(2);
    EXPECT_EQ(captured([&] { PrintEncState(&e, &p); }),
              "The encoder state is:\n"
              "- Current Position in microsteps - 2.00\n"
              "- Encoder Position in microsteps - -2.80\n\n"
              "- Current Position in \"Half of Encoder Step\"s - 5\n"
              "- Encoder Position in \"Half of Encoder Step\"s - -7\n");
}

TEST(StageReports, DeviceListAndLastError) {
    const char *serials[] = {"0000000000004925XYZ", "0000000000006030"};
    usmc_sim_select(true);
    usmc_sim_reset();
    usmc_sim_set_devices(serials, 2);
    std::string out = captured([] { ASSERT_EQ(uSMC_Open(), 0); });
    EXPECT_EQ(out,
              "Device - 0,\tSerial Number - 0000000000004925,\tVersion - 2.41\n"
              "Device - 1,\tSerial Number - 0000000000006030,\tVersion - 2.41\n");
    // The library's text of a failure, after a line feed and without one at the end.
    usmc_sim_fail("USMC_GetState", 0, 77, 1);
    int pos = 0;
    EXPECT_EQ(uSMC_GetPosition(2, &pos), 77);
    EXPECT_EQ(captured([] { PrintError(); }), "\nUSMC_GetState failed (simulated fault, code 0x4D)");
    uSMC_Close();
}

// ---- stage types through the driver, on a simulated controller -------------------------------

namespace {

struct StageTypes : testing::Test {
    void SetUp() override {
        usmc_sim_select(true);
        usmc_sim_reset();
        CaptureStdout();
        ASSERT_EQ(uSMC_Open(), 0);
        GetCapturedStdout();
        // The controller's own values that no preset touches, and a mode the presets must keep
        // or overwrite.
        USMC_Parameters p;
        ASSERT_EQ(USMC_GetParameters(0, &p), 0u);
        p.BTimeoutD = 77;
        p.StartPos = 1234;
        ASSERT_EQ(USMC_SetParameters(0, &p), 0u);
        USMC_Mode m;
        ASSERT_EQ(USMC_GetMode(0, &m), 0u);
        m.Tr1En = FALSE; m.Tr2T = TRUE; m.TrSwap = TRUE; m.EncoderEn = TRUE; m.ResetD = TRUE;
        m.SyncCount = 99;
        ASSERT_EQ(USMC_SetMode(0, &m), 0u);
        usmc_sim_clear_logs();
    }
    void TearDown() override { uSMC_Close(); }
    std::string calls() {
        char buf[4096];
        usmc_sim_calls(buf, sizeof buf);
        return buf;
    }
    USMC_Parameters params() {
        USMC_Parameters p;
        EXPECT_EQ(USMC_GetParameters(0, &p), 0u);
        return p;
    }
    USMC_Mode mode() {
        USMC_Mode m;
        EXPECT_EQ(USMC_GetMode(0, &m), 0u);
        return m;
    }
    // Parameters as the report shows them, plus the fields the report leaves out.
    std::string shown(USMC_Parameters p) {
        CaptureStdout();
        PrintDParameters(&p);
        return GetCapturedStdout() + " D" + std::to_string(p.BTimeoutD) + " S" + std::to_string(p.StartPos);
    }
};

}  // namespace

TEST_F(StageTypes, Type1WritesPreset1SwitchesAndPowerWithoutFlash) {
    CaptureStdout();
    ASSERT_EQ(uSMC_Init(1, 1), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(calls(),
              "USMC_GetParameters 0\nUSMC_SetParameters 0\n"
              "USMC_GetMode 0\nUSMC_SetMode 0\n"
              "USMC_GetMode 0\nUSMC_SetMode 0\n");
    USMC_Parameters p1 = preset(1);
    p1.BTimeoutD = 77; p1.StartPos = 1234;
    EXPECT_EQ(shown(params()), shown(p1));
    USMC_Mode m = mode();
    EXPECT_TRUE(m.Tr1En && m.Tr2En);
    EXPECT_FALSE(m.Tr1T || m.Tr2T || m.TrSwap || m.EncoderEn || m.ResetD);
    EXPECT_EQ(m.SyncCount, 99u);  // fields the switch mode does not name stay
    EXPECT_TRUE(usmc_sim_powered("0000000000004925"));
}

TEST_F(StageTypes, NegativeTypesSaveToFlashWithReport) {
    CaptureStdout();
    ASSERT_EQ(uSMC_Init(1, -1), 0);
    EXPECT_EQ(GetCapturedStdout(), kPreset1Report + "\nThese Parameters were Saved to Flash");
    EXPECT_NE(calls().find("USMC_SetParameters 0\nUSMC_SaveParametersToFlash 0\nUSMC_GetMode 0\n"),
              std::string::npos);
    EXPECT_TRUE(mode().Tr1En);

    CaptureStdout();
    ASSERT_EQ(uSMC_SetParameters(1, -2), 0);
    EXPECT_EQ(GetCapturedStdout(), kPreset2Report + "\nThese Parameters were Saved to Flash");
    // Flash outlives a re-open: preset 2 and the controller's StartPos come back, and the
    // position counter starts from StartPos.
    uSMC_Close();
    CaptureStdout();
    ASSERT_EQ(uSMC_Open(), 0);
    GetCapturedStdout();
    USMC_Parameters p2 = preset(2);
    p2.BTimeoutD = 77; p2.StartPos = 1234;
    EXPECT_EQ(shown(params()), shown(p2));
    int pos = 0;
    ASSERT_EQ(uSMC_GetPosition(1, &pos), 0);
    EXPECT_EQ(pos, 1234);
}

TEST_F(StageTypes, Type2KeepsModeOtherTypesKeepParameters) {
    ASSERT_EQ(uSMC_Init(1, 2), 0);
    USMC_Parameters p2 = preset(2);
    p2.BTimeoutD = 77; p2.StartPos = 1234;
    EXPECT_EQ(shown(params()), shown(p2));
    USMC_Mode m = mode();
    EXPECT_FALSE(m.Tr1En);
    EXPECT_TRUE(m.TrSwap && m.EncoderEn);
    EXPECT_FALSE(m.ResetD);  // powered all the same
    EXPECT_EQ(calls().find("SaveParametersToFlash"), std::string::npos);

    for (int type : {0, 3}) {
        USMC_Parameters before = params();
        ASSERT_TRUE(usmc_sim_set_position("0000000000004925", 0));
        USMC_Mode off = mode();
        off.ResetD = TRUE;
        ASSERT_EQ(USMC_SetMode(0, &off), 0u);
        usmc_sim_clear_logs();
        CaptureStdout();
        ASSERT_EQ(uSMC_Init(1, type), 0) << type;
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(calls(),
                  "USMC_GetParameters 0\nUSMC_SetParameters 0\nUSMC_GetMode 0\nUSMC_SetMode 0\n");
        EXPECT_EQ(shown(params()), shown(before)) << type;
        EXPECT_FALSE(mode().ResetD);
    }
}
