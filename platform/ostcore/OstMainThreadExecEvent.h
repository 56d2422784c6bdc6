#pragma once
// An event that carries a callable to run on the thread of the object it is posted to (the
// application object, i.e. the main thread). The application's event() calls exec().

#include <QEvent>

#include <functional>
#include <utility>

class OstMainThreadExecEvent : public QEvent {
public:
    static inline const QEvent::Type MainThreadExecEvent = QEvent::Type(QEvent::registerEventType());

    explicit OstMainThreadExecEvent(std::function<void()> func)
        : QEvent(MainThreadExecEvent)
        , m_func(std::move(func))
    {
    }

    bool hasFunc() const { return bool(m_func); }
    void exec()
    {
        if (m_func)
            m_func();
    }

private:
    std::function<void()> m_func;
};
