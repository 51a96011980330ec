// The live board's page: draws the board from its description, sends the
// inputs, shows what the server sends (vboard/src/serve/messages.h). What the
// page shows of an input is what the board says it drives (`driven`), never
// what a click hoped for: a refused click leaves the board, and so the page,
// as they were.
'use strict';

// State the tests read (window.vb).
const vb = {
  connected: false, vt: 0, state: '', pins: {}, strip: '', frames: 0, findings: [], halt: '',
  parts: [], scenario: '', errors: [], updates: 0, gen: 0, inputs: 0,
  driven: null,        // pin -> {level} or {pulse}; null while the server does not say
  achieved: null, lagging: false, recording: null, board: '', boardWhy: '',
  regs: null,          // the registers panel's last text: {periph, reg, text}
  periphs: [],         // the peripherals the panel offers: [{name, regs: [...]}]
  closes: [],          // [code, reason] of each closed connection
  stopped: '',         // why the page stopped trying to connect ('' while it tries)
  clickAt: null, latencies: [], arrivals: [], updateTimes: [], wall: [],
  traceDrawn: {},      // pin -> [edges in view, path points drawn] of the last trace drawing
};
window.vb = vb;

const $ = (id) => document.getElementById(id);
let ws = null;
let seq = 0;
let lastPanel = null;    // the panel of the last control that sent something: its errors show there
const switches = [];         // [{pin, part, button}] of the board drawn now
const pulseInputs = [];      // [{pin, width, period, now}]

function send(msg, from) {
  if (from) lastPanel = from.closest('section');
  if (!ws || ws.readyState !== WebSocket.OPEN) { showError('not connected to the board'); return false; }
  msg.seq = ++seq;
  ws.send(JSON.stringify(msg));
  return true;
}

// Messages sit in the flow of the page, at the foot of the panel whose
// control caused them (else under the header): they push the page down a
// line but never lie over a control.
function showError(text) {
  vb.errors.push(text);
  const box = (lastPanel && lastPanel.querySelector('.msgs')) || $('errors');
  const close = el('button', { type: 'button', className: 'dismiss', textContent: '×', title: 'dismiss' });
  const d = el('div', { className: 'msg', role: 'alert' }, el('span', { textContent: text }), close);
  close.addEventListener('click', () => d.remove());
  box.appendChild(d);
  while (box.children.length > 3) box.firstChild.remove();
  setTimeout(() => d.remove(), 12000);
}

function fmtTime(ns) {
  if (ns >= 1e9) return (ns / 1e9).toFixed(3) + ' s';
  if (ns >= 1e6) return (ns / 1e6).toFixed(3) + ' ms';
  if (ns >= 1e3) return (ns / 1e3).toFixed(1) + ' µs';
  return ns + ' ns';
}

const count = (n, what) => n + ' ' + what + (n === 1 ? '' : 's');

function fmtBytes(b) {
  if (b >= 1 << 20) return (b / (1 << 20)).toFixed(1) + ' MiB';
  if (b >= 1 << 10) return (b / (1 << 10)).toFixed(1) + ' KiB';
  return b + ' B';
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
    if (!send(strip ? { op: 'mark', strip: true } : { op: 'mark', pin }, b)) return;
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
    b.addEventListener('click', () => send({ op: 'set', pin, level }, b));
    box.append(b);
  }
  return box;
}

function switchPart(part, pin) {
  const t = el('button', { type: 'button', className: 'toggle', id: 'switch-' + pin, textContent: 'open' });
  const bounce = el('input', { id: 'bounce-' + pin, size: 8, placeholder: 'bounce 5x200us',
                               title: 'contact bounce: COUNTxSPACING, e.g. 5x200us (empty: none)' });
  t.addEventListener('click', () => {
    // The toggle turns when the board says the pin is driven, not on the click
    // (unless the server does not report what it drives).
    const closing = !t.classList.contains('closed');
    if (vb.driven === null) showSwitch(t, part, closing ? { level: part.closed } : undefined);
    if (closing) vb.clickAt = performance.now();
    const msg = { op: 'set', pin, level: closing ? String(part.closed) : 'z' };
    if (bounce.value.trim() && closing) msg.bounce = bounce.value.trim();
    send(msg, t);
  });
  switches.push({ pin, part, button: t });
  return el('div', { className: 'part' }, el('span', { className: 'swatch ' + part.color }),
            label(part, pin), t, bounce, levelBadge(pin));
}

