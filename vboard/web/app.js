// The live board's page: draws the board from its description, sends the
// inputs, shows what the server sends (vboard/src/serve/messages.h).
'use strict';

// State the tests read (window.vb).
const vb = {
  connected: false, vt: 0, state: '', pins: {}, strip: '', frames: 0, findings: [], halt: '',
  parts: [], scenario: '', errors: [], updates: 0, gen: 0,
  clickAt: null, latencies: [], arrivals: [], updateTimes: [], wall: [],
};
window.vb = vb;

const $ = (id) => document.getElementById(id);
let ws = null;
let seq = 0;
const traceEdges = {};   // pin -> [[t, level], ...] (bounded)
const traceBusy = {};    // pin -> [[from, to], ...]
let traceFrozenAt = null;
let tracePins = [];
const noLabels = new Set();  // pins whose pulses are not labelled (a strip's data line: bits)
const kTraceKeep = 4000;

function send(msg) {
  if (!ws || ws.readyState !== WebSocket.OPEN) { showError('not connected to the board'); return; }
  msg.seq = ++seq;
  ws.send(JSON.stringify(msg));
}

function showError(text) {
  vb.errors.push(text);
  const d = document.createElement('div');
  d.textContent = text;
  $('errors').appendChild(d);
  while ($('errors').children.length > 4) $('errors').firstChild.remove();
  setTimeout(() => d.remove(), 8000);
}

function fmtTime(ns) {
  if (ns >= 1e9) return (ns / 1e9).toFixed(3) + ' s';
  if (ns >= 1e6) return (ns / 1e6).toFixed(3) + ' ms';
  if (ns >= 1e3) return (ns / 1e3).toFixed(1) + ' µs';
  return ns + ' ns';
}

function el(tag, props, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props || {});
  for (const c of children) e.append(c);
  return e;
}

function label(part, pin) {
  return el('div', { className: 'label' }, el('b', { textContent: part.role || part.name }),
            el('span', { textContent: pin + (part.role && part.role !== part.name ? ' · ' + part.name : '') }));
}

function levelBadge(pin) {
  return el('span', { className: 'level', id: 'level-' + pin, textContent: '-' });
}

function markButton(pin, strip) {
  const b = el('button', { className: 'mark', type: 'button', textContent: '☐ expect',
                           title: 'record what this output shows now as an expectation of the scenario' });
  b.id = strip ? 'mark-strip' : 'mark-' + pin;
  b.addEventListener('click', () => {
    send(strip ? { op: 'mark', strip: true } : { op: 'mark', pin });
    b.textContent = '☑ expected';
    b.classList.add('on');
    setTimeout(() => { b.textContent = '☐ expect'; b.classList.remove('on'); }, 1500);
  });
  return b;
}

function levelButtons(pin) {
  const box = el('span', {});
  for (const [text, level] of [['H', '1'], ['L', '0'], ['Z', 'z']]) {
    const b = el('button', { type: 'button', textContent: text, id: 'pin-' + pin + '-' + level,
                             title: { H: 'drive high', L: 'drive low', Z: 'open: released to its pull' }[text] });
    b.addEventListener('click', () => send({ op: 'set', pin, level }));
    box.append(b);
  }
  return box;
}

