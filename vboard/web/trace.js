// The live page's logic analyser: the traced pins as they stream in, and
// any window of the past the server kept (its `window` answer), with two
// cursors and the time between them, the strip's data line decoded into the
// colours each frame carried, and a window written as a VCD file by the
// server. Loaded before app.js, whose helpers (send, el, fmtTime, vb) it uses
// once the page runs.
'use strict';

const traceEdges = {};   // pin -> [[t, level], ...] as streamed (bounded)
const traceBusy = {};    // pin -> [[from, to], ...]
let traceFrozenAt = null;
let tracePins = [];
const noLabels = new Set();  // pins whose pulses are not labelled (a strip's data line: bits)
const kTraceKeep = 4000;
let traceWindow = null;      // the server's last window: {from, to, pins: {PIN: {level, e, more, kept_from}}, frames}
let windowKey = '', windowAskedAt = 0, windowPending = false;
const cursors = [null, null];  // A and B, in virtual ns
let nextCursor = 0;
let traceGeom = null;          // where the last drawing put time: {left, span, x0, width}

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

// A new power-on or an earlier instant to go on from: nothing of the old trace is kept.
function clearTrace(after) {
  for (const m of [traceEdges, traceBusy])
    for (const k of Object.keys(m)) {
      if (after === undefined) delete m[k];
      else m[k] = m[k].filter((e) => e[0] <= after);
    }
  traceWindow = null;
  windowKey = '';
  if (after === undefined) { cursors[0] = cursors[1] = null; nextCursor = 0; showCursors(); }
}

function traceView() {
  const span = Number($('trace-zoom').value);
  const right = traceFrozenAt !== null ? traceFrozenAt : vb.vt;
  return { span, right, left: right - span };
}

// The window shown, asked of the server: when it moved (paused), or five times a second (following).
function askWindow() {
  if (!ws || ws.readyState !== WebSocket.OPEN || !tracePins.length) return;
  const { left, right } = traceView();
  const key = Math.floor(left) + ':' + Math.ceil(right) + ':' + tracePins.join();
  const now = performance.now();
  if (windowPending && now - windowAskedAt < 2000) return;
  if (traceFrozenAt !== null ? key === windowKey : now - windowAskedAt < 200) return;
  windowKey = key;
  windowAskedAt = now;
  windowPending = true;
  send({ op: 'window', from: Math.max(0, Math.floor(left)), to: Math.max(0, Math.ceil(right)), pins: tracePins });
}

function applyWindow(m) {
  windowPending = false;
  traceWindow = m;
  vb.traceWindow = m;
}

// A pin's edges for the view: the server's window, then what streamed in since.
function edgesOf(pin, left) {
  const live = traceEdges[pin] || [];
  const w = traceWindow && traceWindow.pins[pin];
  if (!w) {
    let i = 0;
    while (i < live.length && live[i][0] < left) i++;
    const level = i > 0 ? live[i - 1][1] : live.length ? 1 - live[0][1] : vb.pins[pin] || 0;
    return { level, edges: live.slice(i), more: null };
  }
  const edges = w.e.concat(live.filter((e) => e[0] > traceWindow.to));
  let i = 0, level = w.level;
  while (i < edges.length && edges[i][0] < left) level = edges[i++][1];
  return { level, edges: edges.slice(i), more: w.more ? [w.e.length ? w.e[w.e.length - 1][0] : traceWindow.from, traceWindow.to] : null };
}

// The strip's frames over its data line: each LED's 24 bits under the colour they carried.
function drawFrames(g, xOf, top, bottom, w, x0) {
  if (!traceWindow) return;
  for (const [start, latch, hex] of traceWindow.frames) {
    const n = hex.length / 6;
    if (!n || xOf(latch) < x0 || xOf(start) > w - 8) continue;
    for (let i = 0; i < n; i++) {
      const a = xOf(start + (latch - start) * i / n), b = xOf(start + (latch - start) * (i + 1) / n);
      if (b < x0 || a > w - 8) continue;
      g.fillStyle = '#' + hex.substr(i * 6, 6);
      g.fillRect(Math.max(x0, a), top, Math.max(1, Math.min(w - 8, b) - Math.max(x0, a) - (b - a > 6 ? 1 : 0)), bottom - top);
      if (b - a > 44) {
        g.fillStyle = '#cfd6df';
        g.fillText('LED ' + i, Math.max(x0, a) + 2, bottom + 10);
      }
    }
  }
}

