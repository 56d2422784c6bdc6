#pragma once
// Receives the messages of an OstMqttClient on its own thread. The client's network thread
// posts one MessageEvent per message to every registered receiver; event() hands it to
// processMessage(), whose default emits messageReceived.

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QString>

class OstMqttMessageReceiver : public QObject {
    Q_OBJECT
public:
    class MessageEvent : public QEvent {
    public:
        static inline const QEvent::Type Type = QEvent::Type(QEvent::registerEventType());

        MessageEvent(QString topic, QByteArray payload)
            : QEvent(Type)
            , m_topic(std::move(topic))
            , m_payload(std::move(payload))
        {
        }
        const QString& topic() const { return m_topic; }
        const QByteArray& payload() const { return m_payload; }

    private:
        QString m_topic;
        QByteArray m_payload;
    };

    explicit OstMqttMessageReceiver(QObject* parent = nullptr);

    bool event(QEvent* e) override;

signals:
    void messageReceived(const QString& topic, const QByteArray& payload);

protected:
    virtual void processMessage(const QString& topic, const QByteArray& payload);
};