// The board from its description: lights, strip, switches, pulse input, other lines.
function buildBoard(hello) {
  const board = $('board');
  board.textContent = '';
  const used = new Set();
  for (const part of hello.parts) {
    for (const p of part.pins) used.add(p);
    const pin = part.pins[0];
    if (part.kind === 'output') {
      const lamp = el('div', { className: 'lamp', id: 'lamp-' + pin });
      lamp.dataset.active = part.active;
      board.append(el('div', { className: 'part' }, lamp, label(part, pin), levelBadge(pin), markButton(pin)));
    } else if (part.kind === 'strip') {
      noLabels.add(pin);
      const strip = el('div', { className: 'strip', id: 'strip' });
      for (let i = 0; i < part.leds; ++i) strip.append(el('div', { className: 'led' }));
      board.append(el('div', { className: 'part' }, label(part, pin),
                      el('span', { className: 'small', id: 'frames', textContent: 'no frame yet' }),
                      markButton(pin, true), strip));
    } else if (part.kind === 'switch') {
      const t = el('button', { type: 'button', className: 'toggle', id: 'switch-' + pin, textContent: 'open' });
      const bounce = el('input', { id: 'bounce-' + pin, size: 8, placeholder: 'bounce 5x200us',
                                   title: 'contact bounce: COUNTxSPACING, e.g. 5x200us (empty: none)' });
      t.addEventListener('click', () => {
        const closing = !t.classList.contains('closed');
        t.classList.toggle('closed', closing);
        t.textContent = closing ? 'closed' : 'open';
        if (closing) vb.clickAt = performance.now();
        const msg = { op: 'set', pin, level: closing ? String(part.closed) : 'z' };
        if (bounce.value.trim() && closing) msg.bounce = bounce.value.trim();
        send(msg);
      });
      board.append(el('div', { className: 'part' }, el('span', { className: 'swatch ' + part.color }),
                      label(part, pin), t, bounce, levelBadge(pin)));
    } else if (part.kind === 'pulse-input') {
      const w = el('input', { id: 'pulse-width-' + pin, type: 'number', value: 1500, min: 1, step: 1, size: 6 });
      const p = el('input', { id: 'pulse-period-' + pin, type: 'number', value: 20, min: 0.001, step: 'any', size: 5 });
      const go = el('button', { type: 'button', id: 'pulse-apply-' + pin, textContent: 'Apply' });
      const stop = el('button', { type: 'button', id: 'pulse-stop-' + pin, textContent: 'Stop pulses' });
      go.addEventListener('click', () => {
        vb.clickAt = performance.now();
        send({ op: 'pulse', pin, width: w.value + 'us', period: p.value + 'ms' });
      });
      stop.addEventListener('click', () => send({ op: 'pulse-stop', pin }));
      board.append(el('div', { className: 'part' }, label(part, pin),
                      el('label', {}, 'width ', w, ' µs'), el('label', {}, 'period ', p, ' ms'), go, stop,
                      levelBadge(pin)));
    } else if (part.kind === 'unused') {
      const lines = el('div', { className: 'lines' });
      for (const up of part.pins)
        lines.append(el('span', { className: 'line' }, el('b', { textContent: up }), levelButtons(up), levelBadge(up)));
      board.append(el('div', { className: 'part' },
                      el('div', { className: 'label' }, el('b', { textContent: 'unused lines' }),
                         el('span', { textContent: 'pull ' + (part.pull || 'none') })), lines));
    }
  }
  // Any other line of the package: high, low or open.
  const others = hello.all_pins.filter((p) => !used.has(p));
  const sel = el('select', { id: 'other-pin' });
  for (const p of others) sel.append(el('option', { value: p, textContent: p }));
  const box = el('span', {});
  for (const [text, level] of [['high', '1'], ['low', '0'], ['open', 'z']]) {
    const b = el('button', { type: 'button', textContent: text });
    b.addEventListener('click', () => send({ op: 'set', pin: sel.value, level }));
    box.append(b);
  }
  $('other-pins').textContent = '';
  $('other-pins').append(el('div', { className: 'part' },
                            el('div', { className: 'label' }, el('b', { textContent: 'other pin' }),
                               el('span', { textContent: 'no part on it' })), sel, box));
  // Logic trace pin choice.
  const tp = $('trace-pins');
  tp.textContent = '';
  const traced = new Set(hello.trace_pins);
  for (const p of hello.all_pins.filter((q) => used.has(q)).concat(['PA0', 'PA1']).filter((v, i, a) => a.indexOf(v) === i)) {
    const cb = el('input', { type: 'checkbox', checked: traced.has(p) });
    cb.addEventListener('change', () => {
      const pins = [...tp.querySelectorAll('input')].filter((c) => c.checked).map((c) => c.dataset.pin);
      send({ op: 'trace', pins });
      tracePins = pins;
    });
    cb.dataset.pin = p;
    tp.append(el('label', {}, cb, ' ' + p));
  }
  tracePins = hello.trace_pins.slice();
}

function applyPins(pins) {
  for (const [pin, level] of Object.entries(pins)) {
    vb.pins[pin] = level;
    const badge = $('level-' + pin);
    if (badge) { badge.textContent = level ? 'high' : 'low'; badge.classList.toggle('h', !!level); }
    const lamp = $('lamp-' + pin);
    if (lamp) lamp.classList.toggle('lit', String(level) === lamp.dataset.active);
  }
}

function applyStrip(hex, frames) {
  const changed = hex !== vb.strip;
  vb.strip = hex;
  vb.frames = frames;
  const cells = document.querySelectorAll('#strip .led');
  for (let i = 0; i < cells.length; ++i) {
    const c = hex.substr(i * 6, 6);
    cells[i].style.background = c.length === 6 ? '#' + c : '#000';
  }
  const f = $('frames');
  if (f) f.textContent = frames + ' frames latched';
  if (changed && vb.clickAt !== null) {
    const clicked = vb.clickAt;
    vb.clickAt = null;
    vb.arrivals.push(performance.now() - clicked);  // the message that brought the new colour
    requestAnimationFrame(() => vb.latencies.push(performance.now() - clicked));  // drawn
  }
}

