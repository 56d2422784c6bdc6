<?xml version='1.0' encoding='utf-8'?>
<TS version="2.1" language="zh_CN">
<context>
    <name>AlertsConsole</name>
    <message>
        <source>Console</source>
        <translation>控制台</translation>
    </message>
    <message>
        <source>filter</source>
        <translation>筛选</translation>
    </message>
</context>
<context>
    <name>DeskStation</name>
    <message>
        <source>Take-off</source>
        <translation>起飞</translation>
    </message>
    <message>
        <source>Land</source>
        <translation>降落</translation>
    </message>
    <message>
        <source>Return home</source>
        <translation>返航</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>暂停</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>继续</translation>
    </message>
    <message>
        <source>Mission start</source>
        <translation>任务开始</translation>
    </message>
    <message>
        <source>Parameter read</source>
        <translation>参数读取</translation>
    </message>
    <message>
        <source>Parameter write</source>
        <translation>参数写入</translation>
    </message>
    <message numerus="yes">
        <source>Link open, %n vehicle(s)</source>
        <translation>
            <numerusform>链路已连接，%n 架飞机</numerusform></translation>
    </message>
    <message>
        <source>No link</source>
        <translation>未连接</translation>
    </message>
    <message>
        <source>Ports are 1..65535</source>
        <translation>端口为 1..65535</translation>
    </message>
    <message>
        <source>Unknown command %1</source>
        <translation>未知指令 %1</translation>
    </message>
    <message>
        <source>Take-off needs an altitude of 1..65535 m and a climb speed of 1..255 m/s</source>
        <translation>起飞需要 1..65535 米的高度和 1..255 米/秒的爬升速度</translation>
    </message>
    <message>
        <source>Vehicle %1 has not reported its home point: no return home</source>
        <translation>飞机 %1 未报告返航点：不能返航</translation>
    </message>
    <message>
        <source>%1 sent to vehicle %2</source>
        <translation>%1 已发送给飞机 %2</translation>
    </message>
    <message>
        <source>no answer recorded</source>
        <translation>没有应答记录</translation>
    </message>
    <message>
        <source>the vehicle did not answer in time</source>
        <translation>飞机未及时应答</translation>
    </message>
    <message>
        <source>route</source>
        <translation>航线</translation>
    </message>
    <message>
        <source>No position there</source>
        <translation>该处没有位置</translation>
    </message>
    <message>
        <source>A route holds at most %1 waypoints</source>
        <translation>一条航线最多 %1 个航点</translation>
    </message>
    <message>
        <source>No such waypoint</source>
        <translation>没有该航点</translation>
    </message>
    <message>
        <source>%1 must be a number</source>
        <translation>%1 必须是数字</translation>
    </message>
    <message>
        <source>%1 cannot be %2</source>
        <translation>%1 不能为 %2</translation>
    </message>
    <message>
        <source>A survey area needs at least 3 corners</source>
        <translation>测区至少需要 3 个角点</translation>
    </message>
    <message>
        <source>Line spacing must be 1..1000 m</source>
        <translation>航线间距须为 1..1000 米</translation>
    </message>
    <message>
        <source>survey</source>
        <translation>测区</translation>
    </message>
    <message>
        <source>No active route to check</source>
        <translation>没有可检查的当前航线</translation>
    </message>
    <message>
        <source>Route passes the check for vehicle %1</source>
        <translation>航线对飞机 %1 检查通过</translation>
    </message>
    <message numerus="yes">
        <source>%n finding(s) for vehicle %1</source>
        <translation>
            <numerusform>飞机 %1 有 %n 项问题</numerusform></translation>
    </message>
    <message>
        <source>No active route to upload</source>
        <translation>没有可上传的当前航线</translation>
    </message>
    <message>
        <source>Upload to vehicle %1 queued (%2 in line)</source>
        <translation>上传到飞机 %1 已排队（第 %2 位）</translation>
    </message>
    <message numerus="yes">
        <source>Uploading %n waypoint(s) to vehicle %1</source>
        <translation>
            <numerusform>正在向飞机 %1 上传 %n 个航点</numerusform></translation>
    </message>
    <message>
        <source>Downloading the route of vehicle %1</source>
        <translation>正在下载飞机 %1 的航线</translation>
    </message>
    <message>
        <source>Mission start sent to vehicle %1</source>
        <translation>任务开始已发送给飞机 %1</translation>
    </message>
    <message>
        <source>Nothing uploaded to vehicle %1 from this station</source>
        <translation>本站未向飞机 %1 上传航线</translation>
    </message>
    <message numerus="yes">
        <source>Upload of %n waypoint(s) running</source>
        <translation>
            <numerusform>正在上传 %n 个航点</numerusform></translation>
    </message>
    <message numerus="yes">
        <source>Holds %n waypoint(s) from this station</source>
        <translation>
            <numerusform>已持有本站的 %n 个航点</numerusform></translation>
    </message>
    <message>
        <source>Last upload failed</source>
        <translation>上次上传失败</translation>
    </message>
    <message>
        <source>never</source>
        <translation>从未</translation>
    </message>
    <message>
        <source>%1 %2: %3</source>
        <translation>%1 %2：%3</translation>
    </message>
    <message>
        <source>applied</source>
        <translation>已应用</translation>
    </message>
    <message>
        <source>refused</source>
        <translation>已拒绝</translation>
    </message>
    <message>
        <source>vehicle %1: %2</source>
        <translation>飞机 %1：%2</translation>
    </message>
    <message>
        <source>zones taken</source>
        <translation>已接收禁飞区</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>This station keeps no zone cache</source>
        <translation>本站没有禁飞区缓存</translation>
    </message>
    <message>
        <source>Give the zone file's full path</source>
        <translation>请给出禁飞区文件的完整路径</translation>
    </message>
    <message numerus="yes">
        <source>%n zone(s) imported</source>
        <translation>
            <numerusform>已导入 %n 个禁飞区</numerusform></translation>
    </message>
    <message>
        <source>A zone sync is already running</source>
        <translation>禁飞区同步已在进行</translation>
    </message>
    <message>
        <source>Zone sync started</source>
        <translation>禁飞区同步已开始</translation>
    </message>
    <message numerus="yes">
        <source>Sending %n zone(s) to vehicle %1</source>
        <translation>
            <numerusform>正在向飞机 %1 发送 %n 个禁飞区</numerusform></translation>
    </message>
    <message numerus="yes">
        <source>vehicle %1 took %n zone(s)</source>
        <translation>
            <numerusform>飞机 %1 已接收 %n 个禁飞区</numerusform></translation>
    </message>
    <message>
        <source>vehicle %1 did not take the zones (result %2)</source>
        <translation>飞机 %1 未接收禁飞区（结果 %2）</translation>
    </message>
    <message>
        <source>Reading %1 from vehicle %2</source>
        <translation>正在从飞机 %2 读取 %1</translation>
    </message>
    <message>
        <source>Writing %1 to vehicle %2</source>
        <translation>正在向飞机 %2 写入 %1</translation>
    </message>
    <message>
        <source>No window</source>
        <translation>没有窗口</translation>
    </message>
    <message>
        <source>path must be an absolute path ending in .png</source>
        <translation>路径必须是以 .png 结尾的绝对路径</translation>
    </message>
    <message>
        <source>No folder %1</source>
        <translation>没有文件夹 %1</translation>
    </message>
    <message>
        <source>The window could not be drawn</source>
        <translation>窗口无法绘制</translation>
    </message>
    <message>
        <source>Cannot write %1</source>
        <translation>无法写入 %1</translation>
    </message>
