// The progress record handed by reference to every reader and writer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tw {

using TIEProgressHandler = std::function<void(void* sender, int percent)>;

struct TIEProgressRecord {
    TIEProgressHandler Handler; // the I/O component's forwarder; may be empty
    void* Sender = nullptr;     // the I/O component
    int32_t Counter = 0;        // work units done
    int32_t Total = 0;          // work units in all (not every codec uses it)
    double Scale = 0;           // 100 / number of work units
    double Scale2 = 0;          // second factor for multi-pass or multi-page codecs
    bool* AbortFlag = nullptr;  // points at the I/O component's Aborted
    // Where a codec leaves a one-line reason when it aborts; may be null.
    std::string* AbortReason = nullptr;
    int LastPercent = -1;       // last value reported through Handler

    bool Aborted() const { return AbortFlag && *AbortFlag; }

    // Sets the abort flag and, when no reason was given yet, records this one.
    void Abort(std::string_view reason = {}) {
        if (AbortFlag) *AbortFlag = true;
        if (AbortReason && AbortReason->empty() && !reason.empty()) *AbortReason = std::string(reason);
    }

    // Starts counting units (Scale = 100 / units).
    void Begin(int64_t units) {
        Counter = 0;
        Scale = units > 0 ? 100.0 / double(units) : 0;
    }

    // Reports percent when a handler is set and the value changed since the last report.
    void Report(int percent) {
        if (Handler && percent != LastPercent) {
            LastPercent = percent;
            Handler(Sender, percent);
        }
    }

    // One unit done: raise Counter and report trunc(Counter * Scale).
    void Step() {
        ++Counter;
        Report(int(Counter * Scale));
    }
};

} // namespace tw
