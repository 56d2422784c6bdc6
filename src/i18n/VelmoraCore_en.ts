<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>GcsCliCommandRouter</name>
    <message>
        <source>zh_CN</source>
        <comment>language of the installed catalogue</comment>
        <translation>en</translation>
    </message>
</context>
<context>
    <name>GcsConsoleHandler</name>
    <message>
        <source>[发送] </source>
        <translation>[Sent] </translation>
    </message>
    <message>
        <source>[接收] </source>
        <translation>[Received] </translation>
    </message>
    <message>
        <source>飞机 %1  </source>
        <translation>vehicle %1  </translation>
    </message>
</context>
<context>
    <name>MavAhrsDataItem</name>
    <message>
        <source>x轴角速度</source>
        <translation>X angular rate</translation>
    </message>
    <message>
        <source>y轴角速度</source>
        <translation>Y angular rate</translation>
    </message>
    <message>
        <source>z轴角速度</source>
        <translation>Z angular rate</translation>
    </message>
    <message>
        <source>x轴加速度</source>
        <translation>X acceleration</translation>
    </message>
    <message>
        <source>y轴加速度</source>
        <translation>Y acceleration</translation>
    </message>
    <message>
        <source>z轴加速度</source>
        <translation>Z acceleration</translation>
    </message>
    <message>
        <source>x轴磁场强度</source>
        <translation>X magnetic field</translation>
    </message>
    <message>
        <source>y轴磁场强度</source>
        <translation>Y magnetic field</translation>
    </message>
    <message>
        <source>z轴磁场强度</source>
        <translation>Z magnetic field</translation>
    </message>
    <message>
        <source>滚转角</source>
        <translation>Roll</translation>
    </message>
    <message>
        <source>俯仰角</source>
        <translation>Pitch</translation>
    </message>
    <message>
        <source>航向角</source>
        <translation>Heading</translation>
    </message>
    <message>
        <source>磁航向</source>
        <translation>Magnetic heading</translation>
    </message>
    <message>
        <source>气压高度</source>
        <translation>Barometric altitude</translation>
    </message>
    <message>
        <source>预留</source>
        <translation>Reserved</translation>
    </message>