</context>
<context>
    <name>FleetList</name>
    <message>
        <source>Vehicle</source>
        <translation>飞机</translation>
    </message>
    <message>
        <source>Link</source>
        <translation>链路</translation>
    </message>
    <message>
        <source>Mode</source>
        <translation>模式</translation>
    </message>
    <message>
        <source>State</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Battery</source>
        <translation>电池</translation>
    </message>
    <message>
        <source>Alt m</source>
        <translation>高度 米</translation>
    </message>
    <message>
        <source>Spd m/s</source>
        <translation>速度 米/秒</translation>
    </message>
    <message>
        <source>Alerts</source>
        <translation>告警</translation>
    </message>
    <message>
        <source>alive</source>
        <translation>在线</translation>
    </message>
    <message>
        <source>lost</source>
        <translation>丢失</translation>
    </message>
    <message>
        <source>joining</source>
        <translation>接入中</translation>
    </message>
</context>
<context>
    <name>Instruments</name>
    <message>
        <source>R %1  P %2</source>
        <translation>横滚 %1 俯仰 %2</translation>
    </message>
    <message>
        <source>no attitude</source>
        <translation>无姿态</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Velmora Desk</source>
        <translation>Velmora 地面站</translation>
    </message>
    <message>
        <source>Vehicle %1</source>
        <translation>飞机 %1</translation>
    </message>
    <message>
        <source>No vehicle</source>
        <translation>无飞机</translation>
    </message>
    <message>
        <source>Take off</source>
        <translation>起飞</translation>
    </message>
    <message>
        <source>Land</source>
        <translation>降落</translation>
    </message>
    <message>
        <source>Return home</source>
        <translation>返航</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>暂停</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>继续</translation>
    </message>
    <message numerus="yes">
        <source>%n alert(s)</source>
        <translation>
            <numerusform>%n 条告警</numerusform></translation>
    </message>
    <message>
        <source>Vehicle</source>
        <translation>飞机</translation>
    </message>
    <message>
        <source>Routes</source>
        <translation>航线</translation>
    </message>
    <message>
        <source>Zones</source>
        <translation>禁飞区</translation>
    </message>
    <message>
        <source>Parameters</source>
        <translation>参数</translation>
    </message>
    <message>
        <source>%1 vehicle %2?</source>
        <translation>%1 飞机 %2？</translation>
    </message>
    <message>
        <source>Altitude (m)</source>
        <translation>高度（米）</translation>
    </message>
    <message>
        <source>Climb speed (m/s)</source>
        <translation>爬升速度（米/秒）</translation>
    </message>
    <message>
        <source>The vehicle will move.</source>
        <translation>飞机将会移动。</translation>
    </message>
    <message>
        <source>Vehicle %1: %2 - %3</source>
        <translation>飞机 %1：%2 - %3</translation>
    </message>
    <message>
        <source>done</source>
        <translation>完成</translation>
    </message>
