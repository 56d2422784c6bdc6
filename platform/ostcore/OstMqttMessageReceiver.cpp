#include "OstMqttMessageReceiver.h"

OstMqttMessageReceiver::OstMqttMessageReceiver(QObject* parent)
    : QObject(parent)
{
}

bool OstMqttMessageReceiver::event(QEvent* e)
{
    if (e->type() != MessageEvent::Type)
        return QObject::event(e);
    const auto* msg = static_cast<MessageEvent*>(e);
    processMessage(msg->topic(), msg->payload());
    return true;
}

void OstMqttMessageReceiver::processMessage(const QString& topic, const QByteArray& payload)
{
    emit messageReceived(topic, payload);
}