</context>
<context>
    <name>MavFlightStatusDataItem</name>
    <message>
        <source>飞行模式</source>
        <translation>Flight mode</translation>
    </message>
    <message>
        <source>飞行状态</source>
        <translation>Flight state</translation>
    </message>
    <message>
        <source>遥控器状态</source>
        <translation>RC state</translation>
    </message>
    <message>
        <source>定位状态</source>
        <translation>Positioning state</translation>
    </message>
    <message>
        <source>定向状态</source>
        <translation>Heading fix state</translation>
    </message>
    <message>
        <source>链路状态</source>
        <translation>Link state</translation>
    </message>
    <message>
        <source>解锁状态</source>
        <translation>Arming state</translation>
    </message>
    <message>
        <source>电池状态</source>
        <translation>Battery state</translation>
    </message>
    <message>
        <source>飞控供电电压</source>
        <translation>FC supply voltage</translation>
    </message>
    <message>
        <source>工作状态</source>
        <translation>Work state</translation>
    </message>
    <message>
        <source>IMU传感器状态</source>
        <translation>IMU sensor state</translation>
    </message>
    <message>
        <source>方向角传感器状态</source>
        <translation>Heading sensor state</translation>
    </message>
    <message>
        <source>GNSS HDOP</source>
        <translation>GNSS HDOP</translation>
    </message>
    <message>
        <source>GNSS VDOP</source>
        <translation>GNSS VDOP</translation>
    </message>
    <message>
        <source>GNSS定位状态</source>
        <translation>GNSS positioning state</translation>
    </message>
    <message>
        <source>组合导航状态</source>
        <translation>Integrated navigation state</translation>
    </message>
    <message>
        <source>应急保护</source>
        <translation>Emergency protection</translation>
    </message>
    <message>
        <source>累计飞行时间</source>
        <translation>Total flight time</translation>
    </message>
    <message>
        <source>本次飞行时间</source>
        <translation>Current flight time</translation>
    </message>
    <message>
        <source>预计剩余飞行时间</source>
        <translation>Estimated remaining flight time</translation>
    </message>
    <message>
        <source>起飞项检查</source>
        <translation>Take-off check</translation>
    </message>
    <message>
        <source>姿态模式</source>
        <translation>Attitude mode</translation>
    </message>
    <message>
        <source>手动模式</source>
        <translation>Manual mode</translation>
    </message>
    <message>
        <source>定高模式</source>
        <translation>Altitude hold mode</translation>
    </message>
    <message>
        <source>自动模式</source>
        <translation>Auto mode</translation>
    </message>
    <message>
        <source>引导模式</source>
        <translation>Guided mode</translation>
    </message>
    <message>
        <source>定点模式</source>
        <translation>Position hold mode</translation>
    </message>
    <message>
        <source>返航模式</source>
        <translation>Return-to-home mode</translation>
    </message>
    <message>
        <source>环绕模式</source>
        <translation>Orbit mode</translation>
    </message>
    <message>
        <source>起飞模式</source>
        <translation>Take-off mode</translation>
    </message>
    <message>
        <source>降落模式</source>
        <translation>Landing mode</translation>
    </message>
    <message>
        <source>光流定点模式</source>
        <translation>Optical flow hold mode</translation>
    </message>
    <message>
        <source>跟随模式</source>
        <translation>Follow mode</translation>
    </message>
    <message>
        <source>未飞行</source>
        <translation>Not flying</translation>
    </message>
    <message>
        <source>爬升中</source>
        <translation>Climbing</translation>
    </message>
    <message>
        <source>悬停中</source>
        <translation>Hovering</translation>
    </message>
    <message>
        <source>航行中</source>
        <translation>Cruising</translation>
    </message>
    <message>
        <source>下降中</source>
        <translation>Descending</translation>
    </message>
    <message>
        <source>怠速中</source>
        <translation>Idling</translation>
    </message>
    <message>
        <source>手动飞行中</source>
        <translation>Flying manually</translation>
    </message>
    <message>
        <source>丢失</source>
        <translation>Lost</translation>
    </message>
    <message>
        <source>正常</source>
        <translation>Normal</translation>
    </message>
    <message>
        <source>未定位</source>
        <translation>No fix</translation>
    </message>
    <message>
        <source>单点</source>
        <translation>Single point</translation>
    </message>
    <message>
        <source>伪距差分</source>
        <translation>DGPS</translation>
    </message>
    <message>
        <source>RTK差分</source>
        <translation>RTK</translation>
    </message>
    <message>
        <source>未定向</source>
        <translation>No heading fix</translation>
    </message>
    <message>
        <source>已定向</source>
        <translation>Heading fixed</translation>
    </message>
    <message>
        <source>链路丢失</source>
        <translation>Link lost</translation>
    </message>
    <message>
        <source>链路正常</source>
        <translation>Link OK</translation>
    </message>
    <message>
        <source>未解锁</source>
        <translation>Disarmed</translation>
    </message>
    <message>
        <source>已解锁</source>
        <translation>Armed</translation>
    </message>
    <message>
        <source>电池低电压</source>
        <translation>Battery low</translation>
    </message>
    <message>
        <source>电池严重低电压</source>
        <translation>Battery critically low</translation>
    </message>
    <message>
        <source>初始化失败</source>
        <translation>Initialisation failed</translation>
    </message>
    <message>
        <source>初始化成功</source>
        <translation>Initialised</translation>
    </message>
    <message>
        <source>在地面</source>
        <translation>On the ground</translation>
    </message>
    <message>
        <source>飞行中</source>
        <translation>Flying</translation>
    </message>
    <message>
        <source>禁止起飞</source>
        <translation>Take-off forbidden</translation>
    </message>
    <message>
        <source>允许起飞</source>
        <translation>Take-off allowed</translation>
    </message>
    <message>
        <source>IMU正常</source>
        <translation>IMU OK</translation>
    </message>
    <message>
        <source>IMU异常</source>
        <translation>IMU fault</translation>
    </message>
    <message>
        <source>方向角正常</source>
        <translation>Heading OK</translation>
    </message>
    <message>
        <source>方向角异常</source>
        <translation>Heading fault</translation>
    </message>
    <message>
        <source>遥控器正常</source>
        <translation>RC OK</translation>
    </message>
    <message>
        <source>遥控器丢失</source>
        <translation>RC lost</translation>
    </message>
    <message>
        <source>GNSS正常</source>
        <translation>GNSS OK</translation>
    </message>
    <message>
        <source>GNSS丢失</source>
        <translation>GNSS lost</translation>
    </message>
    <message>
        <source>定向信号正常</source>
        <translation>Heading signal OK</translation>
    </message>
    <message>
        <source>定向信号丢失</source>
        <translation>Heading signal lost</translation>
    </message>
    <message>
        <source>电池正常</source>
        <translation>Battery OK</translation>
    </message>
    <message>
        <source>电池异常</source>
        <translation>Battery fault</translation>
    </message>
    <message>
        <source>；</source>
        <comment>list separator</comment>
        <translation>; </translation>
    </message>
    <message>
        <source>未就绪</source>
        <translation>Not ready</translation>
    </message>
    <message>
        <source>就绪</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>IMU总体故障</source>
        <translation>IMU overall fault</translation>
    </message>
    <message>
        <source>IMU1异常</source>
        <translation>IMU1 fault</translation>
    </message>
    <message>
        <source>IMU2异常</source>
        <translation>IMU2 fault</translation>
    </message>
    <message>
        <source>IMU3异常</source>
        <translation>IMU3 fault</translation>
    </message>
    <message>
        <source>、</source>
        <comment>list separator</comment>
        <translation>, </translation>
    </message>
    <message>
        <source>方向角传感器总体故障</source>
        <translation>Heading sensor overall fault</translation>
    </message>
    <message>
        <source>磁力计异常</source>
        <translation>Magnetometer fault</translation>
    </message>
    <message>
        <source>双天线异常</source>
        <translation>Dual antenna fault</translation>
    </message>
    <message>
        <source>未触发</source>
        <translation>Not triggered</translation>
    </message>
