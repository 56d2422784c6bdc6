// A ground station built on node-mavlink, an implementation independent of the bridge's codec.
// It listens where the bridge sends, runs the steps asked for and prints one JSON line a step;
// a check it can make alone fails the run (exit 1), the rest is for the calling test.
//
//   node gcs_check.cjs --port P --vehicles 1,2,3 --steps listen,takeoff,... [--loss 0.3] [--key HEX]
// The soak steps (scripts/soak_system.py) run for --seconds: soakWatch counts what it hears,
// soakRoutes uploads a route to the second vehicle and downloads it again every --every seconds.
'use strict';
const dgram = require('dgram');
const { MavLinkPacketSplitter, MavLinkPacketParser, MavLinkProtocolV2, minimal, common, standard } =
  require('node-mavlink');

const args = Object.fromEntries(process.argv.slice(2).reduce((acc, a, i, all) => {
  if (a.startsWith('--')) acc.push([a.slice(2), all[i + 1]]);
  return acc;
}, []));
const vehicles = args.vehicles.split(',').map(Number);
const loss = Number(args.loss || 0);
const key = args.key ? Buffer.from(args.key, 'hex') : null;
const REGISTRY = { ...minimal.REGISTRY, ...common.REGISTRY, ...standard.REGISTRY };
const GCS_SYS = 255, GCS_COMP = 190;
const protocol = new MavLinkProtocolV2(GCS_SYS, GCS_COMP, key ? MavLinkProtocolV2.IFLAG_SIGNED : 0);
let seq = 0, bridge = null, crcErrors = 0, badSignatures = 0, frames = 0;
const heard = {}, positions = {}, types = {}, waiters = [], paramValues = {}, texts = [], beats = {}, landed = {};

// A bridge streams every vehicle to it; a ground station reads with a buffer sized for a fleet, so
// a busy moment does not drop the route transfer's messages.
const sock = dgram.createSocket({ type: 'udp4', recvBufferSize: 4 * 1024 * 1024 });
function emit(step, data) { console.log(JSON.stringify({ step, t: Date.now(), ...data })); }
function fail(why) { emit('fail', { why }); process.exit(1); }

sock.on('message', (buf, rinfo) => {
  if (Math.random() < loss) return;
  bridge = bridge || rinfo;
  const splitter = new MavLinkPacketSplitter({}, { onCrcError: () => { crcErrors++; } });
  const parser = splitter.pipe(new MavLinkPacketParser());
  parser.on('data', packet => {
    frames++;
    if (key && !(packet.signature && packet.signature.matches(key))) { badSignatures++; return; }
    const clazz = REGISTRY[packet.header.msgid];
    if (!clazz) return;
    const msg = packet.protocol.data(packet.payload, clazz);
    const sys = packet.header.sysid;
    heard[sys] = heard[sys] || {};
    heard[sys][clazz.MSG_NAME] = (heard[sys][clazz.MSG_NAME] || 0) + 1;
    if (clazz.MSG_NAME === 'GLOBAL_POSITION_INT') positions[sys] = msg;
    if (clazz.MSG_NAME === 'HEARTBEAT') { types[sys] = msg.type; beats[sys] = msg; }
    if (clazz.MSG_NAME === 'EXTENDED_SYS_STATE') landed[sys] = msg.landedState;
    if (clazz.MSG_NAME === 'PARAM_VALUE') (paramValues[sys] = paramValues[sys] || {})[msg.paramIndex] = msg;
    if (clazz.MSG_NAME === 'STATUSTEXT') texts.push({ sys, text: String(msg.text).replace(/\0+$/, '') });
    for (const w of waiters.slice()) if (w.match(sys, clazz.MSG_NAME, msg)) { waiters.splice(waiters.indexOf(w), 1); w.resolve(msg); }
  });
  splitter.end(buf);
});