function drawCursors(g, xOf, h, w, x0) {
  cursors.forEach((t, k) => {
    if (t === null) return;
    const x = xOf(t);
    if (x < x0 || x > w - 8) return;
    g.strokeStyle = k ? '#ff8a65' : '#64b5f6';
    g.setLineDash([4, 3]);
    g.beginPath(); g.moveTo(x, 0); g.lineTo(x, h - 14); g.stroke();
    g.setLineDash([]);
    g.fillStyle = g.strokeStyle;
    g.fillText(k ? 'B' : 'A', x + 3, 10);
  });
}

function drawPin(g, pin, top, rowH, view, xOf, w, x0) {
  const { left, right } = view;
  const yHi = top + 14, yLo = top + rowH - 6;
  g.fillStyle = '#cfd6df';
  g.fillText(pin, 6, (yHi + yLo) / 2 + 4);
  const strip = noLabels.has(pin);
  if (strip) drawFrames(g, xOf, yLo + 1, yLo + 5, w, x0);
  const { level, edges, more } = edgesOf(pin, left);
  g.strokeStyle = '#4fd17a';
  g.lineWidth = 1.5;
  g.beginPath();
  let y = level ? yHi : yLo, riseAt = null, labelEnd = -1;
  // Edges within one pixel column are drawn once: the first one's vertical
  // already spans the column from low to high, the others only move the level.
  // A strip's data line has thousands of edges in a window, a few per pixel.
  let colPx = NaN, colX = x0, yDrawn = y, points = 1, i = 0;
  g.moveTo(x0, y);
  for (; i < edges.length && edges[i][0] <= right; i++) {
    const [t, l] = edges[i];
    const xe = xOf(t);
    if (Math.floor(xe) !== colPx) {
      if (yDrawn !== y) { g.lineTo(colX, y); points++; }
      g.lineTo(xe, y);
      yDrawn = l ? yHi : yLo;
      g.lineTo(xe, yDrawn);
      points += 2;
      colPx = Math.floor(xe);
      colX = xe;
    }
    y = l ? yHi : yLo;
    if (l) { riseAt = t; continue; }
    if (riseAt === null) continue;
    // the width of each high pulse above it, where the last label left room
    // (a label centred at or before that point cannot start after it)
    const x1 = xOf(riseAt);
    if (!strip && (x1 + xe) / 2 > labelEnd + 6) {
      const text = fmtTime(t - riseAt), tw = g.measureText(text).width;
      const xl = Math.max(x0, (x1 + xe) / 2 - tw / 2);
      if (xl > labelEnd + 6 && xl + tw < w - 8) {
        g.save(); g.fillStyle = '#ffd84a'; g.fillText(text, xl, yHi - 3); g.restore();
        labelEnd = xl + tw;
      }
    }
    riseAt = null;
  }
  if (yDrawn !== y) { g.lineTo(colX, y); points++; }
  g.lineTo(w - 8, y);
  g.stroke();
  vb.traceDrawn[pin] = [i, points + 1];  // edges in view, points of the path drawn for them
  // Busy spans of the stream count only past the server's window, which holds every kept edge.
  const after = traceWindow && traceWindow.pins[pin] ? traceWindow.to : -1;
  const busy = (traceBusy[pin] || []).filter((b) => b[1] > after).concat(more ? [more] : []);
  for (const [a, b] of busy) {
    if (b < left || a > right) continue;
    g.fillStyle = 'rgba(120, 160, 255, .35)';
    const xa = Math.max(x0, xOf(a)), xb = Math.max(xa + 2, Math.min(w - 8, xOf(b)));
    g.fillRect(xa, yHi, xb - xa, yLo - yHi);
  }
}

function drawTrace() {
  const c = $('trace');
  const dpr = window.devicePixelRatio || 1;
  const w = c.clientWidth, h = c.clientHeight;
  if (c.width !== Math.round(w * dpr)) { c.width = Math.round(w * dpr); c.height = Math.round(h * dpr); }
  const g = c.getContext('2d');
  g.setTransform(dpr, 0, 0, dpr, 0, 0);
  g.clearRect(0, 0, w, h);
  const view = traceView();
  const x0 = 60;
  const xOf = (t) => x0 + (t - view.left) / view.span * (w - x0 - 8);
  traceGeom = { left: view.left, span: view.span, x0, width: w - x0 - 8 };
  const rowH = Math.max(26, Math.min(48, (h - 18) / Math.max(1, tracePins.length)));
  g.font = '11px ui-monospace, monospace';
  g.fillStyle = '#778';
  g.fillText(fmtTime(Math.max(0, view.left)), x0, h - 3);
  const rt = fmtTime(view.right);
  g.fillText(rt, w - 8 - g.measureText(rt).width, h - 3);
  vb.traceDrawn = {};
  tracePins.forEach((pin, row) => {
    const top = 2 + row * rowH;
    g.fillStyle = 'rgba(255,255,255,.04)';
    if (row % 2) g.fillRect(0, top, w, rowH);
    drawPin(g, pin, top, rowH, view, xOf, w, x0);
  });
  drawCursors(g, xOf, h, w, x0);
  showScroll(view);
  askWindow();
  requestAnimationFrame(drawTrace);
}