</context>
<context>
    <name>MavParamsController</name>
    <message>
        <source>四旋翼无人机</source>
        <translation>Quadcopter</translation>
    </message>
    <message>
        <source>六旋翼无人机</source>
        <translation>Hexacopter</translation>
    </message>
    <message>
        <source>八旋翼无人机</source>
        <translation>Octocopter</translation>
    </message>
    <message>
        <source>共轴四旋翼无人机（上逆下顺）</source>
        <translation>Coaxial quadcopter (upper CCW, lower CW)</translation>
    </message>
    <message>
        <source>共轴四旋翼无人机</source>
        <translation>Coaxial quadcopter</translation>
    </message>
    <message>
        <source>共轴六旋翼无人机（上逆下顺）</source>
        <translation>Coaxial hexacopter (upper CCW, lower CW)</translation>
    </message>
    <message>
        <source>共轴六旋翼无人机</source>
        <translation>Coaxial hexacopter</translation>
    </message>
    <message>
        <source>共轴八旋翼无人机（上逆下顺）</source>
        <translation>Coaxial octocopter (upper CCW, lower CW)</translation>
    </message>
    <message>
        <source>共轴八旋翼无人机</source>
        <translation>Coaxial octocopter</translation>
    </message>
    <message>
        <source>单旋翼直升机</source>
        <translation>Single-rotor helicopter</translation>
    </message>
    <message>
        <source>共轴直升机</source>
        <translation>Coaxial helicopter</translation>
    </message>
    <message>
        <source>纵列式直升机</source>
        <translation>Tandem helicopter</translation>
    </message>
    <message>
        <source>固定翼无人机</source>
        <translation>Fixed-wing aircraft</translation>
    </message>
    <message>
        <source>四旋翼垂起固定翼</source>
        <translation>Quad VTOL fixed-wing</translation>
    </message>
    <message>
        <source>六旋翼垂起固定翼</source>
        <translation>Hexa VTOL fixed-wing</translation>
    </message>
    <message>
        <source>八旋翼垂起固定翼</source>
        <translation>Octo VTOL fixed-wing</translation>
    </message>
    <message>
        <source>倾转旋翼</source>
        <translation>Tiltrotor</translation>
    </message>
    <message>
        <source>尾座式倾转旋翼</source>
        <translation>Tail-sitter</translation>
    </message>
    <message>
        <source>读取</source>
        <translation>Read </translation>
    </message>
    <message>
        <source>写入</source>
        <translation>Write </translation>
    </message>