// A positive decimal number, as the fields take them ("1500", "0.5").
const isAmount = (v) => /^\d+(\.\d+)?$/.test(v) && Number(v) > 0;

function pulsePart(part, pin) {
  const w = el('input', { id: 'pulse-width-' + pin, size: 6, placeholder: 'none', inputMode: 'decimal' });
  const p = el('input', { id: 'pulse-period-' + pin, size: 5, placeholder: 'none', inputMode: 'decimal' });
  const go = el('button', { type: 'button', id: 'pulse-apply-' + pin, textContent: 'Apply' });
  const stop = el('button', { type: 'button', id: 'pulse-stop-' + pin, textContent: 'Stop pulses' });
  const now = el('span', { className: 'small', id: 'pulse-now-' + pin, textContent: 'no pulses' });
  const why = el('span', { className: 'field-msg', id: 'pulse-msg-' + pin, role: 'alert' });
  for (const f of [w, p]) {
    f.addEventListener('input', () => { why.textContent = ''; });
    f.addEventListener('keydown', (e) => { if (e.key === 'Enter') go.click(); });
  }
  go.addEventListener('click', () => {
    const wv = w.value.trim(), pv = p.value.trim();
    why.textContent = !isAmount(wv) ? 'width: give the high time in microseconds, e.g. 1500'
      : !isAmount(pv) ? 'period: give the period in milliseconds, e.g. 20'
        : Number(wv) >= Number(pv) * 1000 ? 'the width must be shorter than the period' : '';
    if (why.textContent) return;
    vb.clickAt = performance.now();
    send({ op: 'pulse', pin, width: wv + 'us', period: pv + 'ms' }, go);
  });
  stop.addEventListener('click', () => send({ op: 'pulse-stop', pin }, stop));
  const slide = pulseSlider(pin, p, why);
  pulseInputs.push({ pin, width: w, period: p, now, shown: null, slide });
  return el('div', { className: 'part' }, label(part, pin),
            el('label', {}, 'width ', w, ' µs'), el('label', {}, 'period ', p, ' ms'), go, stop,
            levelBadge(pin), now, why, slide.box);
}

// The width as one gesture: dragging the slider (or holding ◀ ▶) sends the
// width under it a few times a second, so sweeping across the firmware's
// threshold is one movement; where it rests shows the width the board drives
// once it is let go (applyDriven), never the one it was dragged to.
const kSlideMin = 500, kSlideMax = 2500, kSlideEvery = 60;
function pulseSlider(pin, period, why) {
  const r = el('input', { type: 'range', id: 'pulse-slide-' + pin, min: kSlideMin, max: kSlideMax, step: 10,
                          value: 1500, title: 'drag to sweep the pulse width' });
  const shown = el('span', { className: 'slide-value', id: 'pulse-slide-value-' + pin, textContent: '-' });
  let sentAt = 0, timer = null, held = false;
  const sendNow = () => {
    clearTimeout(timer);
    timer = null;
    sentAt = performance.now();
    const pv = isAmount(period.value.trim()) ? period.value.trim() : '20';
    if (Number(r.value) >= Number(pv) * 1000) { why.textContent = 'the width must be shorter than the period'; return; }
    vb.clickAt = performance.now();
    send({ op: 'pulse', pin, width: r.value + 'us', period: pv + 'ms' }, r);
  };
  // At most one pulse request per kSlideEvery ms while it moves; the last value always goes.
  const moved = () => {
    shown.textContent = r.value + ' µs';
    const wait = kSlideEvery - (performance.now() - sentAt);
    if (wait <= 0) sendNow();
    else if (!timer) timer = setTimeout(sendNow, wait);
  };
  r.addEventListener('pointerdown', () => { held = true; });
  r.addEventListener('pointerup', () => { held = false; });
  r.addEventListener('input', moved);
  r.addEventListener('change', () => { held = false; sendNow(); });
  // Press and hold: the width walks 10 µs per step, faster the longer it is held.
  const holder = (text, dir) => {
    const b = el('button', { type: 'button', textContent: text, id: 'pulse-' + (dir < 0 ? 'down' : 'up') + '-' + pin,
                             title: 'hold to sweep the width ' + (dir < 0 ? 'down' : 'up') });
    let walk = null;
    const stopWalk = () => { if (walk) { clearInterval(walk); walk = null; held = false; sendNow(); } };
    b.addEventListener('pointerdown', () => {
      held = true;
      let n = 0;
      walk = setInterval(() => {
        r.value = String(Number(r.value) + dir * (++n > 20 ? 50 : 10));
        moved();
      }, 40);
    });
    for (const ev of ['pointerup', 'pointerleave']) b.addEventListener(ev, stopWalk);
    return b;
  };
  const box = el('div', { className: 'slide' }, holder('◀', -1), r, holder('▶', 1), shown);
  return { box, range: r, shown, held: () => held };
}