// The scroll bar spans what is kept, from the earliest kept instant to now.
function showScroll(view) {
  const s = $('trace-scroll');
  if (document.activeElement === s && s.matches(':active')) return;
  let from = 0;
  if (traceWindow) from = Math.min(...Object.values(traceWindow.pins).map((p) => p.kept_from || 0), vb.vt);
  s.min = String(Math.min(from + view.span, vb.vt));
  s.max = String(Math.max(vb.vt, 1));
  s.value = String(view.right);
}

function freezeAt(t) {
  traceFrozenAt = t === null ? null : Math.max(0, Math.min(vb.vt, t));
  const b = $('trace-pause');
  b.textContent = traceFrozenAt === null ? 'Pause trace' : 'Follow';
  b.classList.toggle('on', traceFrozenAt !== null);
}

// A click puts cursor A, the next B, then A again; each snaps to an edge within 5 px.
function placeCursor(ev) {
  if (!traceGeom) return;
  const r = $('trace').getBoundingClientRect();
  const x = ev.clientX - r.left;
  if (x < traceGeom.x0) return;
  let t = traceGeom.left + (x - traceGeom.x0) / traceGeom.width * traceGeom.span;
  const near = 5 / traceGeom.width * traceGeom.span;
  let best = near;
  for (const pin of tracePins)
    for (const [te] of edgesOf(pin, t - near).edges) {
      if (te > t + near) break;
      if (Math.abs(te - t) <= best) { best = Math.abs(te - t); t = te; }
    }
  const k = ev.shiftKey ? 1 : nextCursor;
  cursors[k] = Math.round(t);
  nextCursor = k ? 0 : 1;
  showCursors();
}

function showCursors() {
  const [a, b] = cursors;
  vb.cursors = cursors.slice();
  vb.cursorDelta = a !== null && b !== null ? b - a : null;
  const exact = (t) => (t / 1e9).toFixed(9) + ' s';
  let text = 'click the trace: cursor A, then B';
  if (a !== null) text = 'A ' + exact(a);
  if (b !== null) text += ' · B ' + exact(b);
  if (vb.cursorDelta !== null) {
    const d = Math.abs(vb.cursorDelta);
    text += ' · B − A = ' + (vb.cursorDelta < 0 ? '−' : '') + fmtTime(d) + (d ? ' (' + (1e9 / d).toPrecision(4) + ' Hz)' : '');
  }
  $('cursor-readout').textContent = text;
}

function exportVcd(from) {
  const { left, right } = traceView();
  const [a, b] = cursors;
  const both = a !== null && b !== null && a !== b;
  send({ op: 'vcd', from: Math.max(0, Math.floor(both ? Math.min(a, b) : left)),
         to: Math.ceil(both ? Math.max(a, b) : right), pins: tracePins }, from);
}

function applyVcd(m) {
  vb.vcd = m;
  const a = $('vcd-download');
  if (a.href) URL.revokeObjectURL(a.href);
  a.href = URL.createObjectURL(new Blob([m.text], { type: 'text/plain' }));
  a.download = m.name;
  a.textContent = m.name;
  a.hidden = false;
}

function traceSetup() {
  $('trace-pause').addEventListener('click', () => freezeAt(traceFrozenAt === null ? vb.vt : null));
  $('trace-scroll').addEventListener('input', (e) => freezeAt(Number(e.target.value)));
  $('trace').addEventListener('wheel', (e) => {
    e.preventDefault();
    const { span, right } = traceView();
    freezeAt(right + Math.sign(e.deltaY || e.deltaX) * span / 5);
  }, { passive: false });
  $('trace').addEventListener('click', placeCursor);
  $('cursor-clear').addEventListener('click', () => { cursors[0] = cursors[1] = null; nextCursor = 0; showCursors(); });
  $('vcd-export').addEventListener('click', (e) => exportVcd(e.target));
  showCursors();
}