</context>
<context>
    <name>MavPosDataItem</name>
    <message>
        <source>home纬度</source>
        <translation>Home latitude</translation>
    </message>
    <message>
        <source>home经度</source>
        <translation>Home longitude</translation>
    </message>
    <message>
        <source>纬度</source>
        <translation>Latitude</translation>
    </message>
    <message>
        <source>经度</source>
        <translation>Longitude</translation>
    </message>
    <message>
        <source>高度</source>
        <translation>Altitude</translation>
    </message>
    <message>
        <source>北向相对距离</source>
        <translation>RTK north offset</translation>
    </message>
    <message>
        <source>东向相对距离</source>
        <translation>RTK east offset</translation>
    </message>
    <message>
        <source>相对高度</source>
        <translation>RTK relative altitude</translation>
    </message>
    <message>
        <source>北向速度</source>
        <translation>North speed</translation>
    </message>
    <message>
        <source>东向速度</source>
        <translation>East speed</translation>
    </message>
    <message>
        <source>天向速度</source>
        <translation>Up speed</translation>
    </message>
    <message>
        <source>融合北向相对距离</source>
        <translation>Fused north offset</translation>
    </message>
    <message>
        <source>融合东向相对距离</source>
        <translation>Fused east offset</translation>
    </message>
    <message>
        <source>融合相对高度</source>
        <translation>Fused relative altitude</translation>
    </message>
    <message>
        <source>融合北向速度</source>
        <translation>Fused north speed</translation>
    </message>
    <message>
        <source>融合东向速度</source>
        <translation>Fused east speed</translation>
    </message>
    <message>
        <source>融合天向速度</source>
        <translation>Fused up speed</translation>
    </message>
    <message>
        <source>双天线航向</source>
        <translation>Dual-antenna heading</translation>
    </message>
    <message>
        <source>单点卫星数</source>
        <translation>Satellites (single point)</translation>
    </message>
    <message>
        <source>差分卫星数</source>
        <translation>Satellites (RTK)</translation>
    </message>
</context>
<context>
    <name>MavRcDataItem</name>
    <message>
        <source>副翼</source>
        <translation>Aileron</translation>
    </message>
    <message>
        <source>升降舵</source>
        <translation>Elevator</translation>
    </message>
    <message>
        <source>油门</source>
        <translation>Throttle</translation>
    </message>
    <message>
        <source>方向舵</source>
        <translation>Rudder</translation>
    </message>
    <message>
        <source>mode</source>
        <translation>Mode</translation>
    </message>
    <message>
        <source>aux1</source>
        <translation>AUX1</translation>
    </message>
    <message>
        <source>aux2</source>
        <translation>AUX2</translation>
    </message>
    <message>
        <source>aux3</source>
        <translation>AUX3</translation>
    </message>
    <message>
        <source>电机%1</source>
        <translation>Motor %1</translation>
    </message>