function send(msg, raw) {
  if (Math.random() < loss) return;
  let buf = raw || protocol.serialize(msg, seq++ & 255);
  if (key && !raw) buf = protocol.sign(buf, 0, key);
  sock.send(buf, bridge.port, bridge.address);
}
function sendUnsigned(msg) { send(null, new MavLinkProtocolV2(GCS_SYS, GCS_COMP).serialize(msg, seq++ & 255)); }
function wait(match, ms) {
  return new Promise(resolve => {
    const w = { match, resolve };
    waiters.push(w);
    setTimeout(() => { const i = waiters.indexOf(w); if (i >= 0) { waiters.splice(i, 1); resolve(null); } }, ms);
  });
}
const sleep = ms => new Promise(r => setTimeout(r, ms));

function commandLong(target, command, params, confirmation = 0) {
  const m = new common.CommandLong();
  Object.assign(m, { command, targetSystem: target, targetComponent: 1, confirmation });
  params.forEach((p, i) => { m[`_param${i + 1}`] = p; });
  return m;
}
async function command(target, cmd, params, send_ = send) {
  const acks = [];
  send_(commandLong(target, cmd, params));
  for (;;) {
    const ack = await wait((s, n, m) => s === target && n === 'COMMAND_ACK' && m.command === cmd, 10000);
    if (!ack) return { acks, result: null };
    acks.push(ack.result);
    if (ack.result !== 5) return { acks, result: ack.result, param2: ack.resultParam2 };
  }
}

// Sends `msg` and waits for a reply, resending on silence (the mission protocol's time-out).
async function exchange(msg, match, tries = 12, ms = 700) {
  for (let i = 0; i < tries; i++) {
    send(msg);
    const r = await wait(match, ms);
    if (r) return r;
  }
  return null;
}

// legacy: MISSION_ITEM with float degrees, as older clients and mission files send.
async function upload(target, items, legacy = false) {
  const count = new common.MissionCount();
  Object.assign(count, { count: items.length, targetSystem: target, targetComponent: 1, missionType: 0 });
  const isRequest = (s, n) => s === target && (n === 'MISSION_REQUEST_INT' || n === 'MISSION_REQUEST' || n === 'MISSION_ACK');
  let reply = await exchange(count, isRequest);
  while (reply && reply.seq !== undefined && reply.type === undefined) {
    const it = items[reply.seq];
    const m = legacy ? new common.MissionItem() : new common.MissionItemInt();
    Object.assign(m, it, legacy ? { x: it.x / 1e7, y: it.y / 1e7 } : {},
      { seq: reply.seq, targetSystem: target, targetComponent: 1, missionType: 0, autocontinue: 1 });
    const next = reply.seq + 1 === items.length ? 30 : 12;
    reply = await exchange(m, (s, n, r) => isRequest(s, n) && (n === 'MISSION_ACK' || r.seq !== m.seq), next, 700);
  }
  return reply ? reply.type : null;
}

async function download(target, type = 0, legacy = false) {
  const list = new common.MissionRequestList();
  Object.assign(list, { targetSystem: target, targetComponent: 1, missionType: type });
  const count = await exchange(list, (s, n) => s === target && (n === 'MISSION_COUNT' || n === 'MISSION_ACK'), 20, 1000);
  if (!count || count.count === undefined) return null;
  const items = [];
  for (let i = 0; i < count.count; i++) {
    const req = legacy ? new common.MissionRequest() : new common.MissionRequestInt();
    Object.assign(req, { seq: i, targetSystem: target, targetComponent: 1, missionType: type });
    const item = await exchange(req, (s, n, m) => s === target && n === (legacy ? 'MISSION_ITEM' : 'MISSION_ITEM_INT') && m.seq === i);
    if (!item) return null;
    items.push(item);
  }
  const ack = new common.MissionAck();
  Object.assign(ack, { targetSystem: target, targetComponent: 1, type: 0, missionType: type });
  send(ack);
  return items;
}

// Integer parameters travel bytewise in the float (the declared autopilot's encoding).
const INT_TYPES = { 1: ['readUInt8', 'writeUInt8'], 2: ['readInt8', 'writeInt8'], 3: ['readUInt16LE', 'writeUInt16LE'],
  4: ['readInt16LE', 'writeInt16LE'], 5: ['readUInt32LE', 'writeUInt32LE'], 6: ['readInt32LE', 'writeInt32LE'] };