function applyFindings(lines, halt) {
  vb.findings = lines;
  vb.halt = halt;
  const ul = $('findings');
  ul.textContent = '';
  if (!lines.length) ul.append(el('li', { className: 'none', textContent: 'none so far' }));
  for (const l of lines) ul.append(el('li', { textContent: l }));
  const h = $('halt');
  h.hidden = !halt;
  h.textContent = halt ? 'The image stopped: ' + halt + '. Reset to power-on to run it again.' : '';
}

function applyState(u) {
  vb.vt = u.vt;
  vb.state = u.state;
  $('vt').textContent = fmtTime(u.vt);
  const s = $('state');
  s.textContent = u.state;
  s.className = 'state ' + u.state;
  $('lag').hidden = !u.lagging;
  $('run-pause').textContent = u.state === 'running' ? 'Pause' : 'Run';
  const halted = u.state === 'halted';
  for (const b of document.querySelectorAll('#board button, #board input, #other-pins button, #run-pause, #step'))
    b.disabled = halted;
  $('stats').textContent = u.inputs + ' inputs recorded · ' + vb.updates + ' updates';
}

function applyTrace(trace) {
  if (!trace) return;
  for (const [pin, t] of Object.entries(trace)) {
    const list = traceEdges[pin] || (traceEdges[pin] = []);
    for (const e of t.e) list.push(e);
    if (list.length > kTraceKeep) list.splice(0, list.length - kTraceKeep);
    if (t.busy) {
      const b = traceBusy[pin] || (traceBusy[pin] = []);
      b.push([t.busy[0], t.busy[1]]);
      if (b.length > 400) b.splice(0, b.length - 400);
    }
  }
}

function onMessage(ev) {
  let m;
  try { m = JSON.parse(ev.data); } catch (e) { showError('the server sent something that is not JSON'); return; }
  if (m.t === 'hello') {
    vb.parts = m.parts;
    vb.gen = m.gen;
    $('image').textContent = m.image;
    $('board-name').textContent = m.board ? 'on ' + m.board : 'chip alone';
    for (const k of Object.keys(traceEdges)) delete traceEdges[k];
    for (const k of Object.keys(traceBusy)) delete traceBusy[k];
    vb.pins = {};
    buildBoard(m);
    applyPins(m.pins);
    applyStrip(m.strip || '', m.frames || 0);
    applyFindings(m.findings || [], m.halt || '');
    applyState(m);
  } else if (m.t === 'update') {
    vb.updates++;
    const now = performance.now();
    vb.updateTimes.push(now);
    if (vb.updateTimes.length > 600) vb.updateTimes.shift();
    vb.wall.push([m.wall, m.vt]);
    if (vb.wall.length > 20000) vb.wall.shift();
    if (m.pins) applyPins(m.pins);
    if (m.strip !== undefined) applyStrip(m.strip, m.frames);
    if (m.findings) applyFindings(m.findings, m.halt);
    applyTrace(m.trace);
    applyState(m);
  } else if (m.t === 'error') {
    showError(m.text);
  } else if (m.t === 'scenario') {
    vb.scenario = m.yaml;
    const ta = $('scenario-yaml');
    ta.hidden = false;
    ta.value = m.yaml;
    const a = $('scenario-download');
    if (a.href) URL.revokeObjectURL(a.href);
    a.href = URL.createObjectURL(new Blob([m.yaml], { type: 'text/yaml' }));
    a.download = (m.name || 'live').replace(/[^A-Za-z0-9_.-]+/g, '_') + '.yaml';
    a.hidden = false;
  }
}

function connect() {
  ws = new WebSocket('ws://' + location.host + '/ws');
  ws.onopen = () => { vb.connected = true; seq = 0; $('conn').textContent = 'connected'; $('conn').className = 'conn up'; };
  ws.onclose = () => {
    vb.connected = false;
    $('conn').textContent = 'disconnected';
    $('conn').className = 'conn down';
    setTimeout(connect, 1000);
  };
  ws.onmessage = onMessage;
}