</context>
<context>
    <name>MavResParamsDataItem</name>
    <message>
        <source>res0</source>
        <translation>res0</translation>
    </message>
    <message>
        <source>res1</source>
        <translation>res1</translation>
    </message>
    <message>
        <source>res2</source>
        <translation>res2</translation>
    </message>
    <message>
        <source>res3</source>
        <translation>res3</translation>
    </message>
    <message>
        <source>res4</source>
        <translation>res4</translation>
    </message>
    <message>
        <source>res5</source>
        <translation>res5</translation>
    </message>
    <message>
        <source>res6</source>
        <translation>res6</translation>
    </message>
    <message>
        <source>res7</source>
        <translation>res7</translation>
    </message>
    <message>
        <source>res8</source>
        <translation>res8</translation>
    </message>
    <message>
        <source>res9</source>
        <translation>res9</translation>
    </message>
    <message>
        <source>res10</source>
        <translation>res10</translation>
    </message>
    <message>
        <source>res11</source>
        <translation>res11</translation>
    </message>
    <message>
        <source>res12</source>
        <translation>res12</translation>
    </message>
    <message>
        <source>res13</source>
        <translation>res13</translation>
    </message>
    <message>
        <source>res14</source>
        <translation>res14</translation>
    </message>
    <message>
        <source>res15</source>
        <translation>res15</translation>
    </message>
    <message>
        <source>res16</source>
        <translation>res16</translation>
    </message>
    <message>
        <source>res17</source>
        <translation>res17</translation>
    </message>
    <message>
        <source>res18</source>
        <translation>res18</translation>
    </message>
    <message>
        <source>res19</source>
        <translation>res19</translation>
    </message>
    <message>
        <source>res20</source>
        <translation>res20</translation>
    </message>
    <message>
        <source>res21</source>
        <translation>res21</translation>
    </message>
    <message>
        <source>res22</source>
        <translation>res22</translation>
    </message>
    <message>
        <source>res23</source>
        <translation>res23</translation>
    </message>
    <message>
        <source>res24</source>
        <translation>res24</translation>
    </message>
    <message>
        <source>res25</source>
        <translation>res25</translation>
    </message>
    <message>
        <source>res26</source>
        <translation>res26</translation>
    </message>
    <message>
        <source>res27</source>
        <translation>res27</translation>
    </message>
    <message>
        <source>res28</source>
        <translation>res28</translation>
    </message>
    <message>
        <source>res29</source>
        <translation>res29</translation>
    </message>
</context>
<context>
    <name>MavTargetStabilizeDataItem</name>
    <message>
        <source>期望北向位置</source>
        <translation>Target north position</translation>
    </message>
    <message>
        <source>期望东向位置</source>
        <translation>Target east position</translation>
    </message>
    <message>
        <source>期望高度</source>
        <translation>Target altitude</translation>
    </message>
    <message>
        <source>期望北向速度</source>
        <translation>Target north speed</translation>
    </message>
    <message>
        <source>期望东向速度</source>
        <translation>Target east speed</translation>
    </message>
    <message>
        <source>期望垂向速度</source>
        <translation>Target vertical speed</translation>
    </message>
    <message>
        <source>期望滚转角</source>
        <translation>Target roll</translation>
    </message>
    <message>
        <source>期望俯仰角</source>
        <translation>Target pitch</translation>
    </message>
    <message>
        <source>期望航向角</source>
        <translation>Target heading</translation>
    </message>
    <message>
        <source>期望滚转角速率</source>
        <translation>Target roll rate</translation>
    </message>
    <message>
        <source>期望俯仰角速率</source>
        <translation>Target pitch rate</translation>
    </message>
    <message>
        <source>期望偏航角速率</source>
        <translation>Target yaw rate</translation>
    </message>
    <message>
        <source>滚转通道输出控制量</source>
        <translation>Roll channel output</translation>
    </message>
    <message>
        <source>俯仰通道输出控制量</source>
        <translation>Pitch channel output</translation>
    </message>
    <message>
        <source>航向通道输出控制量</source>
        <translation>Yaw channel output</translation>
    </message>
    <message>
        <source>油门通道输出控制量</source>
        <translation>Throttle channel output</translation>
    </message>
