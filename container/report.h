// Events: how the layers below the front ends say what happened.
//
// The engine never prints. Every message, warning and progress step it has
// for a person is an Event: a code (one per thing that can be said, each
// layer numbering its own in a range of its own) and the values that go
// with it. The run's Reporter receives it; the front end behind the
// Reporter chooses the words, the stream and the moment: unbak prints its
// exact legacy text on stdout, another front end writes its own words on
// stderr or JSON, a silent caller passes no Reporter at all.
#ifndef CONTAINER_REPORT_H
#define CONTAINER_REPORT_H

#include <stdint.h>

#include <initializer_list>

enum EventKind {
    EVENT_MESSAGE,   // what the run does or found
    EVENT_WARNING,   // something not as recorded; the run goes on
    EVENT_PROGRESS,  // a step of long work (a disk change, a file done)
};

// Code ranges, one per layer; a front end may use what lies above them.
enum {
    EVENTS_CONTAINER = 1000,
    EVENTS_CATALOG = 2000,
    EVENTS_RESTORE = 3000,
    EVENTS_FRONT_END = 9000,
};

enum { EVENT_ARGS_MAX = 8 };

// One value of an event: a text when text is not null, else a number.
struct EventArg {
    const char* text;
    int64_t num;
};

static inline EventArg ev_num(int64_t n) {
    return EventArg{nullptr, n};
}
// A text value; a null text is given as the empty text.
static inline EventArg ev_text(const char* s) {
    return EventArg{s ? s : "", 0};
}

struct Event {
    int32_t code;
    EventKind kind;
    int32_t argc;
    EventArg args[EVENT_ARGS_MAX];
};

struct Reporter {
    void (*event)(void* ctx, const Event* ev);
    void* ctx;
};

// Hands one event to the reporter; nothing happens when the reporter (or
// its function) is null. Values beyond EVENT_ARGS_MAX are dropped.
void report(const Reporter* rep, EventKind kind, int32_t code,
            std::initializer_list<EventArg> args = {});

static inline void say(const Reporter* rep, int32_t code,
                       std::initializer_list<EventArg> args = {}) {
    report(rep, EVENT_MESSAGE, code, args);
}
static inline void warn(const Reporter* rep, int32_t code,
                        std::initializer_list<EventArg> args = {}) {
    report(rep, EVENT_WARNING, code, args);
}

#endif