function paramDecode(f, type) {
  if (!INT_TYPES[type]) return f;
  const b = Buffer.alloc(4); b.writeFloatLE(f); return b[INT_TYPES[type][0]](0);
}
function paramEncode(v, type) {
  if (!INT_TYPES[type]) return v;
  const b = Buffer.alloc(4); b[INT_TYPES[type][1]](v, 0); return b.readFloatLE(0);
}
const paramName = m => String(m.paramId).replace(/\0+$/, '');

const steps = {
  // What the station cannot do to a route is refused in words.
  async missionEdits() {
    const v = vehicles[1];
    const said = async (f) => { const n = texts.length; const r = await f(); await sleep(150); return { r, text: texts.slice(n).map(t => t.text).join('') }; };
    const clear = new common.MissionClearAll();
    Object.assign(clear, { targetSystem: v, targetComponent: 1, missionType: 0 });
    const cleared = await said(async () => { send(clear); const a = await wait((s, n) => s === v && n === 'MISSION_ACK', 3000); return a && a.type; });
    const setCurrent = await said(async () => command(v, 224, [1]));
    const m = new common.MissionSetCurrent();
    Object.assign(m, { targetSystem: v, targetComponent: 1, seq: 1 });
    const setMsg = await said(async () => { send(m); return null; });
    emit('missionEdits', { cleared, setCurrent, setMsg });
  },
  // A mission file as MAVProxy's wp load sends it: home at item 0, take-off without a position,
  // waypoints, RTL, as legacy MISSION_ITEMs; then a mission the station cannot fly.
  async wpFile() {
    const v = vehicles[1], base = positions[v];
    const items = [{ command: 16, frame: 0, x: base.lat, y: base.lon, z: 584, current: 1 },
      { command: 22, frame: 3, x: 0, y: 0, z: 20 },
      { command: 16, frame: 3, x: base.lat + 300, y: base.lon, z: 25 },
      { command: 16, frame: 3, x: base.lat + 600, y: base.lon + 300, z: 25 },
      { command: 20, frame: 0, x: 0, y: 0, z: 0 }].map(i => ({ param1: 0, param2: 0, param3: 0, param4: 0, current: 0, ...i }));
    const result = await upload(v, items, true);
    const back = result === 0 ? await download(v, 0, true) : null;
    const diffs = [];
    if (back) items.forEach((it, i) => ['command', 'frame', 'x', 'y', 'z', 'current'].forEach(f => {
      const want = f === 'x' || f === 'y' ? Math.fround(it[f] / 1e7) : it[f];
      if (!back[i] || back[i][f] !== want) diffs.push([i, f, want, back[i] && back[i][f]]);
    }));
    const n = texts.length;
    const refused = await upload(v, [{ command: 16, frame: 6, x: base.lat, y: base.lon, z: 20, param1: 0, param2: 0, param3: 0, param4: 0 },
      { command: 17, frame: 6, x: base.lat, y: base.lon, z: 20, param1: 0, param2: 0, param3: 0, param4: 0 }]);
    await sleep(150);
    emit('wpFile', { result, count: back && back.length, diffs, refused, text: texts.slice(n).map(t => t.text).join('') });
  },
  // A mission as a client writes it (take-off without a position, RTL at 0 m) comes back as sent.
  async roundTrip() {
    const v = vehicles[1], base = positions[v];
    const items = [{ command: 22, frame: 6, x: 0, y: 0, z: 15, param1: 0, param2: 0, param3: 0, param4: 0 },
      { command: 16, frame: 6, x: base.lat + 300, y: base.lon, z: 20, param1: 0, param2: 0, param3: 0, param4: 0 },
      { command: 16, frame: 6, x: base.lat + 600, y: base.lon + 300, z: 25, param1: 2, param2: 0, param3: 0, param4: 0 },
      { command: 20, frame: 2, x: 0, y: 0, z: 0, param1: 0, param2: 0, param3: 0, param4: 0 }];
    const result = await upload(v, items);
    const back = result === 0 ? await download(v) : null;
    const fields = ['command', 'frame', 'x', 'y', 'z', 'param1', 'param2', 'param3', 'param4'];
    const diffs = [];
    if (back) items.forEach((it, i) => fields.forEach(f => { if (!back[i] || back[i][f] !== it[f]) diffs.push([i, f, it[f], back[i] && back[i][f]]); }));
    emit('roundTrip', { result, count: back && back.length, diffs });
  },
  // What a client asks at connect beside the streams: versions, time, time sync.
  async identity() {
    await sleep(1000);  // long enough to hear positions, were any sent
    const versions = {};
    for (const v of vehicles) {
      send(commandLong(v, 512, [148]));
      const av = await wait((s, n) => s === v && n === 'AUTOPILOT_VERSION', 3000);
      versions[v] = av && { uid: String(av.uid), sw: av.flightSwVersion, caps: String(av.capabilities) };
    }
    const ts = new common.TimeSync();
    Object.assign(ts, { tc1: 0n, ts1: 12345n, targetSystem: vehicles[0], targetComponent: 1 });
    send(ts);
    const sync = await wait((s, n, m) => n === 'TIMESYNC' && m.tc1 !== 0n, 3000);
    send(commandLong(vehicles[0], 512, [2]));
    const st = await wait((s, n) => s === vehicles[0] && n === 'SYSTEM_TIME', 3000);
    const withPosition = vehicles.filter(v => heard[v] && (heard[v].GLOBAL_POSITION_INT || heard[v].HOME_POSITION));
    emit('identity', { versions, timesync: sync && { ts1: String(sync.ts1), from: sync.tc1 > 0n }, systemTimeMs: st && Number(st.timeUnixUsec / 1000n), now: Date.now(), withPosition });
  },
  // What an SDK script does: arm, take off by mode, hold, an unknown mode, return by SET_MODE.
  async modes() {
    const v = vehicles[0];
    const said = async (f) => { const n = texts.length; const r = await f(); await sleep(150); return { ...r, text: texts.slice(n).map(t => t.text).join('') }; };
    const beat = () => beats[v] && { autopilot: beats[v].autopilot, armed: (beats[v].baseMode & 128) !== 0, customMode: beats[v].customMode };
    for (let i = 0; i < 30 && landed[v] === undefined; i++) await sleep(100);
    const r = { before: { landed: landed[v], heartbeat: beat() } };
    r.arm = await said(() => command(v, 400, [1]));
    const startAlt = positions[v] ? positions[v].relativeAlt : 0;
    r.takeoff = await command(v, 176, [1, 4, 2]);
    r.climbed = !!await wait((s, n, m) => s === v && n === 'GLOBAL_POSITION_INT' && m.relativeAlt > startAlt + 1000, 10000);
    r.flying = { landed: await wait((s, n, m) => s === v && n === 'EXTENDED_SYS_STATE' && m.landedState !== 1, 3000) && landed[v], heartbeat: beat() };
    r.hold = await command(v, 176, [1, 4, 3]);
    r.posctl = await said(() => command(v, 176, [1, 3, 0]));
    r.reposition = await said(() => command(v, 192, [-1, 0, 0, 0, 0, 0, 10]));
    const setMode = new common.SetMode();
    Object.assign(setMode, { targetSystem: v, baseMode: 1, customMode: (4 << 16) | (5 << 24) });
    send(setMode);
    const ack = await wait((s, n, m) => s === v && n === 'COMMAND_ACK' && m.command === 176, 10000);
    r.rtl = { result: ack && ack.result };
    emit('modes', r);
  },
  // As a client fetches parameters: the list, then the missing ones by index after 1 s quiet.
  async params() {
    const t0 = Date.now();
    for (const v of vehicles) {
      const m = new common.ParamRequestList();
      Object.assign(m, { targetSystem: v, targetComponent: 1 });
      send(m);
    }
    const complete = v => { const got = paramValues[v] || {}; const n = Object.values(got)[0]; return n && Object.keys(got).length === n.paramCount; };
    let last = -1, quietSince = Date.now();
    while (!vehicles.every(complete) && Date.now() - t0 < 20000) {
      const have = vehicles.reduce((n, v) => n + Object.keys(paramValues[v] || {}).length, 0);
      if (have !== last) { last = have; quietSince = Date.now(); }
      if (Date.now() - quietSince > 1000) {
        quietSince = Date.now();
        for (const v of vehicles) {
          const got = paramValues[v] || {}; const n = Object.values(got)[0];
          if (!n) {  // nothing yet: the list again
            const m = new common.ParamRequestList();
            Object.assign(m, { targetSystem: v, targetComponent: 1 });
            send(m);
          }
          for (let i = 0; n && i < n.paramCount; i++) if (!got[i]) {
            const r = new common.ParamRequestRead();
            Object.assign(r, { targetSystem: v, targetComponent: 1, paramIndex: i, paramId: '' });
            send(r);
          }
        }
      }
      await sleep(20);
    }
    const table = {};
    for (const [i, m] of Object.entries(paramValues[vehicles[0]] || {})) table[paramName(m)] = [Number(i), m.paramType, paramDecode(m.paramValue, m.paramType)];
    emit('params', { ms: Date.now() - t0, complete: vehicles.map(complete), counts: vehicles.map(v => Object.keys(paramValues[v] || {}).length), table });
  },
  // --sets '[[name, value, type], ...]' on the first vehicle: the value answered and any text.
  async paramSet() {
    const out = [];
    for (const [id, value, type] of JSON.parse(args.sets)) {
      const m = new common.ParamSet();
      Object.assign(m, { targetSystem: vehicles[0], targetComponent: 1, paramId: id, paramValue: paramEncode(value, type), paramType: type });
      const textsBefore = texts.length;
      send(m);
      const answer = await wait((s, n, r) => s === vehicles[0] && n === 'PARAM_VALUE' && paramName(r) === id, 8000);
      await sleep(100);
      out.push({ id, value: answer && paramDecode(answer.paramValue, answer.paramType), texts: texts.slice(textsBefore).map(t => t.text) });
    }
    emit('paramSet', { results: out });
  },
  async listen() {
    await sleep(5000);
    const missing = vehicles.filter(v => !(heard[v] && heard[v].HEARTBEAT));
    if (crcErrors) fail(`${crcErrors} frames failed their CRC`);
    if (missing.length) fail(`no heartbeat from ${missing}`);
    const pos = {};
    for (const v of vehicles) pos[v] = positions[v] && { lat: positions[v].lat, lon: positions[v].lon, alt: positions[v].relativeAlt };
    emit('listen', { frames, heard, positions: pos, types });
  },
  async takeoff() {
    const before = positions[vehicles[0]].relativeAlt;
    const r = await command(vehicles[0], 22, [0, 0, 0, 0, 0, 0, 10]);
    const climbed = await wait((s, n, m) => s === vehicles[0] && n === 'GLOBAL_POSITION_INT' && m.relativeAlt > before + 1000, 10000);
    emit('takeoff', { ...r, climbed: !!climbed });
  },
  async hear() {
    // Until every vehicle was heard with a position (5 s at most).
    for (let i = 0; i < 50 && vehicles.some(v => !(heard[v] && heard[v].HEARTBEAT && positions[v])); i++) await sleep(100);
    const missing = vehicles.filter(v => !(heard[v] && heard[v].HEARTBEAT));
    if (missing.length) fail(`no heartbeat from ${missing}`);
    emit('hear', { frames });
  },
  async deniedTakeoff() { emit('deniedTakeoff', await command(vehicles[0], 22, [0, 0, 0, 0, 0, 0, 10])); },
  async deniedUpload() {
    const count = new common.MissionCount();
    Object.assign(count, { count: 3, targetSystem: vehicles[0], targetComponent: 1, missionType: 0 });
    const ack = await exchange(count, (s, n) => s === vehicles[0] && n === 'MISSION_ACK', 3, 1000);
    emit('deniedUpload', { result: ack && ack.type });
  },
  async unsupported() { emit('unsupported', await command(vehicles[0], 31010, [1])); },
  async unknownTarget() {
    send(commandLong(77, 22, [0, 0, 0, 0, 0, 0, 10]));
    emit('unknownTarget', { ack: await wait((s, n) => s === 77 && n === 'COMMAND_ACK', 1000) });
  },
  async garbage() {
    const hb = protocol.serialize(new minimal.Heartbeat(), seq++ & 255);
    for (const raw of [Buffer.from([0xfd, 0xff, 0, 0]), hb.subarray(0, 7), Buffer.alloc(300, 0xfd), Buffer.from('not mavlink')])
      sock.send(raw, bridge.port, bridge.address);
    await sleep(300);
    emit('garbage', {});
  },
  async upload() {
    const base = positions[vehicles[1]];
    const items = [];
    for (let i = 0; i < 20; i++) {
      if (i === 0) items.push({ command: 22, frame: 6, x: base.lat, y: base.lon, z: 20, param1: 0, param2: 0, param3: 0, param4: 0 });
      else items.push({ command: 16, frame: 6, x: base.lat + i * 200, y: base.lon + (i % 2) * 300, z: 20 + i, param1: i % 3, param2: 0, param3: 0, param4: 0 });
    }
    emit('upload', { result: await upload(vehicles[1], items), sent: items.map(i => [i.command, i.x, i.y, i.z]) });
  },
  async download() {
    const items = await download(vehicles[1]);
    emit('download', { items: items && items.map(i => [i.command, i.x, i.y, i.z, i.frame, i.param1, i.param2]) });
  },
  async fence() {
    const items = await download(vehicles[0], 1);
    emit('fence', { items: items && items.map(i => [i.command, i.x, i.y, i.param1]) });
  },
  async soakWatch() {
    const end = Date.now() + Number(args.seconds) * 1000;
    while (Date.now() < end) {
      await sleep(60000);
      emit('soakWatch', { frames, crcErrors, vehicles: Object.keys(heard).length });
    }
  },
  async soakRoutes() {
    const end = Date.now() + Number(args.seconds) * 1000;
    const every = Number(args.every || 60) * 1000;
    const target = vehicles[1];
    while (Date.now() < end) {
      const next = Date.now() + every;
      const base = positions[target];
      if (base) {
        const start = Date.now();
        emit('transfer-start', {});
        const items = [{ command: 22, frame: 6, x: base.lat, y: base.lon, z: 20, param1: 0, param2: 0, param3: 0, param4: 0 }];
        for (let i = 1; i < 10; i++)
          items.push({ command: 16, frame: 6, x: base.lat + i * 200, y: base.lon + (i % 2) * 300, z: 20 + i, param1: 0, param2: 0, param3: 0, param4: 0 });
        const uploaded = await upload(target, items);
        const back = uploaded === 0 ? await download(target) : null;
        const nav = back ? back.filter(i => i.command !== 178).length : -1;
        emit('transfer', { start, ok: uploaded === 0 && nav === items.length, upload: uploaded, downloaded: nav });
      }
      await sleep(Math.max(1000, next - Date.now()));
    }
  },
  async unsigned() {
    sendUnsigned(commandLong(vehicles[0], 22, [0, 0, 0, 0, 0, 0, 10]));
    emit('unsigned', { ack: await wait((s, n) => n === 'COMMAND_ACK', 2000) });
  },
};

sock.bind(Number(args.port), '127.0.0.1', async () => {
  const t0 = Date.now();
  while (!bridge && Date.now() - t0 < 10000) await sleep(50);
  if (!bridge) fail('nothing from the bridge');
  for (const name of args.steps.split(',')) {
    if (!steps[name]) fail(`unknown step ${name}`);
    await steps[name]();
  }
  if (key && badSignatures) fail(`${badSignatures} frames not signed with the key`);
  sock.close();
  process.exit(0);  // pending time-outs would keep node alive
});
