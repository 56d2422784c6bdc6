#pragma once
// Fixed-wing position gains; the same fields as the multirotor group, stored apart on the vehicle.

#include "MavProtoParamsRecords.h"

#include <QObject>

#include <memory>

class MavFixedPosCtrlParamsDataItem : public QObject {
    Q_OBJECT
public:
    explicit MavFixedPosCtrlParamsDataItem(QObject* parent = nullptr);

    MavProtoFixedPosCtrlParams_t protoData() { return m_data; }
    const MavProtoFixedPosCtrlParams_t& protoData() const { return m_data; }
    void updateProtoData(const MavProtoFixedPosCtrlParams_t& data) { m_data = data; }

    float posXP() const { return m_data.posXP; }
    void setPosXP(float value) { m_data.posXP = value; }
    float posYP() const { return m_data.posYP; }
    void setPosYP(float value) { m_data.posYP = value; }
    float posZP() const { return m_data.posZP; }
    void setPosZP(float value) { m_data.posZP = value; }
    float posXI() const { return m_data.posXI; }
    void setPosXI(float value) { m_data.posXI = value; }
    float posYI() const { return m_data.posYI; }
    void setPosYI(float value) { m_data.posYI = value; }
    float posZI() const { return m_data.posZI; }
    void setPosZI(float value) { m_data.posZI = value; }
    float posXD() const { return m_data.posXD; }
    void setPosXD(float value) { m_data.posXD = value; }
    float posYD() const { return m_data.posYD; }
    void setPosYD(float value) { m_data.posYD = value; }
    float posZD() const { return m_data.posZD; }
    void setPosZD(float value) { m_data.posZD = value; }
    float posHKf() const { return m_data.posHKf; }
    void setPosHKf(float value) { m_data.posHKf = value; }
    float posVKf() const { return m_data.posVKf; }
    void setPosVKf(float value) { m_data.posVKf = value; }
    float velXP() const { return m_data.velXP; }
    void setVelXP(float value) { m_data.velXP = value; }
    float velYP() const { return m_data.velYP; }
    void setVelYP(float value) { m_data.velYP = value; }
    float velZP() const { return m_data.velZP; }
    void setVelZP(float value) { m_data.velZP = value; }
    float velXI() const { return m_data.velXI; }
    void setVelXI(float value) { m_data.velXI = value; }
    float velYI() const { return m_data.velYI; }
    void setVelYI(float value) { m_data.velYI = value; }
    float velZI() const { return m_data.velZI; }
    void setVelZI(float value) { m_data.velZI = value; }
    float velXD() const { return m_data.velXD; }
    void setVelXD(float value) { m_data.velXD = value; }
    float velYD() const { return m_data.velYD; }
    void setVelYD(float value) { m_data.velYD = value; }
    float velZD() const { return m_data.velZD; }
    void setVelZD(float value) { m_data.velZD = value; }

private:
    MavProtoFixedPosCtrlParams_t m_data{};
};

using MavFixedPosCtrlParamsDataItemPtr = std::shared_ptr<MavFixedPosCtrlParamsDataItem>;