// The board from its description: lights, strip, switches, pulse input, other lines.
function buildBoard(hello) {
  const board = $('board');
  board.textContent = '';
  switches.length = 0;
  pulseInputs.length = 0;
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
      board.append(switchPart(part, pin));
    } else if (part.kind === 'pulse-input') {
      board.append(pulsePart(part, pin));
    } else if (part.kind === 'unused') {
      const lines = el('div', { className: 'lines' });
      for (const up of part.pins)
        lines.append(el('span', { className: 'line' }, el('b', { textContent: up }), levelButtons(up), levelBadge(up)));
      board.append(el('div', { className: 'part' },
                      el('div', { className: 'label' }, el('b', { textContent: 'unused lines' }),
                         el('span', { textContent: 'pull ' + (part.pull || 'none') })), lines));
    }
  }
  buildOtherPins(hello, used);
  buildTracePins(hello, used);
}

// Any other line of the package: high, low or open.
function buildOtherPins(hello, used) {
  const others = hello.all_pins.filter((p) => !used.has(p));
  const sel = el('select', { id: 'other-pin' });
  for (const p of others) sel.append(el('option', { value: p, textContent: p }));
  const box = el('span', {});
  for (const [text, level] of [['high', '1'], ['low', '0'], ['open', 'z']]) {
    const b = el('button', { type: 'button', textContent: text });
    b.addEventListener('click', () => send({ op: 'set', pin: sel.value, level }, b));
    box.append(b);
  }
  $('other-pins').textContent = '';
  $('other-pins').append(el('div', { className: 'part' },
                            el('div', { className: 'label' }, el('b', { textContent: 'other pin' }),
                               el('span', { textContent: 'no part on it' })), sel, box));
}

// The logic trace's pin choice.
function buildTracePins(hello, used) {
  const tp = $('trace-pins');
  tp.textContent = '';
  const traced = new Set(hello.trace_pins);
  for (const p of hello.all_pins.filter((q) => used.has(q)).concat(['PA0', 'PA1']).filter((v, i, a) => a.indexOf(v) === i)) {
    const cb = el('input', { type: 'checkbox', checked: traced.has(p) });
    cb.addEventListener('change', () => {
      const pins = [...tp.querySelectorAll('input')].filter((c) => c.checked).map((c) => c.dataset.pin);
      send({ op: 'trace', pins }, cb);
      tracePins = pins;
    });
    cb.dataset.pin = p;
    tp.append(el('label', {}, cb, ' ' + p));
  }
  tracePins = hello.trace_pins.slice();
}

function showSwitch(button, part, d) {
  const level = d && d.level !== undefined ? String(d.level) : null;
  const closed = level !== null && level === String(part.closed);
  button.classList.toggle('closed', closed);
  button.textContent = closed ? 'closed' : level !== null ? 'open, held ' + (level === '1' ? 'high' : 'low') : 'open';
}

