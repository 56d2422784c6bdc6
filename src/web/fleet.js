// The station's fleet page: one WebSocket for everything (a snapshot on connect, then ticks that
// carry only what changed), Leaflet for the map, dygraphs for the selected vehicle's charts.
// Built to follow ten thousand vehicles at 5 Hz: the table holds only the rows in view, cell text
// is written only when it differs, a large fleet is drawn on one canvas, and trails and charts
// are redrawn on their own slower clocks.
'use strict';

(function () {
  const HISTORY_MS = 120000;
  const TRAIL_REDRAW_MS = 1000;
  const CHART_REDRAW_MS = 1000;
  const RECONNECT_FIRST_MS = 500;
  const RECONNECT_MOST_MS = 15000;
  const LEVEL_NAMES = ['', 'Info', 'Warning', 'Critical'];
  const ROW_FIELDS = ['station', 'id', 'code', 'alt', 'speed', 'battery', 'sats', 'mode', 'state', 'seen'];
  const MOST_DOM_MARKERS = 500;  // a larger fleet is drawn on a canvas
  const CANVAS_REDRAW_MS = 200;
  const ROW_MARGIN = 10;  // table rows kept in the document above and below the view

  // Keyed by the station's stable key, 'local:ID' or 'remote:CODE': remote vehicles share id -1.
  const vehicles = new Map();  // key -> entry (see vehicleEntry)
  const dirty = new Set();
  const page = {
    selectedId: null,
    activeId: null,
    config: { rateHz: 5, mapTiles: '' },
    link: null,
    alerts: [],
    stations: null,  // a fleet viewer's station list; null on a station's own page
    alertLevelByVehicle: new Map(),
    route: null,
    routeLine: null,  // the route's polyline, for its tooltip
    zones: [],
    time: 0,  // the station's clock of the newest message
    ticks: 0,
    ws: null,
    wsState: 'connecting',
    retryMs: RECONNECT_FIRST_MS,
    retryAt: 0,
    lastMessageAt: 0,
    fitted: false,
    flushScheduled: false,
    chartDirty: true,
    bigFleet: false,  // drawn on the vehicle canvas
    drawCount: 0,
    vehiclesInView: 0,
    parts: new Map(),  // document key -> {version, count, got, data[]} of a large document
  };

  const el = (id) => document.getElementById(id);
  const keyOf = (v) => (typeof v.key === 'string' ? v.key : 'local:' + v.vehicleId);
  // Rows: by station (a viewer's), then local vehicles by id, then remote ones by code.
  const orderOf = (v) => [String(v.station || ''), v.vehicleId >= 0 ? 0 : 1, v.vehicleId >= 0 ? v.vehicleId : 0,
                          String(v.vehicleCode || '')];
  const before = (a, b) => {
    for (let i = 0; i < a.length; ++i) {
      if (a[i] !== b[i])
        return a[i] < b[i] ? -1 : 1;
    }
    return 0;
  };
  const rowsBody = el('vehicle-rows');

  function make(tag, className, text) {
    const node = document.createElement(tag);
    if (className)
      node.className = className;
    if (text !== undefined)
      node.textContent = text;
    return node;
  }

  // Station text (route and zone names) reaches Leaflet as an element: a string would be HTML.
  function textTip(text) {
    return make('span', '', text);
  }

  function num(v) {
    return typeof v === 'number' && Number.isFinite(v);
  }

  function fixed(v, digits) {
    return num(v) ? v.toFixed(digits) : '–';
  }

  function hasPosition(v) {
    // A vehicle without a fix has no position (null); it stays in the table but off the map.
    return num(v.lat) && num(v.lon) && !(v.lat === 0 && v.lon === 0) && Math.abs(v.lat) <= 90;
  }

  // A time of day from epoch milliseconds, '–' when unknown; the date goes in the tooltip.
  function clockOf(ms) {
    return num(ms) && ms > 0 ? new Date(ms).toTimeString().slice(0, 8) : '–';
  }

  function vehicleLabel(v) {
    const own = v.vehicleCode ? String(v.vehicleCode) : '#' + v.vehicleId;
    return v.station ? String(v.station) + '/' + own : own;
  }

  // ---- map ----------------------------------------------------------------------------------

  const map = L.map('map', { minZoom: 2, maxZoom: 22, zoomSnap: 0.5, worldCopyJump: true });
  map.setView([20, 0], 2);
  L.control.scale({ imperial: false, maxWidth: 160 }).addTo(map);
  for (const [name, z] of [['gridPane', 250], ['zonePane', 380], ['routePane', 390], ['trailPane', 395],
                           ['gridLabelPane', 420]]) {
    map.createPane(name).style.zIndex = z;
  }
  map.getPane('gridPane').style.pointerEvents = 'none';
  map.getPane('gridLabelPane').style.pointerEvents = 'none';
  // Hundreds of trails are cheaper on one canvas than as SVG paths.
  const trailRenderer = L.canvas({ pane: 'trailPane', padding: 0.3 });
  const gridLayer = L.layerGroup().addTo(map);
  const zoneLayer = L.layerGroup().addTo(map);
  const routeLayer = L.layerGroup().addTo(map);
  const trailLayer = L.layerGroup().addTo(map);
  let tileLayer = null;
  let tileNote = null;

  const FitControl = L.Control.extend({
    options: { position: 'topleft' },
    onAdd() {
      const button = L.DomUtil.create('a', 'leaflet-bar fit-control');
      button.id = 'fit-button';
      button.href = '#';
      button.title = 'Show the whole fleet';
      button.textContent = '⤢';
      L.DomEvent.on(button, 'click', (e) => {
        L.DomEvent.preventDefault(e);
        fitFleet(true);
      });
      L.DomEvent.disableClickPropagation(button);
      return button;
    },
  });
  new FitControl().addTo(map);

  const GRID_STEPS = [30, 10, 5, 2, 1, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001, 0.0005, 0.0002, 0.0001,
                      0.00005];

  function gridLabel(value, step, pos, neg) {
    const digits = Math.max(0, Math.ceil(-Math.log10(step) - 1e-9));
    return Math.abs(value).toFixed(digits) + '°' + (value >= 0 ? pos : neg);
  }

  // The graticule is drawn for the view only and redrawn after every move: the map has no tiles
  // offline, so it is what gives the plain background a scale and a position.
  function drawGraticule() {
    gridLayer.clearLayers();
    if (tileLayer)
      return;
    const b = map.getBounds();
    const span = Math.max(b.getNorth() - b.getSouth(), (b.getEast() - b.getWest()) / 1.5);
    const step = GRID_STEPS.find((s) => span / s >= 4) || GRID_STEPS[GRID_STEPS.length - 1];
    const south = Math.max(-85, b.getSouth() - step);
    const north = Math.min(85, b.getNorth() + step);
    const west = b.getWest() - step;
    const east = b.getEast() + step;
    const lineStyle = { pane: 'gridPane', interactive: false, className: 'graticule', weight: 1 };
    const labelAt = (lat, lon, text, cls) =>
      L.marker([lat, lon], {
        pane: 'gridLabelPane', interactive: false, keyboard: false,
        icon: L.divIcon({ className: 'grid-label ' + cls, html: '', iconSize: null }),
      }).addTo(gridLayer).getElement().textContent = text;
    const inner = map.getBounds();
    const labelLat = map.containerPointToLatLng([0, 4]).lat;
    const labelLon = map.containerPointToLatLng([map.getSize().x - 4, 0]).lng;
    const size = map.getSize();
    for (let lat = Math.ceil(south / step) * step; lat <= north; lat += step) {
      L.polyline([[lat, west], [lat, east]], lineStyle).addTo(gridLayer);
      // Labels keep clear of the corner where the two rows of labels meet.
      if (lat > inner.getSouth() && map.latLngToContainerPoint([lat, b.getWest()]).y > 28)
        labelAt(lat, labelLon, gridLabel(lat, step, 'N', 'S'), 'grid-lat');
    }
    for (let lon = Math.ceil(west / step) * step; lon <= east; lon += step) {
      L.polyline([[south, lon], [north, lon]], lineStyle).addTo(gridLayer);
      if (lon > inner.getWest() && map.latLngToContainerPoint([b.getNorth(), lon]).x < size.x - 90)
        labelAt(labelLat, lon, gridLabel(((lon + 540) % 360) - 180, step, 'E', 'W'), 'grid-lon');
    }
  }
  map.on('moveend', drawGraticule);

  function markCrowding() {
    el('map').classList.toggle('crowded', vehicles.size > 40 && map.getZoom() < 20);
  }
  map.on('zoomend', markCrowding);

  function applyConfig(config) {
    page.config = Object.assign({ rateHz: 5, mapTiles: '' }, config || {});
    const template = page.config.mapTiles || '';
    if (tileLayer && tileLayer._url !== template) {
      map.removeLayer(tileLayer);
      tileLayer = null;
      tileNote.remove();
      tileNote = null;
    }
    if (template && !tileLayer) {
      let host = template;
      try {
        host = new URL(template.replace(/\{[a-z]\}/g, '0')).host;
      } catch (e) { /* a template that is not a URL still loads relative tiles */ }
      // Leaflet takes attributions as HTML: the tile host goes in a text control of its own.
      tileLayer = L.tileLayer(template, { maxZoom: 22, maxNativeZoom: 19 });
      tileLayer.addTo(map);
      tileNote = L.control({ position: 'bottomright' });
      tileNote.onAdd = () => make('div', 'leaflet-control-attribution leaflet-control', 'tiles: ' + host);
      tileNote.addTo(map);
    }
    document.body.classList.toggle('with-tiles', !!tileLayer);
    drawGraticule();
  }

  function fitFleet(always) {
    if (!always && page.fitted)
      return;
    const points = [];
    for (const entry of vehicles.values()) {
      if (hasPosition(entry.v))
        points.push([entry.v.lat, entry.v.lon]);
    }
    const hadVehicles = points.length > 0;
    if (page.route) {
      for (const wp of page.route.waypoints || []) {
        if (num(wp.lat) && num(wp.lon))
          points.push([wp.lat, wp.lon]);
      }
    }
    if (!points.length || (!always && page.fitted))
      return;
    map.fitBounds(L.latLngBounds(points).pad(0.15), { maxZoom: 18, animate: false });
    page.fitted = page.fitted || hadVehicles;
  }

  // ---- vehicles -----------------------------------------------------------------------------

  function levelOf(v) {
    const fromAlerts = page.alertLevelByVehicle.get(keyOf(v)) || 0;
    const own = num(v.worstAlertLevel) ? v.worstAlertLevel : 0;
    return Math.min(3, Math.max(own, fromAlerts));
  }

  // Markers and trails are made when first drawn: a large fleet has neither (see vehicleCanvas).
  function vehicleEntry(v) {
    return {
      id: keyOf(v), v, marker: null, markerEl: null, arrowEl: null, labelEl: null, markerState: '', trail: null,
      history: [], trailDirty: false, onMap: false, onDomMap: false, px: 0, py: 0, drawn: 0,
    };
  }

  function domMarker(entry) {
    if (!entry.marker) {
      const icon = L.divIcon({
        className: 'vehicle-marker',
        html: '<div class="arrow"></div><div class="vehicle-label"></div>',
        iconSize: [24, 24],
        iconAnchor: [12, 12],
      });
      entry.marker = L.marker([0, 0], { icon, keyboard: false, riseOnHover: true });
      entry.marker.on('click', () => select(entry.id, false));
    }
    return entry.marker;
  }

  function trailOf(entry) {
    if (!entry.trail) {
      entry.trail = L.polyline([], { renderer: trailRenderer, interactive: false, weight: 2, opacity: 0.75,
                                     color: '#2a6fbb' });
      entry.trailDirty = true;
    }
    return entry.trail;
  }

  // A large fleet shows only the selected vehicle's trail: thousands of them are a blur that
  // costs a canvas redraw of every point each second.
  const showsTrail = (entry) => !page.bigFleet || entry.id === page.selectedId;

  // What a row shows of a vehicle: the table and fleetPage.vehicleRows() both read it.
  function rowTexts(v) {
    return {
      station: v.station ? String(v.station) : '',
      id: v.vehicleId >= 0 ? String(v.vehicleId) : 'remote',
      code: v.vehicleCode || '',
      alt: fixed(v.alt, 1),
      speed: fixed(v.groundSpeed, 1),
      battery: fixed(v.fcuVol, 1),
      sats: num(v.posSatNum) ? String(v.posSatNum) : '–',
      mode: v.flightModeText || (num(v.flightMode) ? String(v.flightMode) : '–'),
      state: v.flightStateText || (num(v.flightState) ? String(v.flightState) : '–'),
      // A viewer's "last seen": when the station made the state it shows.
      seen: v.lastSeenMs === undefined ? '' : clockOf(v.lastSeenMs),
    };
  }

  function stateOf(entry) {
    const v = entry.v;
    return (v.alive ? 'alive' : 'dead') + levelOf(v) + (v.active ? 'a' : '') + (entry.id === page.selectedId ? 's' : '');
  }

  function renderVehicle(entry) {
    const v = entry.v;
    const had = entry.onMap;
    entry.onMap = hasPosition(v);
    if (page.bigFleet) {
      if (entry.onMap || had)
        vehicleCanvas.dirty = true;
      if (entry.onDomMap)
        hideDomMarker(entry);
      const trailShown = entry.trail && entry.trail._map;
      if (showsTrail(entry) && entry.onMap && !trailShown)
        trailLayer.addLayer(trailOf(entry));
      else if (!showsTrail(entry) && trailShown)
        trailLayer.removeLayer(entry.trail);
      return;
    }
    if (!entry.onMap) {
      // Its track stays where it was last seen.
      if (entry.onDomMap) {
        map.removeLayer(entry.marker);
        entry.onDomMap = false;
      }
      return;
    }
    const marker = domMarker(entry);
    marker.setLatLng([v.lat, v.lon]);
    if (!entry.onDomMap) {
      marker.addTo(map);
      if (!trailOf(entry)._map)
        trailLayer.addLayer(entry.trail);
      entry.onDomMap = true;
      entry.markerEl = marker.getElement();
      entry.arrowEl = entry.markerEl.querySelector('.arrow');
      entry.labelEl = entry.markerEl.querySelector('.vehicle-label');
      entry.markerEl.dataset.key = entry.id;
      // Leaflet builds the icon's inside afresh on every add.
      entry.markerState = '';
      entry.heading = undefined;
      entry.labelText = undefined;
    }
    const heading = num(v.heading) ? Math.round(v.heading) : 0;
    if (entry.heading !== heading) {
      entry.heading = heading;
      entry.arrowEl.style.transform = 'rotate(' + heading + 'deg)';
    }
    const label = vehicleLabel(v);
    if (entry.labelText !== label) {
      entry.labelText = label;
      entry.labelEl.textContent = label;
    }
    const markerState = stateOf(entry);
    if (entry.markerState !== markerState) {
      entry.markerState = markerState;
      const level = levelOf(v);
      const cls = entry.markerEl.classList;
      cls.toggle('dead', !v.alive);
      cls.toggle('selected', entry.id === page.selectedId);
      cls.toggle('active-vehicle', !!v.active);
      for (let i = 0; i <= 3; ++i)
        cls.toggle('level-' + i, v.alive && i === level);
      marker.setZIndexOffset(entry.id === page.selectedId ? 1000 : 0);
    }
  }

  function hideDomMarker(entry) {
    if (!entry.onDomMap)
      return;
    map.removeLayer(entry.marker);
    if (entry.trail)
      trailLayer.removeLayer(entry.trail);
    entry.onDomMap = false;
  }

  // ---- a large fleet on one canvas ------------------------------------------------------------
  // Thousands of marker elements make every move a style and layout pass: past
  // MOST_DOM_MARKERS vehicles they are drawn as arrows on one canvas instead, only those in
  // view, at most every CANVAS_REDRAW_MS; labels only when few are in view, and the selected one's.

  const VehicleCanvas = L.Layer.extend({
    onAdd(m) {
      this.canvas = L.DomUtil.create('canvas', 'vehicle-canvas leaflet-zoom-hide');
      this.canvas.id = 'vehicle-canvas';
      m.getPane('vehiclePane').appendChild(this.canvas);
      m.on('moveend zoomend resize viewreset', this.reset, this);
      this.dirty = true;
      this.reset();
    },
    onRemove(m) {
      this.canvas.remove();
      m.off('moveend zoomend resize viewreset', this.reset, this);
    },
    reset() {
      const size = this._map.getSize();
      const ratio = window.devicePixelRatio || 1;
      L.DomUtil.setPosition(this.canvas, this._map.containerPointToLayerPoint([0, 0]));
      this.canvas.width = Math.round(size.x * ratio);
      this.canvas.height = Math.round(size.y * ratio);
      this.canvas.style.width = size.x + 'px';
      this.canvas.style.height = size.y + 'px';
      this.draw();
    },
    draw() {
      this.dirty = false;
      this.drawnAt = Date.now();
      const m = this._map;
      const ctx = this.canvas.getContext('2d');
      const ratio = window.devicePixelRatio || 1;
      ctx.setTransform(1, 0, 0, 1, 0, 0);
      ctx.clearRect(0, 0, this.canvas.width, this.canvas.height);
      const size = m.getSize();
      const stamp = ++page.drawCount;
      const colours = { dead: '#8a96a3', 0: '#2b8a3e', 1: '#2b8a3e', 2: '#f08c00', 3: '#e03131' };
      const buckets = { dead: [], 0: [], 1: [], 2: [], 3: [] };
      const order = ['dead', 0, 1, 2, 3];  // the worst drawn last, on top
      let inView = 0;
      let selected = null;
      for (const entry of vehicles.values()) {
        if (!entry.onMap)
          continue;
        const p = m.latLngToContainerPoint([entry.v.lat, entry.v.lon]);
        if (p.x < -12 || p.y < -12 || p.x > size.x + 12 || p.y > size.y + 12)
          continue;
        entry.px = p.x;
        entry.py = p.y;
        entry.drawn = stamp;
        ++inView;
        if (entry.id === page.selectedId)
          selected = entry;
        else
          buckets[entry.v.alive ? levelOf(entry.v) : 'dead'].push(entry);
      }
      // The arrow's corners turned here, not by setTransform, and a fill closes each shape itself:
      // Chromium's setTransform and closePath each cost the length of the path already open, and
      // ten thousand arrows in one path took a second.
      const arrow = (entry, scale, closed) => {
        const a = (num(entry.v.heading) ? entry.v.heading : 0) * Math.PI / 180;
        const c = Math.cos(a) * scale * ratio;
        const s = Math.sin(a) * scale * ratio;
        const x = entry.px * ratio;
        const y = entry.py * ratio;
        const at = (u, w) => [x + c * u - s * w, y + s * u + c * w];
        ctx.moveTo(...at(0, -6));
        ctx.lineTo(...at(5, 6));
        ctx.lineTo(...at(0, 3));
        ctx.lineTo(...at(-5, 6));
        if (closed)
          ctx.closePath();
      };
      for (const bucket of order) {
        const list = buckets[bucket];
        if (!list.length)
          continue;
        ctx.beginPath();
        for (const entry of list)
          arrow(entry, 1);
        ctx.fillStyle = colours[bucket];
        ctx.fill();
      }
      const labelled = inView <= 40 ? [...Object.values(buckets).flat()] : [];
      if (selected) {
        ctx.beginPath();
        arrow(selected, 1.6, true);  // stroked
        ctx.fillStyle = selected.v.alive ? colours[levelOf(selected.v)] : colours.dead;
        ctx.strokeStyle = '#1864ab';
        ctx.lineWidth = 2 * ratio;
        ctx.fill();
        ctx.stroke();
        labelled.push(selected);
      }
      ctx.font = (11 * ratio) + 'px system-ui, "DejaVu Sans", sans-serif';
      ctx.textBaseline = 'middle';
      for (const entry of labelled) {
        const text = vehicleLabel(entry.v);
        const x = (entry.px + 12) * ratio;
        const y = entry.py * ratio;
        const w = ctx.measureText(text).width + 8 * ratio;
        ctx.fillStyle = entry === selected ? '#dbe9f8' : 'rgba(255, 255, 255, 0.85)';
        ctx.fillRect(x, y - 8 * ratio, w, 16 * ratio);
        ctx.fillStyle = '#1d2733';
        ctx.fillText(text, x + 4 * ratio, y);
      }
      page.vehiclesInView = inView;
    },
    // The vehicle drawn nearest to a point of the map, within `most` pixels.
    nearest(point, most) {
      let best = null;
      let bestD = most * most;
      for (const entry of vehicles.values()) {
        if (entry.drawn !== page.drawCount)
          continue;
        const d = (entry.px - point.x) ** 2 + (entry.py - point.y) ** 2;
        if (d <= bestD) {
          best = entry;
          bestD = d;
        }
      }
      return best;
    },
  });
  map.createPane('vehiclePane').style.zIndex = 600;
  map.getPane('vehiclePane').style.pointerEvents = 'none';
  const vehicleCanvas = new VehicleCanvas();
  map.on('click', (e) => {
    if (!page.bigFleet)
      return;
    const hit = vehicleCanvas.nearest(e.containerPoint, 10);
    if (hit)
      select(hit.id, false);
  });

  function setBigFleet(big) {
    if (big === page.bigFleet)
      return;
    page.bigFleet = big;
    if (big)
      vehicleCanvas.addTo(map);
    else
      map.removeLayer(vehicleCanvas);
    for (const entry of vehicles.values()) {
      if (entry.trail && entry.trail._map && !showsTrail(entry))
        trailLayer.removeLayer(entry.trail);
      dirty.add(entry.id);
    }
  }

  // ---- the vehicle table ----------------------------------------------------------------------
  // Virtual: only the rows in view, plus ROW_MARGIN on each side, are in the document; two spacer
  // rows stand for the others. A row element is reused for whichever vehicle scrolls into its
  // place, and a cell's text is written only when it differs.

  const table = {
    scroller: rowsBody.closest('.table-scroll'),
    order: [],  // keys of the shown vehicles, in table order
    orderDirty: true,
    sortField: null,  // null: by station, then id
    sortDir: 1,
    sortedAt: 0,
    filter: '',
    rowHeight: 22,
    first: 0,
    measured: false,
    rows: [],  // the row elements, of order[first], order[first + 1], ...
    top: null,
    bottom: null,
    scheduled: false,
  };
  // Values the columns sort by; an unknown value sorts last.
  const SORT_VALUES = {
    alt: (v) => v.alt, speed: (v) => v.groundSpeed, battery: (v) => v.fcuVol, sats: (v) => v.posSatNum,
    mode: (v) => v.flightModeText || v.flightMode, state: (v) => v.flightStateText || v.flightState,
    seen: (v) => v.lastSeenMs,
    code: (v) => String(v.vehicleCode || ''),
  };
  // Columns whose values move with every tick: their order is made again at most once a second.
  const SORT_MOVING = new Set(['alt', 'speed', 'battery', 'sats', 'mode', 'state', 'seen']);
  const SORT_EVERY_MS = 1000;

  function spacer() {
    const tr = make('tr', 'spacer');
    const td = make('td');
    td.colSpan = ROW_FIELDS.length;
    tr.appendChild(td);
    return tr;
  }
  table.top = spacer();
  table.bottom = spacer();
  rowsBody.append(table.top, table.bottom);

  function matchesFilter(v) {
    if (!table.filter)
      return true;
    return (vehicleLabel(v) + ' ' + v.vehicleId).toLowerCase().includes(table.filter);
  }

  function sortOrder() {
    const field = table.sortField;
    const value = field && SORT_VALUES[field];
    const list = [];
    for (const entry of vehicles.values()) {
      if (matchesFilter(entry.v))
        list.push({ key: entry.id, base: orderOf(entry.v), value: value ? value(entry.v) : null });
    }
    const dir = table.sortDir;
    const known = (x) => x !== null && x !== undefined && x !== '';
    list.sort((a, b) => {
      if (value && a.value !== b.value) {
        if (!known(a.value) || !known(b.value))
          return known(a.value) ? -1 : 1;
        return (a.value < b.value ? -1 : 1) * dir;
      }
      return before(a.base, b.base) * (value ? 1 : dir);
    });
    table.order = list.map((x) => x.key);
    table.orderDirty = false;
    table.sortedAt = Date.now();
    el('vehicle-shown').textContent = table.filter ? table.order.length + ' of ' + vehicles.size : '';
  }

  function makeRow() {
    const tr = make('tr', 'vehicle-row');
    tr.cells$ = {};
    tr.shown = {};
    for (const field of ROW_FIELDS) {
      const td = make('td', 'col-' + field);
      if (!['station', 'code', 'mode', 'state', 'seen'].includes(field))
        td.classList.add('num');
      tr.appendChild(td);
      tr.cells$[field] = td;
    }
    return tr;
  }

  function bindRow(tr, entry) {
    if (tr.dataset.key !== entry.id) {
      tr.id = 'vehicle-row-' + entry.id;
      tr.dataset.key = entry.id;
      tr.dataset.vehicleId = entry.v.vehicleId;
      tr.rowState = '';
    }
    const texts = rowTexts(entry.v);
    for (const field of ROW_FIELDS) {
      if (tr.shown[field] !== texts[field]) {
        tr.shown[field] = texts[field];
        tr.cells$[field].textContent = texts[field];
      }
    }
    const v = entry.v;
    const rowState = stateOf(entry);
    if (tr.rowState !== rowState) {
      const level = levelOf(v);
      tr.rowState = rowState;
      tr.classList.toggle('dead', !v.alive);
      tr.classList.toggle('active-vehicle', !!v.active);
      tr.classList.toggle('selected', entry.id === page.selectedId);
      tr.dataset.level = level;
      tr.title = v.alive ? (level ? LEVEL_NAMES[level] + ' alert' : '')
                         : v.stationOnline === false ? 'station offline' : 'no heartbeat';
    }
  }

  // Puts the rows in view (and the margin) in the document; reads the geometry before it writes.
  function renderTable() {
    table.scheduled = false;
    if (table.orderDirty || (SORT_MOVING.has(table.sortField) && Date.now() - table.sortedAt >= SORT_EVERY_MS))
      sortOrder();
    const n = table.order.length;
    const headHeight = rowsBody.parentNode.tHead.offsetHeight;
    const viewTop = Math.max(0, table.scroller.scrollTop - headHeight);
    const viewRows = Math.ceil(table.scroller.clientHeight / table.rowHeight) + 1;
    const first = Math.max(0, Math.min(Math.floor(viewTop / table.rowHeight) - ROW_MARGIN, n - viewRows - 2 * ROW_MARGIN));
    const last = Math.min(n, first + viewRows + 2 * ROW_MARGIN);
    while (table.rows.length < last - first) {
      const tr = makeRow();
      rowsBody.insertBefore(tr, table.bottom);
      table.rows.push(tr);
      table.measured = false;
    }
    while (table.rows.length > last - first)
      table.rows.pop().remove();
    table.first = first;
    for (let i = first; i < last; ++i)
      bindRow(table.rows[i - first], vehicles.get(table.order[i]));
    table.top.firstChild.style.height = first * table.rowHeight + 'px';
    table.bottom.firstChild.style.height = (n - last) * table.rowHeight + 'px';
    table.top.hidden = first === 0;
    table.bottom.hidden = last === n;
    // The rows' real height (fonts differ between machines), measured when rows were added:
    // a measure after the writes above costs a layout.
    if (table.rows.length && !table.measured) {
      const h = table.rows[0].getBoundingClientRect().height;
      table.measured = h > 0;
      if (h > 0 && Math.abs(h - table.rowHeight) > 0.01) {
        table.rowHeight = h;
        scheduleTable();
      }
    }
  }

  function scheduleTable() {
    if (table.scheduled)
      return;
    table.scheduled = true;
    requestAnimationFrame(() => {
      if (table.scheduled)
        renderTable();
    });
  }
  table.scroller.addEventListener('scroll', scheduleTable, { passive: true });
  window.addEventListener('resize', () => {
    table.measured = false;
    scheduleTable();
  });

  // Brings a vehicle's row into view, unless the filter hides it.
  function scrollToVehicle(id) {
    if (table.orderDirty)
      sortOrder();
    const i = table.order.indexOf(id);
    if (i < 0)
      return;
    const headHeight = rowsBody.parentNode.tHead.offsetHeight;
    const top = headHeight + i * table.rowHeight;
    const s = table.scroller;
    if (top < s.scrollTop + headHeight || top + table.rowHeight > s.scrollTop + s.clientHeight)
      s.scrollTop = top - s.clientHeight / 2;
    renderTable();
  }

  rowsBody.addEventListener('click', (e) => {
    const tr = e.target.closest('tr.vehicle-row');
    if (tr && vehicles.has(tr.dataset.key))
      select(tr.dataset.key, true);
  });
  for (const th of document.querySelectorAll('#vehicle-table th[data-sort]')) {
    th.addEventListener('click', () => {
      const field = th.dataset.sort === 'default' ? null : th.dataset.sort;
      table.sortDir = table.sortField === field ? -table.sortDir : 1;
      table.sortField = field;
      for (const other of document.querySelectorAll('#vehicle-table th[data-sort]'))
        other.dataset.sorted = other === th ? (table.sortDir > 0 ? 'up' : 'down') : '';
      table.orderDirty = true;
      renderTable();
    });
  }
  el('vehicle-filter').addEventListener('input', (e) => {
    table.filter = e.target.value.trim().toLowerCase();
    table.orderDirty = true;
    table.scroller.scrollTop = 0;
    renderTable();
  });

  function record(entry, time) {
    const v = entry.v;
    const h = entry.history;
    if (h.length && h[h.length - 1].t >= time)
      return;
    h.push({ t: time, lat: v.lat, lon: v.lon, alt: v.alt, up: v.upSpd, pos: hasPosition(v) });
    entry.trailDirty = true;
    if (entry.id === page.selectedId)
      page.chartDirty = true;
  }

  // A snapshot's V replaces the stored one; a tick's entry carries only the keys that changed
  // (a newcomer's is whole) and is merged into it.
  function upsertVehicle(v, time, merge) {
    if (!v || !num(v.vehicleId))
      return;
    const key = keyOf(v);
    let entry = vehicles.get(key);
    if (!entry) {
      entry = vehicleEntry(v);
      vehicles.set(key, entry);
      table.orderDirty = true;
    } else if (v.vehicleCode !== undefined && v.vehicleCode !== entry.v.vehicleCode) {
      table.orderDirty = true;
    }
    entry.v = merge ? Object.assign(entry.v, v) : v;
    if (entry.v.active)
      page.activeId = entry.v.vehicleId;
    record(entry, time);
    dirty.add(key);
  }

  function removeVehicle(id) {
    const entry = vehicles.get(id);
    if (!entry)
      return;
    hideDomMarker(entry);
    if (entry.trail)
      trailLayer.removeLayer(entry.trail);
    if (entry.onMap)
      vehicleCanvas.dirty = true;
    vehicles.delete(id);
    dirty.delete(id);
    table.orderDirty = true;
    if (page.selectedId === id)
      select(null, false);
  }

  function scheduleFlush() {
    if (page.flushScheduled)
      return;
    page.flushScheduled = true;
    // A hidden tab gets no animation frames; the timer keeps the table current there.
    requestAnimationFrame(flush);
    setTimeout(flush, 250);
  }

  function flush() {
    if (!page.flushScheduled)
      return;
    page.flushScheduled = false;
    setBigFleet(vehicles.size > MOST_DOM_MARKERS);
    for (const id of dirty) {
      const entry = vehicles.get(id);
      if (entry)
        renderVehicle(entry);
    }
    dirty.clear();
    const wait = (vehicleCanvas.drawnAt || 0) + CANVAS_REDRAW_MS - Date.now();
    if (page.bigFleet && vehicleCanvas.dirty && wait <= 0) {
      vehicleCanvas.draw();
    } else if (page.bigFleet && vehicleCanvas.dirty && !vehicleCanvas.timer) {
      vehicleCanvas.timer = setTimeout(() => {
        vehicleCanvas.timer = 0;
        scheduleFlush();
      }, wait);
    }
    renderTable();
    const count = vehicles.size + (vehicles.size === 1 ? ' vehicle' : ' vehicles');
    if (el('fleet-count').textContent !== count)
      el('fleet-count').textContent = count;
    markCrowding();
    fitFleet(false);
  }

  function trimAndDrawTrails() {
    const cutoff = page.time - HISTORY_MS;
    for (const entry of vehicles.values()) {
      const h = entry.history;
      let drop = 0;
      while (drop < h.length && h[drop].t < cutoff)
        ++drop;
      if (drop) {
        h.splice(0, drop);
        entry.trailDirty = true;
      }
      if (entry.trailDirty && entry.trail && entry.trail._map) {
        entry.trailDirty = false;
        entry.trail.setLatLngs(h.filter((s) => s.pos).map((s) => [s.lat, s.lon]));
      }
    }
  }
  setInterval(trimAndDrawTrails, TRAIL_REDRAW_MS);

  function styleTrail(entry, selected) {
    const style = selected ? { color: '#0b7285', weight: 4 } : { color: '#2a6fbb', weight: 2 };
    const trail = trailOf(entry);
    // Leaflet restyles only a drawn path; an empty or hidden one takes the style when it is drawn.
    if (trail._map && trail.getLatLngs().length) {
      trail.setStyle(style);
      if (selected)
        trail.bringToFront();
    } else {
      L.Util.setOptions(trail, style);
    }
  }

  function select(id, centre) {
    const previous = vehicles.get(page.selectedId);
    page.selectedId = id;
    if (previous)
      dirty.add(previous.id);
    const entry = vehicles.get(id);
    if (entry) {
      dirty.add(id);
      if (centre && hasPosition(entry.v))
        map.panTo([entry.v.lat, entry.v.lon]);
      else if (!centre)
        scrollToVehicle(id);
      styleTrail(entry, true);
    }
    if (previous && previous !== entry)
      styleTrail(previous, false);
    vehicleCanvas.dirty = true;
    vehicleCanvas.drawnAt = 0;
    el('selected-label').textContent = entry ? vehicleLabel(entry.v) +
                                               (entry.v.vehicleId >= 0 ? ' (id ' + entry.v.vehicleId + ')' : ' (remote)')
                                             : 'none (click a row or a marker)';
    page.chartDirty = true;
    scheduleFlush();
    drawCharts();
  }

  // ---- charts -------------------------------------------------------------------------------

  const charts = { alt: null, up: null };

  function chartOptions(label, colour) {
    return {
      labels: ['time', label],
      colors: [colour],
      strokeWidth: 1.5,
      legend: 'always',
      labelsSeparateLines: false,
      animatedZooms: false,
      connectSeparatedPoints: false,
      drawGrid: true,
      gridLineColor: '#dde3ea',
      axes: {
        x: { pixelsPerLabel: 70, axisLabelWidth: 60 },
        y: { axisLabelWidth: 44, pixelsPerLabel: 20 },
      },
      interactionModel: {},  // the window follows live time; no drag-zoom that the next redraw would undo
      // The stock legend is HTML with style attributes, which the page's CSP blocks: built as text.
      legendFormatter: (data) => {
        const fragment = document.createDocumentFragment();
        for (const s of data.series.filter((s) => s.isVisible)) {
          const span = make('span', '', s.label + (num(s.y) ? ': ' + s.y : ''));
          span.style.color = s.color;
          span.style.fontWeight = 'bold';
          fragment.appendChild(span);
        }
        return fragment;
      },
    };
  }

  function drawCharts() {
    if (!page.chartDirty)
      return;
    const entry = vehicles.get(page.selectedId);
    const samples = entry ? entry.history : [];
    const end = page.time || Date.now();
    // A vehicle heard for less than the full window fills the chart, down to half a minute.
    const first = samples.length ? samples[0].t : end;
    const span = [new Date(Math.max(end - HISTORY_MS, Math.min(first, end - 30000))), new Date(end)];
    const altData = [];
    const upData = [];
    for (const s of samples) {
      const t = new Date(s.t);
      altData.push([t, num(s.alt) ? s.alt : null]);
      upData.push([t, num(s.up) ? s.up : null]);
    }
    // Ticks carry only vehicles that changed: the last values hold until now.
    const last = samples[samples.length - 1];
    if (last && last.t < end) {
      altData.push([new Date(end), num(last.alt) ? last.alt : null]);
      upData.push([new Date(end), num(last.up) ? last.up : null]);
    }
    el('charts-panel').classList.toggle('empty', altData.length < 2);
    // dygraphs refuses an empty data set; the chart waits for two samples.
    if (altData.length < 2)
      return;
    page.chartDirty = false;
    for (const [key, data, div, label, colour] of [
      ['alt', altData, 'alt-chart', 'altitude m', '#1f6fb2'],
      ['up', upData, 'vspeed-chart', 'vertical speed m/s', '#2b8a3e']]) {
      if (!charts[key])
        charts[key] = new Dygraph(el(div), data, Object.assign(chartOptions(label, colour), { dateWindow: span }));
      else
        charts[key].updateOptions({ file: data, dateWindow: span });
    }
  }
  setInterval(() => {
    if (vehicles.has(page.selectedId))
      page.chartDirty = true;  // the window slides even when the vehicle sends nothing new
    drawCharts();
  }, CHART_REDRAW_MS);

  // ---- alerts, route, zones, link -----------------------------------------------------------

  function levelIndex(level) {
    if (num(level))
      return Math.min(3, Math.max(0, level + 1));  // alert records count from Info = 0
    const i = LEVEL_NAMES.indexOf(String(level));
    return i > 0 ? i : 1;
  }

  function applyAlerts(doc) {
    page.alerts = (doc && Array.isArray(doc.alerts)) ? doc.alerts : [];
    const byVehicle = new Map();
    const groups = new Map([[3, []], [2, []], [1, []]]);
    for (const a of page.alerts) {
      const level = levelIndex(a.level);
      groups.get(level).push(a);
      byVehicle.set(keyOf(a), Math.max(byVehicle.get(keyOf(a)) || 0, level));
    }
    const changed = new Set([...page.alertLevelByVehicle.keys(), ...byVehicle.keys()]);
    page.alertLevelByVehicle = byVehicle;
    for (const id of changed) {
      if (vehicles.has(id))
        dirty.add(id);
    }
    const box = el('alert-groups');
    box.replaceChildren();
    for (const [level, list] of groups) {
      if (!list.length)
        continue;
      const name = LEVEL_NAMES[level];
      const group = make('div', 'alert-group level-' + level);
      group.dataset.level = name;
      group.appendChild(make('h3', '', name + ' (' + list.length + ')'));
      const ul = make('ul');
      for (const a of list) {
        const li = make('li', 'alert');
        const who = a.vehicleCode || '#' + a.vehicleId;
        li.appendChild(make('span', 'alert-vehicle', a.station ? a.station + '/' + who : who));
        if (a.stationOnline === false)
          li.classList.add('stale');
        li.appendChild(make('span', 'alert-text', a.message || a.id || ''));
        li.title = a.id || '';
        ul.appendChild(li);
      }
      group.appendChild(ul);
      box.appendChild(group);
    }
    if (!page.alerts.length)
      box.appendChild(make('div', 'none', 'none'));
    el('alert-count').textContent = String(page.alerts.length);
    scheduleFlush();
  }

  function applyRoute(doc) {
    const route = doc ? doc.route : null;
    page.route = route || null;
    routeLayer.clearLayers();
    page.routeLine = null;
    if (!route)
      return;
    const area = Array.isArray(route.area) ? route.area.filter((p) => Array.isArray(p) && p.length >= 2) : [];
    if (area.length >= 3) {
      L.polygon(area, { pane: 'routePane', className: 'route-area', color: '#6741d9', weight: 1.5, dashArray: '6 4',
                        fillOpacity: 0.06, interactive: false }).addTo(routeLayer);
    }
    const waypoints = (route.waypoints || []).filter((wp) => num(wp.lat) && num(wp.lon));
    if (waypoints.length >= 2) {
      page.routeLine = L.polyline(waypoints.map((wp) => [wp.lat, wp.lon]),
                 { pane: 'routePane', className: 'route-line', color: '#6741d9', weight: 3, opacity: 0.85 })
        .bindTooltip(textTip(route.name || String(route.id || 'route')), { sticky: true })
        .addTo(routeLayer);
    }
    waypoints.forEach((wp, i) => {
      const number = num(wp.number) ? wp.number : i + 1;
      L.marker([wp.lat, wp.lon], {
        keyboard: false,
        zIndexOffset: -1000,
        icon: L.divIcon({ className: 'waypoint-marker', html: '', iconSize: [20, 20], iconAnchor: [10, 10] }),
        title: 'waypoint ' + number + (num(wp.alt) ? ', ' + wp.alt.toFixed(1) + ' m' : ''),
      }).addTo(routeLayer).getElement().textContent = String(number);
    });
    if (!page.fitted)
      fitFleet(false);
  }

  function applyZones(doc) {
    page.zones = (doc && Array.isArray(doc.zones)) ? doc.zones : [];
    zoneLayer.clearLayers();
    const style = { pane: 'zonePane', className: 'zone-shape', color: '#e03131', weight: 2, fillColor: '#ff6b6b',
                    fillOpacity: 0.25 };
    for (const z of page.zones) {
      let shape = null;
      if (z.shape === 'circle' && Array.isArray(z.center) && num(z.radius) && z.radius > 0)
        shape = L.circle(z.center, Object.assign({ radius: z.radius }, style));
      else if (z.shape === 'polygon' && Array.isArray(z.points) && z.points.length >= 3)
        shape = L.polygon(z.points, style);
      if (!shape) {
        console.warn('zone ' + z.id + ' has no drawable shape');
        continue;
      }
      shape.bindTooltip(textTip('No-fly zone ' + (z.name || z.id)), { sticky: true }).addTo(zoneLayer);
    }
  }

  // A fleet viewer's stations: name, online or offline, vehicles (alive of all), version.
  function applyStations(doc) {
    page.stations = (doc && Array.isArray(doc.stations)) ? doc.stations : null;
    const panel = el('stations-panel');
    document.body.classList.toggle('fleet-view', page.stations !== null);
    panel.hidden = page.stations === null;
    const list = el('station-list');
    list.replaceChildren();
    for (const s of page.stations || []) {
      const state = s.online ? 'online' : (s.state === 'unconfirmed' ? 'unconfirmed' : 'offline');
      const li = make('li', s.online ? 'online' : 'offline');
      li.dataset.station = String(s.id);
      li.dataset.state = state;
      li.appendChild(make('span', 'station-name', String(s.id)));
      li.appendChild(make('span', 'station-state',
                          state === 'offline' && num(s.offlineSince) ? 'offline since ' + clockOf(s.offlineSince)
                                                                     : state));
      li.appendChild(make('span', 'station-vehicles',
                          (num(s.aliveVehicles) ? s.aliveVehicles + ' of ' : '') + (num(s.vehicles) ? s.vehicles : 0) +
                          ' vehicles'));
      li.appendChild(make('span', 'station-version', s.version ? 'v' + s.version : ''));
      li.title = s.startedAt ? 'started ' + s.startedAt : '';
      list.appendChild(li);
    }
    el('station-count').textContent = String((page.stations || []).length);
  }

  function applyLink(doc) {
    page.link = doc || null;
    const box = el('link-state');
    if (!doc) {
      box.textContent = 'link: –';
      box.dataset.state = 'none';
      return;
    }
    box.textContent = 'link: ' + (doc.connectionMode || 'None') + (doc.connected ? ', connected' : ', not connected');
    box.dataset.state = doc.connected ? 'up' : 'down';
    if (doc.activeVehicleId !== undefined)
      page.activeId = doc.activeVehicleId;
    const code = doc.activeVehicleCode || (num(doc.activeVehicleId) ? '#' + doc.activeVehicleId : '–');
    el('active-vehicle').textContent = 'active: ' + code;
  }

  function showTime(ms) {
    if (!num(ms) || ms <= 0)
      return;
    page.time = Math.max(page.time, ms);
    el('station-time').textContent = new Date(page.time).toLocaleTimeString();
  }

  // ---- WebSocket ----------------------------------------------------------------------------

  function setWsState(state, text) {
    page.wsState = state;
    const box = el('ws-state');
    box.dataset.state = state;
    box.textContent = 'page: ' + text;
    document.body.classList.toggle('offline', state !== 'open');
  }

  function applyFleet(doc, time) {
    const seen = new Set();
    for (const v of (doc && doc.vehicles) || []) {
      upsertVehicle(v, time);
      seen.add(keyOf(v));
    }
    for (const id of [...vehicles.keys()]) {
      if (!seen.has(id))
        removeVehicle(id);
    }
    if (doc && doc.activeVehicleId !== undefined)
      page.activeId = doc.activeVehicleId;
  }

  const DOC_APPLY = {
    alerts: (doc) => applyAlerts(doc),
    route: (doc) => applyRoute(doc),
    zones: (doc) => applyZones(doc),
    link: (doc) => applyLink(doc),
    stations: (doc) => applyStations(doc),
  };

  // A large document comes in parts; it applies once all parts of one version are in.
  function applyPart(msg) {
    const apply = DOC_APPLY[msg.key];
    if (!apply || !num(msg.count) || !num(msg.index) || msg.index < 0 || msg.index >= msg.count)
      return;
    let doc = page.parts.get(msg.key);
    if (!doc || doc.version !== msg.version) {
      doc = { version: msg.version, count: msg.count, got: 0, data: new Array(msg.count) };
      page.parts.set(msg.key, doc);
    }
    if (doc.data[msg.index] === undefined) {
      doc.data[msg.index] = String(msg.data);
      ++doc.got;
    }
    if (doc.got < doc.count)
      return;
    page.parts.delete(msg.key);
    try {
      apply(JSON.parse(doc.data.join('')));
    } catch (e) {
      console.warn('fleet page: the parts of ' + msg.key + ' are not a document');
    }
  }

  function onMessage(event) {
    let msg;
    try {
      msg = JSON.parse(event.data);
    } catch (e) {
      console.warn('fleet page: a frame that is not JSON was ignored');
      return;
    }
    page.lastMessageAt = Date.now();
    const time = num(msg.time) ? msg.time : Date.now();
    showTime(time);
    if (msg.type === 'snapshot') {
      applyConfig(msg.config);
      page.retryMs = RECONNECT_FIRST_MS;
      setWsState('open', 'live, ' + page.config.rateHz + ' Hz');
      applyFleet(msg.fleet, time);
      // A large document is left out and follows in parts; what the page shows stays till then.
      page.parts.clear();
      for (const [key, apply] of Object.entries(DOC_APPLY)) {
        if (key in msg)
          apply(msg[key]);
      }
    } else if (msg.type === 'tick') {
      ++page.ticks;
      for (const v of msg.vehicles || [])
        upsertVehicle(v, time, true);
      for (const id of msg.removed || [])
        removeVehicle(id);
      for (const [key, apply] of Object.entries(DOC_APPLY)) {
        if (key in msg)
          apply(msg[key]);
      }
    } else if (msg.type === 'part') {
      applyPart(msg);
    } else {
      return;
    }
    scheduleFlush();
  }

  function connect() {
    page.retryAt = 0;
    const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    let ws;
    try {
      ws = new WebSocket(scheme + location.host + '/ws');
    } catch (e) {
      reconnectLater();
      return;
    }
    page.ws = ws;
    setWsState('connecting', 'connecting…');
    ws.onopen = () => {
      page.lastMessageAt = Date.now();
      setWsState('open', 'waiting for the snapshot');
    };
    ws.onmessage = onMessage;
    ws.onclose = () => {
      if (page.ws === ws) {
        page.ws = null;
        reconnectLater();
      }
    };
    ws.onerror = () => { /* onclose follows and schedules the retry */ };
  }

  function reconnectLater() {
    // Back off with jitter so a restarted station is not met by every open page at once.
    const wait = page.retryMs * (0.8 + Math.random() * 0.4);
    page.retryMs = Math.min(RECONNECT_MOST_MS, page.retryMs * 2);
    page.retryAt = Date.now() + wait;
    setWsState('closed', 'station unreachable, retry in ' + Math.ceil(wait / 1000) + ' s');
    setTimeout(connect, wait);
  }

  // Ticks come even when nothing changes; a silent socket is a dead one.
  setInterval(() => {
    const rate = num(page.config.rateHz) && page.config.rateHz > 0 ? page.config.rateHz : 5;
    const silentFor = Date.now() - page.lastMessageAt;
    if (page.ws && page.wsState === 'open' && silentFor > Math.max(3000, 10000 / rate)) {
      const ws = page.ws;
      page.ws = null;
      ws.close();
      reconnectLater();
    } else if (page.wsState === 'closed' && page.retryAt) {
      const left = Math.max(0, Math.ceil((page.retryAt - Date.now()) / 1000));
      el('ws-state').textContent = 'page: station unreachable, retry in ' + left + ' s';
    }
  }, 1000);

  // ---- test and console access ---------------------------------------------------------------

  function rowOf(key, t, alive, level) {
    const vehicleId = vehicles.has(key) ? vehicles.get(key).v.vehicleId : NaN;
    return {
      vehicleId, code: t.code, alt: parseFloat(t.alt), speed: parseFloat(t.speed), battery: parseFloat(t.battery),
      sats: parseInt(t.sats, 10), mode: t.mode, state: t.state, alive, station: t.station, key, level, seen: t.seen,
    };
  }

  window.fleetPage = {
    // Every row of the table in its order (filtered), as the table shows it; most are not in
    // the document (see renderedRows).
    vehicleRows() {
      if (table.orderDirty)
        sortOrder();
      return table.order.map((key) => {
        const entry = vehicles.get(key);
        return rowOf(key, rowTexts(entry.v), entry.v.alive, levelOf(entry.v));
      });
    },
    // The row elements in the document, from their cells.
    renderedRows() {
      return Array.from(rowsBody.querySelectorAll('tr.vehicle-row'), (tr) => {
        const texts = {};
        for (const f of ROW_FIELDS)
          texts[f] = tr.querySelector('.col-' + f).textContent;
        return Object.assign(rowOf(tr.dataset.key, texts, !tr.classList.contains('dead'),
                                   Number(tr.dataset.level || 0)),
                             { selected: tr.classList.contains('selected'),
                               top: tr.getBoundingClientRect().top - table.scroller.getBoundingClientRect().top });
      });
    },
    tableRowCount: () => rowsBody.rows.length,
    // Scrolls the table so that row `index` is at its top (below the header).
    scrollToRow: (index) => {
      table.scroller.scrollTop = index * table.rowHeight;
      renderTable();
      return table.scroller.scrollTop;
    },
    bigFleet: () => page.bigFleet,
    vehiclesDrawn: () => page.vehiclesInView,
    markerCount: () => [...vehicles.values()].filter((e) => e.onMap).length,
    routeWaypointCount: () => document.querySelectorAll('.waypoint-marker').length,
    routeLineDrawn: () => document.querySelectorAll('path.route-line').length > 0,
    // Opens the route line's tooltip and gives its text as shown.
    routeTooltipText: () => {
      if (!page.routeLine)
        return null;
      page.routeLine.openTooltip();
      return page.routeLine.getTooltip().getElement().textContent;
    },
    zoneCount: () => document.querySelectorAll('path.zone-shape').length,
    alertCount: () => page.alerts.length,
    stations: () => page.stations,
    wsState: () => page.wsState,
    tickCount: () => page.ticks,
    rateHz: () => page.config.rateHz,
    link: () => page.link,
    selectedVehicleId: () => (vehicles.get(page.selectedId) || { v: {} }).v.vehicleId ?? null,
    vehicleKeys: () => [...vehicles.keys()],
    activeVehicleId: () => page.activeId,
    // A number picks a local vehicle by id, a string a key.
    select: (id) => select(typeof id === 'number' ? 'local:' + id : id, true),
  };

  setWsState('connecting', 'connecting…');
  drawGraticule();
  connect();
})();
