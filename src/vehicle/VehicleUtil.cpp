#include "VehicleUtil.h"
#include "common/VehicleMessage.h"

#include "GcsLoginManager.h"

#include <spdlog/spdlog.h>

QString VehicleUtil::gcsRetToString(int ret)
{
    switch (ret) {
    case -2001: return tr("目标长度错误");
    case -2010: return tr("固件升级中，指令被拒绝");
    case 0: return tr("指令已执行");
    case 1: return tr("指令暂时挂起");
    case 2: return tr("指令永久拒绝");
    case 3: return tr("指令不支持");
    case 4: return tr("指令执行失败");
    case 5: return tr("指令执行完成");
    case 6: return tr("指令拒绝");
    case 8: return tr("参数超出范围");
    case 5000: return tr("指令执行超时");
    default: return tr("执行出错");
    }
}

QString VehicleUtil::cmdToText(int cmd)
{
    switch (cmd) {
    case 0x00: return tr("心跳包");
    case 0x01: return tr("基本参数");
    case 0x02: return tr("M姿态参数");
    case 0x03: return tr("M位置参数");
    case 0x04: return tr("F姿态参数");
    case 0x05: return tr("F位置参数");
    case 0x09: return tr("重置所有参数");
    case 0x0A: return tr("加速度计校准");
    case 0x0B: return tr("磁罗盘校准");
    case 0x0E: return tr("无人机序列号");
    case 0x0F: return tr("预留参数");
    case 0x20: return tr("请求所有数据");
    case 0x21: return tr("AHRS数据");
    case 0x22: return tr("位置数据");
    case 0x23: return tr("期望位姿数据");
    case 0x24: return tr("遥控器数据");
    case 0x25: return tr("飞行状态数据");
    case 0x2F: return tr("预留数据");
    case 0x40: return tr("下载航点基本数据");
    case 0x41: return tr("下载航点详细数据");
    case 0x42: return tr("上传航点基本数据");
    case 0x43: return tr("上传航点详细数据");
    case 0x81: return tr("起飞");
    case 0x82: return tr("暂停");
    case 0x83: return tr("继续");
    case 0x84: return tr("降落");
    case 0x85: return tr("返航");
    case 0x86: return tr("执行航线");
    case 0x87: return tr("编队控制");
    case 0x89: return tr("怠速电机检测");
    case 0xA1: return tr("更新");
    case 0xA2: return tr("更新固件信息");
    case 0xA3: return tr("更新固件数据");
    default: return QString::number(cmd);
    }
}

QString VehicleUtil::formationCtrlCmdToText(quint8 value)
{
    return value != 0 ? tr("编队开始") : tr("取消编队飞行");
}

bool VehicleUtil::checkVehicleValid(const std::shared_ptr<VehicleController>& vehicle)
{
    if (!vehicle) {
        spdlog::info("vehicle is not valid");
        return false;
    }
    return true;
}

bool VehicleUtil::fillVehicleMessageWithAuth(VehicleMessage& message, const std::shared_ptr<GcsLoginManager>& loginMgr)
{
    if (!loginMgr)
        return false;
    message.clientId = loginMgr->mqttClientId();
    message.uid = loginMgr->uid();
    message.token = loginMgr->token();
    return true;
}
