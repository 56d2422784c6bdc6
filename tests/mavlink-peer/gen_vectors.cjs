// Prints the byte vectors of the codec test, as node-mavlink frames them (system 7, component 1).
const { MavLinkProtocolV2, minimal, common, standard } = require('node-mavlink');
const P = new MavLinkProtocolV2(7, 1);
function frame(msg, seq) { return P.serialize(msg, seq).toString('hex'); }
const out = [];
function add(name, msg, seq = 0) { out.push(`{"${name}", "${frame(msg, seq)}"},`); }
let m = new minimal.Heartbeat();
Object.assign(m, { type: 2, autopilot: 0, baseMode: 129, customMode: 5, systemStatus: 4, mavlinkVersion: 3 }); add('heartbeat', m);
m = new common.SysStatus(); Object.assign(m, { voltageBattery: 12600, currentBattery: -1, batteryRemaining: -1 }); add('sys_status', m, 1);
m = new common.GpsRawInt(); Object.assign(m, { timeUsec: 123456789n, lat: 225400000, lon: 1139500000, alt: 30250, eph: 120, epv: 65535, vel: 350, cog: 9000, fixType: 3, satellitesVisible: 14 }); add('gps_raw_int', m, 2);
m = new common.Attitude(); Object.assign(m, { timeBootMs: 1000, roll: 0.1, pitch: -0.2, yaw: 3.0, rollspeed: 0.01, pitchspeed: 0, yawspeed: -0.5 }); add('attitude', m, 3);
m = new common.GlobalPositionInt(); Object.assign(m, { timeBootMs: 2000, lat: 225400000, lon: 1139500000, alt: 30250, relativeAlt: 30250, vx: 120, vy: -40, vz: -100, hdg: 27000 }); add('global_position_int', m, 4);
m = new common.VfrHud(); Object.assign(m, { airspeed: 0, groundspeed: 3.5, alt: 30.25, climb: 1.0, heading: 270, throttle: 0 }); add('vfr_hud', m, 5);
m = new common.HomePosition(); Object.assign(m, { latitude: 225400000, longitude: 1139500000, altitude: 0, x: 0, y: 0, z: 0, q: [1, 0, 0, 0], approachX: 0, approachY: 0, approachZ: 0, timeUsec: 5000000n }); add('home_position', m, 6);
m = new common.StatusText(); Object.assign(m, { severity: 2, text: 'battery_state 2, expected 0', id: 0, chunkSeq: 0 }); add('statustext', m, 7);
m = new standard.AutopilotVersion(); Object.assign(m, { capabilities: 4n | 8n | 8192n | 16384n, uid: 7n, flightCustomVersion: [0,0,0,0,0,0,0,0], middlewareCustomVersion: [0,0,0,0,0,0,0,0], osCustomVersion: [0,0,0,0,0,0,0,0], uid2: new Array(18).fill(0) }); add('autopilot_version', m, 8);
m = new common.CommandAck(); Object.assign(m, { command: 22, result: 2, progress: 0, resultParam2: 3, targetSystem: 255, targetComponent: 190 }); add('command_ack', m, 9);
m = new common.MissionCount(); Object.assign(m, { count: 20, targetSystem: 255, targetComponent: 190, missionType: 0, opaqueId: 0 }); add('mission_count', m, 10);
m = new common.MissionItemInt(); Object.assign(m, { param1: 5, param2: 2, param3: 0, param4: 0, x: 225400000, y: 1139500000, z: 30, seq: 3, command: 16, targetSystem: 255, targetComponent: 190, frame: 6, current: 0, autocontinue: 1, missionType: 0 }); add('mission_item_int', m, 11);
m = new common.MissionRequestInt(); Object.assign(m, { seq: 4, targetSystem: 255, targetComponent: 190, missionType: 0 }); add('mission_request_int', m, 12);
m = new common.MissionAck(); Object.assign(m, { targetSystem: 255, targetComponent: 190, type: 14, missionType: 1, opaqueId: 0 }); add('mission_ack', m, 13);
m = new common.CommandLong(); Object.assign(m, { command: 22, targetSystem: 7, targetComponent: 1, confirmation: 1, _param1: 0, _param2: 0, _param3: 0, _param4: 0, _param5: 0, _param6: 0, _param7: 30 }); add('command_long', m, 14);
m = new common.CommandInt(); Object.assign(m, { command: 193, targetSystem: 7, targetComponent: 1, frame: 0, current: 0, autocontinue: 0, _param1: 1, _param2: 0, _param3: 0, _param4: 0, _x: 0, _y: 0, _z: 0 }); add('command_int', m, 15);
m = new common.MissionRequestList(); Object.assign(m, { targetSystem: 7, targetComponent: 1, missionType: 1 }); add('mission_request_list', m, 16);
m = new common.MessageInterval(); Object.assign(m, { intervalUs: 250000, messageId: 33 }); add('message_interval', m, 17);
// One signed frame: key bytes 0..31, link 2, a fixed time.
const key = Buffer.from(Array.from({ length: 32 }, (_, i) => i));
m = new minimal.Heartbeat(); Object.assign(m, { type: 2, autopilot: 0, baseMode: 129, customMode: 5, systemStatus: 4, mavlinkVersion: 3 });
const S = new MavLinkProtocolV2(7, 1, MavLinkProtocolV2.IFLAG_SIGNED);
const signed = S.sign(S.serialize(m, 18), 2, key, 4102444800000);
out.push(`{"signed_heartbeat", "${signed.toString('hex')}"},`);
console.log(out.join('\n'));
