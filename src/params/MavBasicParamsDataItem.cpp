#include "MavBasicParamsDataItem.h"

#include <algorithm>
#include <cstring>

MavBasicParamsDataItem::MavBasicParamsDataItem(QObject* parent)
    : QObject(parent)
{
}

void MavBasicParamsDataItem::setVersion(const QString& text)
{
    const QByteArray latin1 = text.toLatin1();
    std::memcpy(m_data.version, latin1.constData(), std::min<size_t>(size_t(latin1.size()), sizeof(m_data.version)));
}