// What the outside drives now, whole: the switches, the pulse fields and the
// level buttons of the unused lines show it.
function applyDriven(driven, force) {
  vb.driven = driven;
  for (const s of switches) showSwitch(s.button, s.part, driven[s.pin]);
  for (const f of pulseInputs) {
    const pulse = driven[f.pin] && driven[f.pin].pulse;
    f.now.textContent = pulse ? 'in effect: ' + pulse.high_ns / 1e3 + ' µs every ' + pulse.period_ns / 1e6 + ' ms'
      : 'no pulses';
    // The fields change when the pulse in effect does (or after a refusal),
    // but not under the cursor of someone typing: the line beside them says
    // what is in effect meanwhile.
    const key = pulse ? pulse.high_ns + '/' + pulse.period_ns : '';
    if ((key !== f.shown || force) && document.activeElement !== f.width && document.activeElement !== f.period) {
      f.width.value = pulse ? String(pulse.high_ns / 1e3) : '';
      f.period.value = pulse ? String(pulse.period_ns / 1e6) : '';
      f.shown = key;
    }
    // The slider rests on the width in effect, but never moves under a hand that drags it.
    if (!f.slide.held()) {
      if (pulse) f.slide.range.value = String(pulse.high_ns / 1e3);
      f.slide.shown.textContent = pulse ? pulse.high_ns / 1e3 + ' µs' : '-';
    } else if (pulse) {
      f.slide.shown.textContent = f.slide.range.value + ' µs (in effect ' + pulse.high_ns / 1e3 + ')';
    }
  }
  for (const b of document.querySelectorAll('#board .line button')) {
    const [, pin, level] = b.id.split('-');
    const d = driven[pin];
    b.classList.toggle('on', d && d.level !== undefined ? String(d.level) === level : level === 'z');
  }
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

// What a save would write, against what --scenario takes back.
function applyRecording(r) {
  vb.recording = r;
  const box = $('recording');
  box.className = 'recording' + (r.full ? ' full' : r.warn ? ' warn' : '');
  const size = fmtBytes(r.bytes || 0) + (r.limit ? ' of ' + fmtBytes(r.limit) : '');
  const secs = (v) => Number(Number(v || 0).toFixed(3)) + ' s';
  const span = r.limit_seconds ? secs(r.seconds) + ' of ' + secs(r.limit_seconds) : secs(r.seconds);
  $('recording-size').textContent = count(r.inputs || 0, 'input') + ' recorded · ' + size + ' · ' + span;
  $('recording-note').textContent = r.note
    || (r.full ? 'recording stopped: a save reaches up to ' + secs(r.seconds)
      : r.warn ? 'the recording nears what a scenario may hold' : '');
  $('recording').hidden = false;
}

// Sets every control's disabled state: nothing is sent while disconnected, and
// a halted image takes only a reset (and a save, and the pace of the next run).
function applyEnabled() {
  const off = !vb.connected, halted = vb.state === 'halted';
  const all = (q) => document.querySelectorAll(q);
  for (const b of all('#board button, #board input, #other-pins button, #other-pins select, #run-pause, #step'))
    b.disabled = off || halted;
  for (const b of all('#pace, #step-len, #reset, #save, #scenario-name, #trace-pins input, #reset-confirm button, #vcd-export, #scenario-file, #steps button, #watch-add, #watch-expr, #timeline,'
    + ' #regs-periph, #regs-reg'))
    b.disabled = off;
}

// The pace the board runs at, whoever set it (this tab, another, or a refusal
// that left it as it was); a pace the list lacks gets an entry of its own.
function showPace(rate) {
  const sel = $('pace');
  const value = rate === 'fast' ? 'fast' : String(Number(rate));
  if (![...sel.options].some((o) => o.value === value))
    sel.append(el('option', { value, textContent: '× ' + value }));
  sel.value = value;
}

function applyState(u) {
  vb.vt = u.vt;
  vb.state = u.state;
  if (u.inputs !== undefined) vb.inputs = u.inputs;
  $('vt').textContent = fmtTime(u.vt);
  const s = $('state');
  s.textContent = u.state;
  s.className = 'state ' + u.state;
  if (u.lagging !== undefined) vb.lagging = !!u.lagging;
  $('lag').hidden = !vb.lagging || u.state !== 'running';
  if (typeof u.achieved === 'number') vb.achieved = u.achieved;
  const a = $('achieved');
  a.hidden = vb.achieved === null || u.state !== 'running';
  if (vb.achieved !== null)
    a.textContent = 'achieved × ' + (vb.achieved >= 100 ? vb.achieved.toFixed(0) : vb.achieved >= 10
      ? vb.achieved.toFixed(1) : vb.achieved.toFixed(2));
  $('run-pause').textContent = u.state === 'running' ? 'Pause' : 'Run';
  if (u.rate !== undefined) showPace(u.rate);
  applyEnabled();
  $('stats').textContent = count(vb.inputs, 'input') + ' recorded · ' + count(vb.updates, 'update');
}

// ---------------------------------------------------------------- the registers panel
// The server reads the registers only for a page whose panel is open, for the
// one peripheral it shows, a few times a second; closing the panel says so.
function regsAsk(from) {
  if (!$('regs').open) return;
  send({ op: 'regs', periph: $('regs-periph').value, reg: $('regs-reg').value }, from);
}

function fillRegsList(sel, names, first) {
  const keep = sel.value;
  sel.replaceChildren(...(first ? [el('option', { value: '', textContent: first })] : []),
    ...names.map((n) => el('option', { value: n, textContent: n })));
  if (names.includes(keep)) sel.value = keep;
}

function showRegsChoice() {
  const p = vb.periphs.find((x) => x.name === $('regs-periph').value);
  fillRegsList($('regs-reg'), p ? p.regs : [], 'all');
}

function applyPeriphs(list) {
  vb.periphs = list || [];
  const sel = $('regs-periph');
  fillRegsList(sel, vb.periphs.map((p) => p.name));
  if (!sel.value && vb.periphs.length) sel.value = vb.periphs[0].name;
  showRegsChoice();
}

function applyRegs(r) {
  const same = (a, b) => a.toUpperCase() === b.toUpperCase();
  // An answer still on its way for what the panel showed before is dropped.
  if (!$('regs').open || !same(r.periph, $('regs-periph').value) || !same(r.reg, $('regs-reg').value)) return;
  vb.regs = r;
  // The debugger's hint for one register: here the list above picks it.
  $('regs-text').textContent = r.text.replace(/^\(monitor regs [^\n]*\)\n?/m, '');
}

function applyHello(m) {
  vb.parts = m.parts;
  vb.gen = m.gen;
  $('image').textContent = m.image;
  vb.board = m.board || '';
  vb.boardWhy = m.board_why || '';
  $('board-name').textContent = (m.board ? 'on ' + m.board : 'chip alone') + (m.board_why ? ' · ' + m.board_why : '');
  $('board-name').title = m.board_why ? 'why this board: ' + m.board_why : '';
  clearTrace();
  vb.pins = {};
  vb.driven = null;
  vb.achieved = null;
  vb.lagging = false;
  buildBoard(m);
  applyPins(m.pins);
  if (m.driven) applyDriven(m.driven);
  applyStrip(m.strip || '', m.frames || 0);
  applyFindings(m.findings || [], m.halt || '');
  $('recording').hidden = true;
  if (m.recording) applyRecording(m.recording);
  hideResetConfirm();
  applyState(m);
  if (m.periphs) applyPeriphs(m.periphs);
  if (m.steps) applySteps(m.steps);
  if (m.where !== undefined) applyWhere(m.where);
  applyTimeline(m);
  $('gdb-line').textContent = m.gdb || '';
  if (watchExprs.length) sendWatches();  // a new connection (or power-on) follows the same names
  regsAsk();  // a new connection follows what the open panel shows
}

function onMessage(ev) {
  let m;
  try { m = JSON.parse(ev.data); } catch (e) { showError('the server sent something that is not JSON'); return; }
  if (m.t === 'hello') {
    applyHello(m);
  } else if (m.t === 'update') {
    vb.updates++;
    const now = performance.now();
    vb.updateTimes.push(now);
    if (vb.updateTimes.length > 600) vb.updateTimes.shift();
    vb.wall.push([m.wall, m.vt]);
    if (vb.wall.length > 20000) vb.wall.shift();
    if (m.pins) applyPins(m.pins);
    if (m.driven) applyDriven(m.driven);
    if (m.recording) applyRecording(m.recording);
    if (m.strip !== undefined) applyStrip(m.strip, m.frames);
    if (m.findings) applyFindings(m.findings, m.halt);
    applyTrace(m.trace);
    applyState(m);
    if (m.regs) applyRegs(m.regs);
    if (m.steps) applySteps(m.steps);
    if (m.where !== undefined) applyWhere(m.where);
    if (m.watches) applyWatches(m.watches);
    applyTimeline(m);
  } else if (m.t === 'error') {
    showError(m.text);
    if (vb.driven) applyDriven(vb.driven, true);  // a refused input: back to what the board drives
  } else if (m.t === 'window') {
    applyWindow(m);
  } else if (m.t === 'vcd') {
    applyVcd(m);
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

// ---------------------------------------------------------------- the connection
// A refusal (1013: the board has all the pages it takes; 1008: refused by
// policy) is final until the user asks again; any other close is retried,
// each wait twice the last up to half a minute, from half a second again once
// a connection has lasted.
const kRetryFirst = 500, kRetryMost = 30000, kLasted = 5000;
let retryDelay = kRetryFirst;
let retryTimer = null, retryTick = null;

function showConn(text, cls) {
  $('conn').textContent = text;
  $('conn').className = 'conn ' + cls;
}

function showBanner(text, button) {
  $('banner-text').textContent = text;
  $('reconnect').textContent = button;
  $('banner').hidden = false;
}

function connect() {
  clearTimeout(retryTimer);
  clearInterval(retryTick);
  retryTimer = retryTick = null;
  vb.stopped = '';
  if (!$('banner').hidden) showBanner('Connecting to the board …', 'Reconnect now');
  showConn('connecting', '');
  const sock = new WebSocket('ws://' + location.host + '/ws');
  let openedAt = null;
  ws = sock;
  sock.onopen = () => {
    openedAt = performance.now();
    vb.connected = true;
    seq = 0;
    showConn('connected', 'up');
    $('banner').hidden = true;
    applyEnabled();
  };
  sock.onclose = (ev) => {
    if (ws !== sock) return;
    vb.connected = false;
    vb.closes.push([ev.code, ev.reason]);
    applyEnabled();
    // What the board does now is unknown: no stale state, pace or lag shown.
    $('state').textContent = 'not connected';
    $('state').className = 'state';
    $('achieved').hidden = $('lag').hidden = true;
    if (ev.code === 1013 || ev.code === 1008) {
      vb.stopped = ev.reason || (ev.code === 1013 ? 'the board takes no more pages now' : 'the board refused this page');
      showConn('refused', 'down');
      showBanner(vb.stopped, 'Reconnect');
      return;
    }
    if (openedAt !== null && performance.now() - openedAt > kLasted) retryDelay = kRetryFirst;
    retryLater(ev.reason);
  };
  sock.onmessage = onMessage;
}

function retryLater(reason) {
  const at = performance.now() + retryDelay;
  const say = () => {
    const s = Math.max(0, Math.ceil((at - performance.now()) / 1000));
    showBanner('Lost the connection to the board' + (reason ? ' (' + reason + ')' : '') +
               '; trying again in ' + s + ' s.', 'Reconnect now');
  };
  showConn('disconnected', 'down');
  say();
  retryTick = setInterval(say, 1000);
  retryTimer = setTimeout(connect, retryDelay);
  retryDelay = Math.min(kRetryMost, retryDelay * 2);
}

// ---------------------------------------------------------------- reset
// A reset discards the recorded inputs: with any recorded, it asks first.
function hideResetConfirm() {
  $('reset-confirm').hidden = true;
  $('reset').hidden = false;
}

function askReset(from) {
  const n = vb.recording ? vb.recording.inputs : vb.inputs;
  if (!n) { send({ op: 'reset' }, from); return; }
  $('reset-question').textContent = 'Discard the ' + count(n, 'input') +
    ' recorded since power-on? Save as scenario first to keep them.';
  $('reset').hidden = true;
  $('reset-confirm').hidden = false;
}

function setup() {
  for (const s of document.querySelectorAll('main section')) s.append(el('div', { className: 'msgs' }));
  $('pace').addEventListener('change', (e) => {
    const v = e.target.value;
    send({ op: 'pace', rate: v === 'fast' ? 'fast' : Number(v) }, e.target);
  });
  $('run-pause').addEventListener('click', (e) => {
    if (vb.state === 'running') send({ op: 'pause' }, e.target);
    else {
      const v = $('pace').value;
      send({ op: 'pace', rate: v === 'fast' ? 'fast' : Number(v) }, e.target);
    }
  });
  $('step').addEventListener('click', (e) => send({ op: 'step', for: $('step-len').value.trim() }, e.target));
  $('reset').addEventListener('click', (e) => askReset(e.target));
  $('reset-yes').addEventListener('click', (e) => { hideResetConfirm(); send({ op: 'reset' }, e.target); });
  $('reset-no').addEventListener('click', hideResetConfirm);
  $('save').addEventListener('click', (e) => send({ op: 'save', name: $('scenario-name').value.trim() }, e.target));
  $('reconnect').addEventListener('click', () => { retryDelay = kRetryFirst; connect(); });
  traceSetup();
  sessionSetup();
  firmwareSetup();
  timelineSetup();
  $('regs').addEventListener('toggle', (e) => {
    if (e.target.open) regsAsk(e.target);
    else if (ws && ws.readyState === WebSocket.OPEN) send({ op: 'regs' }, e.target);
  });
  $('regs-periph').addEventListener('change', (e) => {
    showRegsChoice();
    $('regs-text').textContent = '';
    regsAsk(e.target);
  });
  $('regs-reg').addEventListener('change', (e) => regsAsk(e.target));
  // keep the connection alive across idle spells
  setInterval(() => { if (ws && ws.readyState === WebSocket.OPEN) send({ op: 'ping' }); }, 10000);
  applyEnabled();
  connect();
  requestAnimationFrame(drawTrace);
}

setup();