// ---------------------------------------------------------------- the trace
function drawTrace() {
  const c = $('trace');
  const dpr = window.devicePixelRatio || 1;
  const w = c.clientWidth, h = c.clientHeight;
  if (c.width !== Math.round(w * dpr)) { c.width = Math.round(w * dpr); c.height = Math.round(h * dpr); }
  const g = c.getContext('2d');
  g.setTransform(dpr, 0, 0, dpr, 0, 0);
  g.clearRect(0, 0, w, h);
  const span = Number($('trace-zoom').value);
  const right = traceFrozenAt !== null ? traceFrozenAt : vb.vt;
  const left = right - span;
  const x0 = 60;
  const xOf = (t) => x0 + (t - left) / span * (w - x0 - 8);
  const pins = tracePins;
  const rowH = Math.max(26, Math.min(48, (h - 18) / Math.max(1, pins.length)));
  g.font = '11px ui-monospace, monospace';
  // time axis
  g.fillStyle = '#778';
  g.fillText(fmtTime(Math.max(0, left)), x0, h - 3);
  const rt = fmtTime(right);
  g.fillText(rt, w - 8 - g.measureText(rt).width, h - 3);
  pins.forEach((pin, row) => {
    const top = 2 + row * rowH;
    const yHi = top + 14, yLo = top + rowH - 6;
    g.fillStyle = 'rgba(255,255,255,.04)';
    if (row % 2) g.fillRect(0, top, w, rowH);
    g.fillStyle = '#cfd6df';
    g.fillText(pin, 6, (yHi + yLo) / 2 + 4);
    let labelEnd = -1;
    const edges = traceEdges[pin] || [];
    // level at the left edge: the last edge before it, else the level now if no edge is shown
    let level = vb.pins[pin] || 0;
    let i = 0;
    while (i < edges.length && edges[i][0] < left) i++;
    if (i > 0) level = edges[i - 1][1];
    else if (edges.length) level = 1 - edges[0][1];
    g.strokeStyle = '#4fd17a';
    g.lineWidth = 1.5;
    g.beginPath();
    let x = x0, y = level ? yHi : yLo;
    g.moveTo(x, y);
    let riseAt = null;
    for (; i < edges.length && edges[i][0] <= right; i++) {
      const [t, l] = edges[i];
      const xe = xOf(t);
      g.lineTo(xe, y);
      y = l ? yHi : yLo;
      g.lineTo(xe, y);
      if (l) riseAt = t;
      else if (riseAt !== null) {
        // label the width of each high pulse where there is room
        // label the width of each high pulse above it, where the last label left room
        const x1 = xOf(riseAt);
        const text = fmtTime(t - riseAt);
        const tw = g.measureText(text).width;
        const xl = Math.max(x0, (x1 + xe) / 2 - tw / 2);
        if (!noLabels.has(pin) && xl > labelEnd + 6 && xl + tw < w - 8) {
          g.save(); g.fillStyle = '#ffd84a'; g.fillText(text, xl, yHi - 3); g.restore();
          labelEnd = xl + tw;
        }
        riseAt = null;
      }
    }
    g.lineTo(w - 8, y);
    g.stroke();
    for (const [a, b] of traceBusy[pin] || []) {
      if (b < left || a > right) continue;
      g.fillStyle = 'rgba(120, 160, 255, .35)';
      const xa = Math.max(x0, xOf(a)), xb = Math.max(xa + 2, Math.min(w - 8, xOf(b)));
      g.fillRect(xa, yHi, xb - xa, yLo - yHi);
    }
  });
  requestAnimationFrame(drawTrace);
}

function setup() {
  $('pace').addEventListener('change', (e) => {
    const v = e.target.value;
    send({ op: 'pace', rate: v === 'fast' ? 'fast' : Number(v) });
  });
  $('run-pause').addEventListener('click', () => {
    if (vb.state === 'running') send({ op: 'pause' });
    else {
      const v = $('pace').value;
      send({ op: 'pace', rate: v === 'fast' ? 'fast' : Number(v) });
    }
  });
  $('step').addEventListener('click', () => send({ op: 'step', for: $('step-len').value.trim() }));
  $('reset').addEventListener('click', () => send({ op: 'reset' }));
  $('save').addEventListener('click', () => send({ op: 'save', name: $('scenario-name').value.trim() }));
  $('trace-pause').addEventListener('click', (e) => {
    traceFrozenAt = traceFrozenAt === null ? vb.vt : null;
    e.target.textContent = traceFrozenAt === null ? 'Pause trace' : 'Follow';
    e.target.classList.toggle('on', traceFrozenAt !== null);
  });
  // keep the connection alive across idle spells
  setInterval(() => { if (ws && ws.readyState === WebSocket.OPEN) send({ op: 'ping' }); }, 10000);
  connect();
  requestAnimationFrame(drawTrace);
}

setup();
