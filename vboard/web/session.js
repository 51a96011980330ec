// The live page's session: the record listed step by step before it is saved
// (a step dropped, an expectation added: the record changes, the board's run
// does not), and a scenario file loaded into the page and played from
// power-on, each step at its own virtual time. Loaded before app.js, whose
// helpers (send, el, fmtTime, vb, showError) it uses once the page runs.
'use strict';

const kUnits = { ns: 1, us: 1e3, ms: 1e6, s: 1e9 };

// "20ms", "1500us", "0": whole ns.
function scenarioNs(text) {
  const m = /^(\d+)(ns|us|ms|s)?$/.exec(String(text).trim());
  if (!m) throw new Error('not a time: ' + text);
  return Number(m[1]) * kUnits[m[2] || 'ns'];
}

// "{pin: PB5, level: 0, bounce: 5x200us}" -> {pin: 'PB5', level: '0', bounce: '5x200us'}
function flowMap(text) {
  const m = /^\{(.*)\}$/.exec(text.trim());
  if (!m) throw new Error('not a {key: value} step: ' + text);
  const out = {};
  for (const part of m[1].split(',')) {
    const [k, ...v] = part.split(':');
    if (k.trim()) out[k.trim()] = v.join(':').trim();
  }
  return out;
}

// The steps of a scenario file as the page plays them: the kinds a session
// records (set, pulse, delay, expect-pin, expect-strip). Throws with the line
// of anything else.
function parseScenario(text) {
  let t = 0, name = '', inSteps = false, stripAt = null;
  const steps = [];
  text.split('\n').forEach((line, n) => {
    const where = ' (line ' + (n + 1) + ')';
    if (/^\s*(#|$)/.test(line)) return;
    const top = /^(\w[\w-]*):\s*(.*)$/.exec(line);
    if (top) {
      inSteps = top[1] === 'steps';
      if (top[1] === 'name') name = top[2].startsWith('"') ? JSON.parse(top[2]) : top[2];
      return;
    }
    if (!inSteps) return;
    const step = /^\s*- ([\w-]+):\s*(.*)$/.exec(line);
    if (!step) {
      if (stripAt !== null) return;  // an expect-strip's segments
      throw new Error('the page cannot play this line' + where + ': ' + line.trim());
    }
    stripAt = null;
    const [, kind, rest] = step;
    try {
      if (kind === 'delay') { t += scenarioNs(rest); return; }
      if (kind === 'expect-strip') { steps.push([t, 'expect-strip']); stripAt = t; return; }
      const f = flowMap(rest);
      if (kind === 'set') steps.push([t, 'set', f.pin, f.level, f.bounce || '']);
      else if (kind === 'pulse' && f.stop === 'true') steps.push([t, 'pulse-stop', f.pin]);
      else if (kind === 'pulse') steps.push([t, 'pulse', f.pin, scenarioNs(f.width), scenarioNs(f.period)]);
      else if (kind === 'expect-pin') steps.push([t, 'expect-pin', f.pin, f.level]);
      else throw new Error('the page plays set, pulse, delay, expect-pin and expect-strip steps, not ' + kind);
    } catch (e) {
      throw new Error(e.message + where);
    }
  });
  return { name, end: t, steps };
}

// The parsed steps go in parts that each fit a message; the last one starts the play.
function playScenario(text, from) {
  let s;
  try { s = parseScenario(text); } catch (e) { showError('scenario: ' + e.message); return; }
  if (s.name) $('scenario-name').value = s.name;
  vb.loaded = s;
  const parts = [];
  let part = [];
  for (const st of s.steps) {
    if (JSON.stringify(part.concat([st])).length > 3600) { parts.push(part); part = []; }
    part.push(st);
  }
  parts.push(part);
  parts.forEach((p, i) => send({ op: 'script', first: i === 0, last: i === parts.length - 1, end: s.end, steps: p }, from));
}

// The record's list: each row its time, its step's words, and its edits.
function applySteps(list) {
  vb.steps = list;
  const ol = $('steps');
  ol.textContent = '';
  ol.start = list.first + 1;
  $('steps-count').textContent = list.total ? count(list.total, 'step') + ' recorded' +
    (list.first ? ' (the last ' + list.rows.length + ' shown)' : '') : 'nothing recorded yet';
  list.rows.forEach(([t, text], k) => {
    const i = list.first + k;
    const drop = el('button', { type: 'button', className: 'step-drop', textContent: '×', title: 'drop this step from the record' });
    drop.addEventListener('click', () => send({ op: 'drop', index: i }, drop));
    const expect = el('button', { type: 'button', className: 'step-expect', textContent: '+ expect',
                                  title: 'add an expectation after this step' });
    expect.addEventListener('click', () => addExpectRow(li, i));
    const li = el('li', {}, el('span', { className: 'step-t', textContent: fmtTime(t) }),
                  el('code', { textContent: text.trim().replace(/^- /, '').replace(/\n\s*/g, ' ') }), drop, expect);
    ol.append(li);
  });
}

function addExpectRow(li, i) {
  if (li.querySelector('.expect-row')) return;
  const pin = el('select', {});
  for (const p of Object.keys(vb.pins).sort()) pin.append(el('option', { value: p, textContent: p }));
  const level = el('select', {}, el('option', { value: '1', textContent: 'high' }), el('option', { value: '0', textContent: 'low' }));
  const add = el('button', { type: 'button', textContent: 'add' });
  add.addEventListener('click', () => send({ op: 'expect', index: i, pin: pin.value, level: level.value }, add));
  li.append(el('span', { className: 'expect-row' }, ' expect ', pin, ' at ', level, ' ', add));
}

function sessionSetup() {
  $('scenario-file').addEventListener('change', (e) => {
    const f = e.target.files[0];
    if (!f) return;
    f.text().then((text) => { playScenario(text, e.target); e.target.value = ''; });
  });
}

// ---------------------------------------------------------------- the firmware
// The function the core is in, and the variables named to watch (read by the
// server as a debugger reads memory, with every update that changes them).
let watchExprs = [];

function sendWatches(from) { send({ op: 'watch', exprs: watchExprs }, from); }

function applyWhere(where) {
  vb.where = where;
  $('where').textContent = where || '-';
}

function applyWatches(list) {
  vb.watches = list;
  const t = $('watches');
  t.textContent = '';
  for (const [expr, value] of list) {
    const x = el('button', { type: 'button', textContent: '×', title: 'stop watching' });
    x.addEventListener('click', () => { watchExprs = watchExprs.filter((e) => e !== expr); sendWatches(x); });
    t.append(el('tr', {}, el('td', { textContent: expr }), el('td', { textContent: value }), el('td', {}, x)));
  }
}

function firmwareSetup() {
  const add = () => {
    const v = $('watch-expr').value.trim();
    if (!v || watchExprs.includes(v)) return;
    watchExprs.push(v);
    $('watch-expr').value = '';
    sendWatches($('watch-add'));
  };
  $('watch-add').addEventListener('click', add);
  $('watch-expr').addEventListener('keydown', (e) => { if (e.key === 'Enter') add(); });
}

// ---------------------------------------------------------------- the timeline
// From the first instant kept to the latest reached; let go, the board goes
// there (and the time from letting go to the board drawn is measured).
let timelineHeld = false;

function applyTimeline(u) {
  const tl = $('timeline');
  vb.reached = u.reached;
  vb.start = u.start;
  if (!timelineHeld) {
    tl.min = String(u.start || 0);
    tl.max = String(Math.max(u.reached || 0, 1));
    tl.value = String(u.vt);
  }
  $('timeline-at').textContent = timelineHeld ? 'to ' + fmtTime(Number(tl.value))
    : u.vt < u.reached ? 'at ' + fmtTime(u.vt) + ' of ' + fmtTime(u.reached) + ' reached' : '';
  if (u.cut !== undefined) clearTrace(u.cut);
  if (u.moved && vb.rewindAt !== null) {
    const at = vb.rewindAt;
    vb.rewindAt = null;
    requestAnimationFrame(() => vb.rewindMs.push(performance.now() - at));
  }
}

function timelineSetup() {
  vb.rewindAt = null;
  vb.rewindMs = [];
  const tl = $('timeline');
  tl.addEventListener('input', () => {
    timelineHeld = true;
    $('timeline-at').textContent = 'to ' + fmtTime(Number(tl.value));
  });
  tl.addEventListener('change', () => {
    timelineHeld = false;
    vb.rewindAt = performance.now();
    send({ op: 'goto', at: Math.round(Number(tl.value)) }, tl);
  });
}