</context>
<context>
    <name>MavTeleDataTableModel</name>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>值</source>
        <translation>Value</translation>
    </message>
    <message>
        <source>单位</source>
        <translation>Unit</translation>
    </message>
</context>
<context>
    <name>MavTeleResDataItem</name>
    <message>
        <source>res%1</source>
        <translation>res%1</translation>
    </message>
</context>
<context>
    <name>MavTelemetryController</name>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
</context>
<context>
    <name>MavWayPointDataItem</name>
    <message>
        <source>起飞点</source>
        <translation>Take-off point</translation>
    </message>
    <message>
        <source>过路点</source>
        <translation>Pass-through point</translation>
    </message>
    <message>
        <source>悬停点</source>
        <translation>Hover point</translation>
    </message>
    <message>
        <source>兴趣点环绕</source>
        <translation>Orbit point of interest</translation>
    </message>
    <message>
        <source>返航点</source>
        <translation>Return point</translation>
    </message>
    <message>
        <source>降落点</source>
        <translation>Landing point</translation>
    </message>
    <message>
        <source>航向保持</source>
        <translation>Keep heading</translation>
    </message>
    <message>
        <source>指向下个航点</source>
        <translation>Face next waypoint</translation>
    </message>
    <message>
        <source>指向固定航向</source>
        <translation>Fixed heading</translation>
    </message>
    <message>
        <source>定点转弯</source>
        <translation>Stop and turn</translation>
    </message>
    <message>
        <source>协调转弯</source>
        <translation>Coordinated turn</translation>
    </message>
    <message>
        <source>相对高度</source>
        <translation>Relative altitude</translation>
    </message>
    <message>
        <source>海拔高度</source>
        <translation>Above sea level</translation>
    </message>
    <message>
        <source>椭球高度</source>
        <translation>Ellipsoid height</translation>
    </message>
</context>
<context>
    <name>MavWayPointsTableModel</name>
    <message>
        <source>编号</source>
        <translation>No.</translation>
    </message>
    <message>
        <source>类型</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>经度(°)</source>
        <translation>Longitude (°)</translation>
    </message>
    <message>
        <source>纬度(°)</source>
        <translation>Latitude (°)</translation>
    </message>
    <message>
        <source>高度(m)</source>
        <translation>Altitude (m)</translation>
    </message>
    <message>
        <source>速度(m/s)</source>
        <translation>Speed (m/s)</translation>
    </message>
    <message>
        <source>航点半径(m)</source>
        <translation>Acceptance radius (m)</translation>
    </message>
    <message>
        <source>航向指向</source>
        <translation>Heading mode</translation>
    </message>
    <message>
        <source>转弯模式</source>
        <translation>Turn mode</translation>
    </message>
    <message>
        <source>悬停时间(s)</source>
        <translation>Hover time (s)</translation>
    </message>
    <message>
        <source>下个航点</source>
        <translation>Next waypoint</translation>
    </message>
    <message>
        <source>航向</source>
        <translation>Heading</translation>
    </message>
    <message>
        <source>距离↓(m)</source>
        <translation>Distance ↓ (m)</translation>
    </message>
    <message>
        <source>方向↓(°)</source>
        <translation>Bearing ↓ (°)</translation>
    </message>
    <message>
        <source>操作</source>
        <translation>Actions</translation>
    </message>
