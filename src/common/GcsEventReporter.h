#pragma once
// Where vehicles report operator events (e.g. a control command sent) to the cloud.

#include <cstdint>
#include <string>

class GcsEventReporter {
public:
    virtual ~GcsEventReporter() = default;
    virtual void reportUavEvent(int eventType, int64_t timeMs, const std::string& content) = 0;
};
