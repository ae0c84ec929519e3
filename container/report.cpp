// Events to the run's reporter (see report.h).
#include "container/report.h"

void report(const Reporter* rep, EventKind kind, int32_t code,
            std::initializer_list<EventArg> args) {
    if (rep == nullptr || rep->event == nullptr) return;
    Event ev;
    ev.code = code;
    ev.kind = kind;
    ev.argc = 0;
    for (const EventArg& a : args) {
        if (ev.argc == EVENT_ARGS_MAX) break;
        ev.args[ev.argc++] = a;
    }
    rep->event(rep->ctx, &ev);
}