</context>
<context>
    <name>VehicleAlertController</name>
    <message>
        <source>一级低压</source>
        <translation>Low voltage level 1</translation>
    </message>
    <message>
        <source>二级低压</source>
        <translation>Low voltage level 2</translation>
    </message>
    <message>
        <source>遥控器信号丢失</source>
        <translation>RC signal lost</translation>
    </message>
    <message>
        <source>链路信号丢失</source>
        <translation>Link signal lost</translation>
    </message>
    <message>
        <source>GNSS信号丢失</source>
        <translation>GNSS signal lost</translation>
    </message>
    <message>
        <source>返航</source>
        <translation>Return to home</translation>
    </message>
    <message>
        <source>降落</source>
        <translation>Land</translation>
    </message>
    <message>
        <source>定点</source>
        <translation>Hold position</translation>
    </message>
    <message>
        <source>报警无动作</source>
        <translation>Warn only</translation>
    </message>
    <message>
        <source>触发应急保护-%1-%2</source>
        <translation>Emergency protection triggered: %1 - %2</translation>
    </message>
    <message>
        <source>触发应急保护-%1</source>
        <translation>Emergency protection triggered: %1</translation>
    </message>
    <message>
        <source>IMU异常</source>
        <translation>IMU fault</translation>
    </message>
    <message>
        <source>方向角异常</source>
        <translation>Heading fault</translation>
    </message>
    <message>
        <source>遥控器丢失</source>
        <translation>RC lost</translation>
    </message>
    <message>
        <source>GNSS丢失</source>
        <translation>GNSS lost</translation>
    </message>
    <message>
        <source>定向信号丢失</source>
        <translation>Heading signal lost</translation>
    </message>
    <message>
        <source>电池异常</source>
        <translation>Battery fault</translation>
    </message>
    <message>
        <source>禁止起飞，%1</source>
        <translation>Take-off forbidden: %1</translation>
    </message>
    <message>
        <source>禁止起飞</source>
        <translation>Take-off forbidden</translation>
    </message>
    <message>
        <source>、</source>
        <comment>list separator</comment>
        <translation>, </translation>
    </message>
    <message>
        <source>链路恢复，失联 %1 秒</source>
        <translation>link back after %1 s silent</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>unknown</translation>
    </message>
    <message>
        <source>链路中断，飞行状态未知：最后位置 %1，高度 %2</source>
        <translation>link lost, flight state unknown: last position %1, height %2</translation>
    </message>
    <message>
        <source>链路中断（已降落、未解锁）：最后位置 %1，高度 %2</source>
        <translation>link lost while landed and disarmed: last position %1, height %2</translation>
    </message>
    <message>
        <source>飞行中链路中断：最后位置 %1，高度 %2</source>
        <translation>link lost while flying: last position %1, height %2</translation>
    </message>
    <message>
        <source>，已失联 %1 秒</source>
        <translation>, silent for %1 s</translation>
    </message>
    <message>
        <source>车辆 %1 %2 告警：%3</source>
        <translation>Vehicle %1 %2 alert: %3</translation>
    </message>
    <message>
        <source>车辆 %1 告警解除：%2</source>
        <translation>Vehicle %1 alert cleared: %2</translation>
    </message>
</context>
<context>
    <name>VehicleController</name>
    <message>
        <source> 执行超时</source>
        <translation> timed out</translation>
    </message>