</context>
<context>
    <name>MapView</name>
    <message numerus="yes">
        <source>Survey area: %n corner(s)</source>
        <translation>
            <numerusform>测区：%n 个角点</numerusform></translation>
    </message>
    <message>
        <source>zone %1</source>
        <translation>禁飞区 %1</translation>
    </message>
    <message>
        <source>Fit</source>
        <translation>全览</translation>
    </message>
    <message>
        <source>Click the map to add waypoints to the active route</source>
        <translation>点击地图为当前航线添加航点</translation>
    </message>
    <message>
        <source>Click the corners of the survey area, then Create survey</source>
        <translation>点击测区的各个角点，然后点“生成测区航线”</translation>
    </message>
</context>
<context>
    <name>ParamsPanel</name>
    <message>
        <source>not written: %1</source>
        <translation>未写入：%1</translation>
    </message>
    <message>
        <source>written; not read back</source>
        <translation>已写入；未回读</translation>
    </message>
    <message>
        <source>✓ vehicle holds %1</source>
        <translation>✓ 飞行器现为 %1</translation>
    </message>
    <message>
        <source>vehicle holds %1, not %2</source>
        <translation>飞行器现为 %1，而非 %2</translation>
    </message>
    <message>
        <source>sent…</source>
        <translation>已发送…</translation>
    </message>
    <message>
        <source>Group</source>
        <translation>参数组</translation>
    </message>
    <message>
        <source>Read</source>
        <translation>读取</translation>
    </message>
    <message>
        <source>Write</source>
        <translation>写入</translation>
    </message>
    <message>
        <source>As read from vehicle %1</source>
        <translation>读自飞机 %1</translation>
    </message>
    <message>
        <source>Not read from this vehicle yet: read before writing</source>
        <translation>尚未从该飞机读取：请先读取再写入</translation>
    </message>
</context>
<context>
    <name>RouteEditor</name>
    <message>
        <source>Draw the survey area first</source>
        <translation>请先画出测区</translation>
    </message>
    <message>
        <source>A survey area needs at least 3 corners, %1 drawn</source>
        <translation>测区至少需要 3 个角点，已画 %1 个</translation>
    </message>
    <message>
        <source>Line spacing must be 1..1000 m</source>
        <translation>航线间距须为 1..1000 米</translation>
    </message>
