#pragma once
// Posted by the request queue's worker to the request's owner when a request times out for good.

#include "MavCmdRequestMessage.h"

#include <QEvent>

class MavCmdTimeoutEvent : public QEvent {
public:
    static QEvent::Type eventType()
    {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }

    explicit MavCmdTimeoutEvent(MavCmdRequestMessagePtr req)
        : QEvent(eventType())
        , m_req(std::move(req))
    {
    }

    MavCmdRequestMessagePtr request() const { return m_req; }

private:
    MavCmdRequestMessagePtr m_req;
};
