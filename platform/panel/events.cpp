// The event queue and the timers: one first-in first-out queue of the operator's and the
// program's events, the wait that delivers window input, timer callbacks and scripted operator
// steps while the program waits for its next event, and the end request put ahead of all.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <deque>

#include "platform/core/clock.h"
#include "platform/core/endrequest.h"
#include "platform/panel/ui_panel.h"

namespace {

struct Event {
    int event, panel, control;
};

std::deque<Event> g_queue;

// Calls the callbacks of the timers whose interval has passed.
void runTimers() {
    double now = Timer();
    for (auto &pk : ui_panels()) {
        int panel = pk.first;
        for (auto &kv : pk.second->ctrls) {
            UiControl &c = kv.second;
            if (c.kind != CtrlKind::Timer || !c.enabled || now < c.due) continue;
            // One call however late we are; the next interval counts from now.
            c.due = now + std::max(c.interval, 0.001);
            if (c.callback) c.callback(panel, c.id, EVENT_TIMER_TICK, nullptr, 0, 0);
            // The callback may discard the panel; stop walking its controls then.
            if (!ui_panel(panel)) return;
        }
    }
}

double nextTimerDue() {
    double due = 1e300;
    for (auto &pk : ui_panels())
        for (auto &kv : pk.second->ctrls)
            if (kv.second.kind == CtrlKind::Timer && kv.second.enabled) due = std::min(due, kv.second.due);
    return due;
}

// A request to end the program goes ahead of every waiting event, on the quit control with an
// event number of its own.
void queueEndRequest() {
    if (ui_panels().empty() || !TakeUnqueuedEndRequest()) return;
    UiPanel *p = ui_panels().begin()->second;
    g_queue.push_front({EVENT_END_REQUEST, p->handle, ui_quit_control()});
}

bool g_pumping = false;
void pump(bool idle) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    queueEndRequest();
    if (g_pumping) return;  // a callback or step re-entered: no nested timers or steps
    g_pumping = true;
    // The scripted operator looks first: a program back in its wait is idle even when a timer
    // is already overdue (a poll slower than its interval), as a person at the panel would see it.
    op_run(idle && g_queue.empty());
    runTimers();
    g_pumping = false;
}

}  // namespace

void ui_queue_event(int event, int panel, int control) { g_queue.push_back({event, panel, control}); }

int ui_queue_length() { return (int)g_queue.size(); }

void ui_drop_events(int panel) {
    g_queue.erase(std::remove_if(g_queue.begin(), g_queue.end(), [panel](const Event &e) { return e.panel == panel; }),
                  g_queue.end());
}

int GetUserEvent(int wait, int *panel, int *control) {
    for (;;) {
        bool idle = wait && g_queue.empty();
        pump(idle);
        if (!g_queue.empty()) {
            Event e = g_queue.front();
            g_queue.pop_front();
            if (panel) *panel = e.panel;
            if (control) *control = e.control;
            return e.event;
        }
        if (!wait) return 0;
        // Sleep until a window event arrives or a timer or script step may be due, at most 10 ms.
        double untilProgram = std::min(nextTimerDue(), op_next_due()) - Timer();
        int ms = untilProgram > 1e6 ? 10 : std::clamp(clock_real_ms(std::max(untilProgram, 0.0)), 1, 10);
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(ms);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

int QueueUserEvent(int eventNumber, int panel, int control) {
    if (!ui_panel(panel)) return UIEInvalidPanel;
    ui_queue_event(eventNumber, panel, control);
    return 0;
}

int UserEventPending(int panel, int control) {
    for (const Event &e : g_queue)
        if (e.panel == panel && e.control == control) return 1;
    return 0;
}

int ProcessSystemEvents(void) {
    pump(false);
    return 0;
}