</context>
<context>
    <name>RoutesPanel</name>
    <message>
        <source>Routes</source>
        <translation>航线</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message numerus="yes">
        <source>%1  (no. %2, %n waypoint(s))</source>
        <translation>
            <numerusform>%1（编号 %2，%n 个航点）</numerusform></translation>
    </message>
    <message>
        <source>Done</source>
        <translation>完成</translation>
    </message>
    <message>
        <source>Add waypoints</source>
        <translation>添加航点</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Draw survey</source>
        <translation>画测区</translation>
    </message>
    <message>
        <source>Create survey</source>
        <translation>生成测区航线</translation>
    </message>
    <message>
        <source>survey</source>
        <translation>测区</translation>
    </message>
    <message>
        <source>For vehicle %1:</source>
        <translation>飞机 %1：</translation>
    </message>
    <message>
        <source>No vehicle</source>
        <translation>无飞机</translation>
    </message>
    <message>
        <source>Check</source>
        <translation>检查</translation>
    </message>
    <message>
        <source>Upload</source>
        <translation>上传</translation>
    </message>
    <message>
        <source>verify</source>
        <translation>校验</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>下载</translation>
    </message>
    <message>
        <source>Start mission</source>
        <translation>开始任务</translation>
    </message>
    <message>
        <source>Waypoint %1: </source>
        <translation>航点 %1：</translation>
    </message>
    <message>
        <source>Waypoints of the active route</source>
        <translation>当前航线的航点</translation>
    </message>
    <message>
        <source>Start the mission on vehicle %1?</source>
        <translation>在飞机 %1 上开始任务？</translation>
    </message>
    <message>
        <source>The vehicle will take off and fly its route.</source>
        <translation>飞机将起飞并按航线飞行。</translation>
    </message>
</context>
<context>
    <name>VehiclePanel</name>
    <message>
        <source>no status yet</source>
        <translation>尚无状态</translation>
    </message>
    <message>
        <source>alt %1 m, %2 m/s</source>
        <translation>高度 %1 米，%2 米/秒</translation>
    </message>
    <message>
        <source>no position fix</source>
        <translation>未定位</translation>
    </message>
    <message>
        <source>battery %1, %2 V</source>
        <translation>电池 %1，%2 伏</translation>
    </message>
    <message>
        <source>Telemetry</source>
        <translation>遥测</translation>
    </message>
    <message>
        <source>My fields</source>
        <translation>我的字段</translation>
    </message>
    <message>
        <source>last 2 minutes</source>
        <translation>最近 2 分钟</translation>
    </message>
</context>
<context>
    <name>ZonesPanel</name>
    <message>
        <source>No-fly zones</source>
        <translation>禁飞区</translation>
    </message>
    <message>
        <source>Source</source>
        <translation>来源</translation>
    </message>
    <message>
        <source>Zones</source>
        <translation>禁飞区</translation>
    </message>
    <message>
        <source>File time</source>
        <translation>文件时间</translation>
    </message>
    <message>
        <source>Last sent</source>
        <translation>上次发送</translation>
    </message>
    <message>
        <source>not sent from this window's station yet</source>
        <translation>本站尚未发送</translation>
    </message>
    <message>
        <source>Shrink: %1</source>
        <translation>缩减：%1</translation>
    </message>
    <message>
        <source>/full/path/zones.json</source>
        <translation>/完整/路径/zones.json</translation>
    </message>
    <message>
        <source>allow shrink</source>
        <translation>允许缩减</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>导入</translation>
    </message>
    <message>
        <source>Sync from cloud</source>
        <translation>从云端同步</translation>
    </message>
    <message>
        <source>Send to vehicle %1</source>
        <translation>发送给飞机 %1</translation>
    </message>
    <message>
        <source>zone %1: %2%3</source>
        <translation>禁飞区 %1：%2%3</translation>
    </message>
    <message>
        <source>circle r %1 m</source>
        <translation>圆形 半径 %1 米</translation>
    </message>
    <message numerus="yes">
        <source>polygon of %n corner(s)</source>
        <translation>
            <numerusform>%n 个角点的多边形</numerusform></translation>
    </message>
    <message>
        <source>, in force</source>
        <translation>，生效中</translation>
    </message>
</context>
</TS>