#include "MavPosDataItem.h"

using E = MavTeleDataElement;

MavPosDataItem::MavPosDataItem(QObject* parent)
    : MavTeleBaseDataItem(parent)
{
    const QString deg = QStringLiteral("°");
    const QString m = QStringLiteral("m");
    const QString mps = QStringLiteral("m/s");
    m_homeLatElement = addElement(E::PosHomeLat, tr("home纬度"), deg);
    m_homeLonElement = addElement(E::PosHomeLon, tr("home经度"), deg);
    m_latElement = addElement(E::PosLat, tr("纬度"), deg);
    m_lonElement = addElement(E::PosLon, tr("经度"), deg);
    m_altElement = addElement(E::PosAlt, tr("高度"), m);
    m_rtkNorthLineElement = addElement(E::PosRtkNorthLine, tr("北向相对距离"), m);
    m_rtkEastLineElement = addElement(E::PosRtkEastLine, tr("东向相对距离"), m);
    m_rtkUpLineElement = addElement(E::PosRtkUpLine, tr("相对高度"), m);
    m_northSpdElement = addElement(E::PosNorthSpd, tr("北向速度"), mps);
    m_eastSpdElement = addElement(E::PosEastSpd, tr("东向速度"), mps);
    m_upSpdElement = addElement(E::PosUpSpd, tr("天向速度"), mps);
    m_ekfNorthLineElement = addElement(E::PosEkfNorthLine, tr("融合北向相对距离"), m);
    m_ekfEastLineElement = addElement(E::PosEkfEastLine, tr("融合东向相对距离"), m);
    m_ekfUpLineElement = addElement(E::PosEkfUpLine, tr("融合相对高度"), m);
    m_ekfNorthSpdElement = addElement(E::PosEkfNorthSpd, tr("融合北向速度"), mps);
    m_ekfEastSpdElement = addElement(E::PosEkfEastSpd, tr("融合东向速度"), mps);
    m_ekfUpSpdElement = addElement(E::PosEkfUpSpd, tr("融合天向速度"), mps);
    m_rtkYawElement = addElement(E::PosRtkYaw, tr("双天线航向"), deg);
    m_posSatNumElement = addElement(E::PosSatNum, tr("单点卫星数"));
    m_rtkSatNumElement = addElement(E::PosRtkSatNum, tr("差分卫星数"));
}

void MavPosDataItem::showComprehensiveFields()
{
    m_latElement->setNumber(m_data.lat, 8);
    m_lonElement->setNumber(m_data.lon, 8);
    m_altElement->setNumber(m_data.alt, 2);
    m_rtkNorthLineElement->setNumber(m_data.rtkNorthLine, 2);
    m_rtkEastLineElement->setNumber(m_data.rtkEastLine, 2);
    m_rtkUpLineElement->setNumber(m_data.rtkUpLine, 2);
    m_northSpdElement->setNumber(m_data.northSpd, 2);
    m_eastSpdElement->setNumber(m_data.eastSpd, 2);
    m_upSpdElement->setNumber(m_data.upSpd, 2);
    m_posSatNumElement->setNumber(m_data.posSatNum, 0);
}

void MavPosDataItem::updateProtoData(const MavProtoPosData_t& data)
{
    m_data = data;
    m_homeLatElement->setNumber(m_data.homeLat, 8);
    m_homeLonElement->setNumber(m_data.homeLon, 8);
    showComprehensiveFields();
    m_ekfNorthLineElement->setNumber(m_data.ekfNorthLine, 2);
    m_ekfEastLineElement->setNumber(m_data.ekfEastLine, 2);
    m_ekfUpLineElement->setNumber(m_data.ekfUpLine, 2);
    m_ekfNorthSpdElement->setNumber(m_data.ekfNorthSpd, 2);
    m_ekfEastSpdElement->setNumber(m_data.ekfEastSpd, 2);
    m_ekfUpSpdElement->setNumber(m_data.ekfUpSpd, 2);
    m_rtkYawElement->setNumber(m_data.rtkYaw, 1);
    m_rtkSatNumElement->setNumber(m_data.rtkSatNum, 0);
    emit dataChanged(ValuesUpdated);
}

void MavPosDataItem::updateFromComprehensiveData(const MavProtoComprehensiveData_t& data)
{
    m_data.lat = data.lat;
    m_data.lon = data.lon;
    m_data.alt = data.alt;
    m_data.rtkNorthLine = data.rtkNorthLine;
    m_data.rtkEastLine = data.rtkEastLine;
    m_data.rtkUpLine = data.rtkUpLine;
    m_data.northSpd = data.northSpd;
    m_data.eastSpd = data.eastSpd;
    m_data.upSpd = data.upSpd;
    m_data.posSatNum = data.posSatNum;
    showComprehensiveFields();
    emit dataChanged(ValuesUpdated);
}
