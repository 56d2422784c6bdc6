#pragma once
// Reserved parameters (res0 .. res19 float, res20 .. res29 double) whose meaning is the vehicle
// firmware's. Each has a display element named "resN" whose value text is the value with two
// decimals; users rename them through custom name fields. Setting values emits nothing: the
// parameters controller announces reads itself.

#include "MavProtoParamsRecords.h"
#include "params/MavBaseParamsDataItem.h"

#include <array>

class MavResParamsDataItem final : public MavBaseParamsDataItem {
    Q_OBJECT
public:
    static constexpr int ValueCount = 30;

    explicit MavResParamsDataItem(QObject* parent = nullptr);

    // Empty when the item is not owned by a shared pointer.
    std::shared_ptr<MavBaseParamsDataItem> selfPointer() override { return weak_from_this().lock(); }

    MavProtoResParams_t protoData() { return m_data; }
    const MavProtoResParams_t& protoData() const { return m_data; }
    // Replaces the record and rewrites every value text.
    void updateProtoData(const MavProtoResParams_t& data);

    float res0() const { return m_data.res0; }
    void setRes0(float value)
    {
        m_data.res0 = value;
        showValue(0, value);
    }
    MavParamsDataElementPtr res0Element() const { return m_resElements[0]; }
    float res1() const { return m_data.res1; }
    void setRes1(float value)
    {
        m_data.res1 = value;
        showValue(1, value);
    }
    MavParamsDataElementPtr res1Element() const { return m_resElements[1]; }
    float res2() const { return m_data.res2; }
    void setRes2(float value)
    {
        m_data.res2 = value;
        showValue(2, value);
    }
    MavParamsDataElementPtr res2Element() const { return m_resElements[2]; }
    float res3() const { return m_data.res3; }
    void setRes3(float value)
    {
        m_data.res3 = value;
        showValue(3, value);
    }
    MavParamsDataElementPtr res3Element() const { return m_resElements[3]; }
    float res4() const { return m_data.res4; }
    void setRes4(float value)
    {
        m_data.res4 = value;
        showValue(4, value);
    }
    MavParamsDataElementPtr res4Element() const { return m_resElements[4]; }
    float res5() const { return m_data.res5; }
    void setRes5(float value)
    {
        m_data.res5 = value;
        showValue(5, value);
    }
    MavParamsDataElementPtr res5Element() const { return m_resElements[5]; }
    float res6() const { return m_data.res6; }
    void setRes6(float value)
    {
        m_data.res6 = value;
        showValue(6, value);
    }
    MavParamsDataElementPtr res6Element() const { return m_resElements[6]; }
    float res7() const { return m_data.res7; }
    void setRes7(float value)
    {
        m_data.res7 = value;
        showValue(7, value);
    }
    MavParamsDataElementPtr res7Element() const { return m_resElements[7]; }
    float res8() const { return m_data.res8; }
    void setRes8(float value)
    {
        m_data.res8 = value;
        showValue(8, value);
    }
    MavParamsDataElementPtr res8Element() const { return m_resElements[8]; }
    float res9() const { return m_data.res9; }
    void setRes9(float value)
    {
        m_data.res9 = value;
        showValue(9, value);
    }
    MavParamsDataElementPtr res9Element() const { return m_resElements[9]; }
    float res10() const { return m_data.res10; }
    void setRes10(float value)
    {
        m_data.res10 = value;
        showValue(10, value);
    }
    MavParamsDataElementPtr res10Element() const { return m_resElements[10]; }
    float res11() const { return m_data.res11; }
    void setRes11(float value)
    {
        m_data.res11 = value;
        showValue(11, value);
    }
    MavParamsDataElementPtr res11Element() const { return m_resElements[11]; }
    float res12() const { return m_data.res12; }
    void setRes12(float value)
    {
        m_data.res12 = value;
        showValue(12, value);
    }
    MavParamsDataElementPtr res12Element() const { return m_resElements[12]; }
    float res13() const { return m_data.res13; }
    void setRes13(float value)
    {
        m_data.res13 = value;
        showValue(13, value);
    }
    MavParamsDataElementPtr res13Element() const { return m_resElements[13]; }
    float res14() const { return m_data.res14; }
    void setRes14(float value)
    {
        m_data.res14 = value;
        showValue(14, value);
    }
    MavParamsDataElementPtr res14Element() const { return m_resElements[14]; }
    float res15() const { return m_data.res15; }
    void setRes15(float value)
    {
        m_data.res15 = value;
        showValue(15, value);
    }
    MavParamsDataElementPtr res15Element() const { return m_resElements[15]; }
    float res16() const { return m_data.res16; }
    void setRes16(float value)
    {
        m_data.res16 = value;
        showValue(16, value);
    }
    MavParamsDataElementPtr res16Element() const { return m_resElements[16]; }
    float res17() const { return m_data.res17; }
    void setRes17(float value)
    {
        m_data.res17 = value;
        showValue(17, value);
    }
    MavParamsDataElementPtr res17Element() const { return m_resElements[17]; }
    float res18() const { return m_data.res18; }
    void setRes18(float value)
    {
        m_data.res18 = value;
        showValue(18, value);
    }
    MavParamsDataElementPtr res18Element() const { return m_resElements[18]; }
    float res19() const { return m_data.res19; }
    void setRes19(float value)
    {
        m_data.res19 = value;
        showValue(19, value);
    }
    MavParamsDataElementPtr res19Element() const { return m_resElements[19]; }
    double res20() const { return m_data.res20; }
    void setRes20(double value)
    {
        m_data.res20 = value;
        showValue(20, value);
    }
    MavParamsDataElementPtr res20Element() const { return m_resElements[20]; }
    double res21() const { return m_data.res21; }
    void setRes21(double value)
    {
        m_data.res21 = value;
        showValue(21, value);
    }
    MavParamsDataElementPtr res21Element() const { return m_resElements[21]; }
    double res22() const { return m_data.res22; }
    void setRes22(double value)
    {
        m_data.res22 = value;
        showValue(22, value);
    }
    MavParamsDataElementPtr res22Element() const { return m_resElements[22]; }
    double res23() const { return m_data.res23; }
    void setRes23(double value)
    {
        m_data.res23 = value;
        showValue(23, value);
    }
    MavParamsDataElementPtr res23Element() const { return m_resElements[23]; }
    double res24() const { return m_data.res24; }
    void setRes24(double value)
    {
        m_data.res24 = value;
        showValue(24, value);
    }
    MavParamsDataElementPtr res24Element() const { return m_resElements[24]; }
    double res25() const { return m_data.res25; }
    void setRes25(double value)
    {
        m_data.res25 = value;
        showValue(25, value);
    }
    MavParamsDataElementPtr res25Element() const { return m_resElements[25]; }
    double res26() const { return m_data.res26; }
    void setRes26(double value)
    {
        m_data.res26 = value;
        showValue(26, value);
    }
    MavParamsDataElementPtr res26Element() const { return m_resElements[26]; }
    double res27() const { return m_data.res27; }
    void setRes27(double value)
    {
        m_data.res27 = value;
        showValue(27, value);
    }
    MavParamsDataElementPtr res27Element() const { return m_resElements[27]; }
    double res28() const { return m_data.res28; }
    void setRes28(double value)
    {
        m_data.res28 = value;
        showValue(28, value);
    }
    MavParamsDataElementPtr res28Element() const { return m_resElements[28]; }
    double res29() const { return m_data.res29; }
    void setRes29(double value)
    {
        m_data.res29 = value;
        showValue(29, value);
    }
    MavParamsDataElementPtr res29Element() const { return m_resElements[29]; }

private:
    void showValue(int index, double value) { m_resElements[size_t(index)]->setValue(QString::number(value, 'f', 2)); }

    MavProtoResParams_t m_data{};
    std::array<MavParamsDataElementPtr, ValueCount> m_resElements;
};

using MavResParamsDataItemPtr = std::shared_ptr<MavResParamsDataItem>;