</context>
<context>
    <name>VehicleUtil</name>
    <message>
        <source>目标长度错误</source>
        <translation>Wrong target length</translation>
    </message>
    <message>
        <source>固件升级中，指令被拒绝</source>
        <translation>Firmware update in progress, command refused</translation>
    </message>
    <message>
        <source>指令已执行</source>
        <translation>Command accepted</translation>
    </message>
    <message>
        <source>指令暂时挂起</source>
        <translation>Command temporarily rejected</translation>
    </message>
    <message>
        <source>指令永久拒绝</source>
        <translation>Command denied</translation>
    </message>
    <message>
        <source>指令不支持</source>
        <translation>Command not supported</translation>
    </message>
    <message>
        <source>指令执行失败</source>
        <translation>Command failed</translation>
    </message>
    <message>
        <source>指令执行完成</source>
        <translation>Command completed</translation>
    </message>
    <message>
        <source>指令拒绝</source>
        <translation>Command refused</translation>
    </message>
    <message>
        <source>参数超出范围</source>
        <translation>Parameter out of range</translation>
    </message>
    <message>
        <source>指令执行超时</source>
        <translation>Command timed out</translation>
    </message>
    <message>
        <source>执行出错</source>
        <translation>Execution error</translation>
    </message>
    <message>
        <source>心跳包</source>
        <translation>Heartbeat</translation>
    </message>
    <message>
        <source>基本参数</source>
        <translation>Basic parameters</translation>
    </message>
    <message>
        <source>M姿态参数</source>
        <translation>Multirotor attitude parameters</translation>
    </message>
    <message>
        <source>M位置参数</source>
        <translation>Multirotor position parameters</translation>
    </message>
    <message>
        <source>F姿态参数</source>
        <translation>Fixed-wing attitude parameters</translation>
    </message>
    <message>
        <source>F位置参数</source>
        <translation>Fixed-wing position parameters</translation>
    </message>
    <message>
        <source>重置所有参数</source>
        <translation>Reset all parameters</translation>
    </message>
    <message>
        <source>加速度计校准</source>
        <translation>Accelerometer calibration</translation>
    </message>
    <message>
        <source>磁罗盘校准</source>
        <translation>Compass calibration</translation>
    </message>
    <message>
        <source>无人机序列号</source>
        <translation>Vehicle serial number</translation>
    </message>
    <message>
        <source>预留参数</source>
        <translation>Reserved parameters</translation>
    </message>
    <message>
        <source>请求所有数据</source>
        <translation>Request all data</translation>
    </message>
    <message>
        <source>AHRS数据</source>
        <translation>AHRS data</translation>
    </message>
    <message>
        <source>位置数据</source>
        <translation>Position data</translation>
    </message>
    <message>
        <source>期望位姿数据</source>
        <translation>Target pose data</translation>
    </message>
    <message>
        <source>遥控器数据</source>
        <translation>RC data</translation>
    </message>
    <message>
        <source>飞行状态数据</source>
        <translation>Flight status data</translation>
    </message>
    <message>
        <source>预留数据</source>
        <translation>Reserved data</translation>
    </message>
    <message>
        <source>下载航点基本数据</source>
        <translation>Download route header</translation>
    </message>
    <message>
        <source>下载航点详细数据</source>
        <translation>Download waypoints</translation>
    </message>
    <message>
        <source>上传航点基本数据</source>
        <translation>Upload route header</translation>
    </message>
    <message>
        <source>上传航点详细数据</source>
        <translation>Upload waypoints</translation>
    </message>
    <message>
        <source>起飞</source>
        <translation>Take-off</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>降落</source>
        <translation>Landing</translation>
    </message>
    <message>
        <source>返航</source>
        <translation>Return to home</translation>
    </message>
    <message>
        <source>执行航线</source>
        <translation>Start mission</translation>
    </message>
    <message>
        <source>编队控制</source>
        <translation>Formation control</translation>
    </message>
    <message>
        <source>怠速电机检测</source>
        <translation>Idle motor test</translation>
    </message>
    <message>
        <source>更新</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>更新固件信息</source>
        <translation>Update firmware info</translation>
    </message>
    <message>
        <source>更新固件数据</source>
        <translation>Update firmware data</translation>
    </message>
    <message>
        <source>编队开始</source>
        <translation>Start formation</translation>
    </message>
    <message>
        <source>取消编队飞行</source>
        <translation>Cancel formation flight</translation>
    </message>
</context>
</TS>
