// The live hit inspector of `quorvex collect`. Hits come from /events
// (server-sent events, see tools/collector/QXInspector.h) and are untrusted:
// every name and value reaches the page as text (textContent, never markup),
// with control and direction-changing characters shown as visible markers.
'use strict';

const ROW_HEIGHT = 24;
const SUMMARY_FIELDS = ['page', 'event', 'screen', 'QX_EVENT'];
// Longer values are shown shortened, so that a hit of a megabyte costs the
// page no more than a small one: in a row's summary for good, in the detail
// pane until "Show all" asks for the whole value.
const SUMMARY_VALUE_LENGTH = 100;
const SHOWN_VALUE_LENGTH = 2000;
// C0 and C1 controls, DEL, and the characters that change the direction of
// the text around them or split lines.
const INVISIBLE = /[\u0000-\u001f\u007f-\u009f\u061c\u200b-\u200f\u2028-\u202e\u2060-\u2069\ufeff]/g;
const PRODUCT_KEY = /^(.+?)\[([^\[\]]*)\]\[(\d+)\]$/;

const state = {
  hits: [], // shown hits, oldest first; a retry adds to its first copy
  byIdentifier: new Map(),
  capacity: 0,
  dropped: 0,
  lastSequence: -1,
  clearedBelow: 0, // hits before this sequence were cleared from the page
  filter: '',
  view: [], // the hits that pass the filter, oldest first
  selected: null,
  compared: null,
  renderQueued: false,
  shift: 0, // rows added above those in sight since the last render
  detailStale: false,
};

const $ = (id) => document.getElementById(id);

function visible(text) {
  return String(text).replace(INVISIBLE, (c) =>
    '\u27e8U+' + c.charCodeAt(0).toString(16).toUpperCase().padStart(4, '0') + '\u27e9');
}

// The first `length` UTF-16 units of `text`, not splitting a surrogate pair,
// followed by an ellipsis when something was cut.
function shortened(text, length) {
  if (text.length <= length) return text;
  const code = text.charCodeAt(length - 1);
  const cut = code >= 0xd800 && code <= 0xdbff ? length - 1 : length;
  return text.slice(0, cut) + '\u2026';
}

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = visible(text);
  if (className) node.className = className;
  return node;
}

function timeOf(ms) {
  const date = new Date(ms);
  const two = (n) => String(n).padStart(2, '0');
  return two(date.getHours()) + ':' + two(date.getMinutes()) + ':' + two(date.getSeconds()) +
    '.' + String(date.getMilliseconds()).padStart(3, '0');
}

function fieldValue(hit, name) {
  for (const [key, value] of hit.fields) {
    if (key === name) return value;
  }
  return undefined;
}

function summaryOf(hit) {
  const parts = [];
  for (const name of SUMMARY_FIELDS) {
    const value = fieldValue(hit, name);
    if (value !== undefined && value !== '') {
      parts.push(name + '=' + shortened(value, SUMMARY_VALUE_LENGTH));
    }
  }
  if (parts.length === 0) parts.push(hit.fields.length + ' fields');
  return parts.join(' ');
}

// A field matches by its name, its value, or "name=value".
function matches(hit, filter) {
  if (filter === '') return true;
  if (hit.haystack === undefined) {
    const words = [hit.path, hit.id];
    for (const [name, value] of hit.fields) words.push(name + '=' + value);
    hit.haystack = words.join('\n').toLowerCase();
  }
  return hit.haystack.includes(filter);
}

// Groups a hit's fields as the SDK writes them: the application's
// variables, the products flattened as prefix[field][index], and the SDK's
// own predefined variables.
function groupsOf(hit) {
  const predefined = [];
  const application = [];
  const products = new Map();
  for (const [name, value] of hit.fields) {
    const product = PRODUCT_KEY.exec(name);
    if (name.startsWith('QX_')) {
      predefined.push([name, value]);
    } else if (product) {
      const [, prefix, field, index] = product;
      if (!products.has(prefix)) products.set(prefix, { fields: [], rows: new Map(), flat: [] });
      const table = products.get(prefix);
      if (!table.fields.includes(field)) table.fields.push(field);
      if (!table.rows.has(index)) table.rows.set(index, new Map());
      table.rows.get(index).set(field, value);
      table.flat.push([name, value]);
    } else {
      application.push([name, value]);
    }
  }
  return { predefined, products, application };
}

// --- the list -------------------------------------------------------------

function scheduleRender() {
  if (state.renderQueued) return;
  state.renderQueued = true;
  requestAnimationFrame(() => {
    state.renderQueued = false;
    renderHeader();
    renderRows();
    // Tells whoever reads the page which filter the rows shown answer.
    $('list').dataset.filter = state.filter;
    if (state.detailStale) {
      state.detailStale = false;
      renderDetail();
    }
  });
}

function renderHeader() {
  const shown = state.view.length;
  const total = state.hits.length;
  $('count').textContent = state.filter === '' ? total + ' hits' : shown + ' of ' + total + ' hits';
  const dropped = Math.max(state.dropped, state.lastSequence + 1 - state.capacity);
  const banner = $('dropped');
  banner.hidden = !(state.capacity > 0 && dropped > 0);
  banner.textContent = dropped + ' older hits dropped (the collector keeps the last ' +
    state.capacity + ')';
}

const rowPool = [];

function rowElement(slot) {
  while (rowPool.length <= slot) {
    const row = element('div', undefined, 'row');
    row.setAttribute('role', 'option');
    for (let i = 0; i < 5; ++i) row.appendChild(element('span'));
    row.addEventListener('click', onRowClick);
    $('list').appendChild(row);
    rowPool.push(row);
  }
  return rowPool[slot];
}

// Only the rows in sight exist: a pool of elements is moved and refilled as
// the list scrolls, whatever the number of hits.
function renderRows() {
  const list = $('list');
  const count = state.view.length;
  $('spacer').style.height = count * ROW_HEIGHT + 'px';
  // A reader scrolled down keeps the same hits in sight as new ones come.
  if (state.shift > 0 && list.scrollTop > 0) list.scrollTop += state.shift * ROW_HEIGHT;
  state.shift = 0;
  const first = Math.floor(list.scrollTop / ROW_HEIGHT);
  const inSight = Math.ceil(list.clientHeight / ROW_HEIGHT) + 1;
  let slot = 0;
  for (let position = first; position < Math.min(count, first + inSight); ++position, ++slot) {
    const hit = state.view[count - 1 - position];
    const row = rowElement(slot);
    row.hidden = false;
    row.style.transform = 'translateY(' + position * ROW_HEIGHT + 'px)';
    row.sequence = hit.seq;
    fillRow(row, hit);
  }
  for (; slot < rowPool.length; ++slot) rowPool[slot].hidden = true;
}

function fillRow(row, hit) {
  const cells = row.children;
  cells[0].textContent = timeOf(hit.time);
  cells[1].textContent = visible(hit.path);
  cells[2].textContent = String(hit.size);
  cells[3].replaceChildren(element('span', hit.id === '' ? '(none)' : hit.id));
  if (hit.retries > 0) {
    cells[3].appendChild(element('span', 'retry \u00d7' + hit.retries, 'retry'));
  }
  cells[4].textContent = visible(hit.summary);
  row.classList.toggle('selected', hit === state.selected);
  row.classList.toggle('compared', hit === state.compared);
  row.setAttribute('aria-selected', String(hit === state.selected || hit === state.compared));
}

function hitBySequence(sequence) {
  return state.hits.find((hit) => hit.seq === sequence) || null;
}

function onRowClick(event) {
  const hit = hitBySequence(event.currentTarget.sequence);
  if (!hit) return;
  if ((event.ctrlKey || event.metaKey || event.shiftKey) && state.selected && hit !== state.selected) {
    state.compared = state.compared === hit ? null : hit;
  } else {
    state.selected = hit;
    state.compared = null;
  }
  state.detailStale = true;
  scheduleRender();
}

function rebuildView() {
  state.view = state.hits.filter((hit) => matches(hit, state.filter));
  state.shift = 0;
  $('list').scrollTop = 0;
  scheduleRender();
}

// --- the detail pane --------------------------------------------------------

// A value's cell: the value shortened when it is long, with a button that
// shows it whole.
function valueCell(value) {
  if (value === undefined) return element('td', '(absent)', 'missing');
  const text = String(value);
  if (text.length <= SHOWN_VALUE_LENGTH) return element('td', text);
  const cell = element('td', undefined, 'long');
  const whole = element('button', 'Show all ' + text.length.toLocaleString('en') + ' characters',
    'whole');
  whole.type = 'button';
  whole.addEventListener('click', () => { cell.replaceChildren(element('span', text)); });
  cell.append(element('span', shortened(text, SHOWN_VALUE_LENGTH)), whole);
  return cell;
}

function table(headings, rows) {
  const node = element('table');
  const head = element('tr');
  for (const heading of headings) head.appendChild(element('th', heading));
  node.appendChild(head);
  for (const { cells, differs } of rows) {
    const row = element('tr', undefined, differs ? 'differs' : undefined);
    for (const cell of cells) row.appendChild(valueCell(cell));
    node.appendChild(row);
  }
  return node;
}

function section(title, count) {
  return element('h2', title + ' (' + count + ')');
}

function renderHit(pane, hit) {
  pane.appendChild(element('p', hit.method + ' ' + hit.path + ', ' + hit.size + ' bytes, id ' +
    (hit.id === '' ? '(none)' : hit.id) + ', received ' + timeOf(hit.time) +
    (hit.retries > 0 ? ', received again ' + hit.retries + ' times (retries)' : ''), 'meta'));
  const groups = groupsOf(hit);
  pane.appendChild(section('Application', groups.application.length));
  pane.appendChild(table(['Field', 'Value'], groups.application.map((cells) => ({ cells }))));
  pane.appendChild(section('Products', groups.products.size));
  for (const [prefix, product] of groups.products) {
    pane.appendChild(element('h3', prefix));
    const rows = [];
    for (const [index, values] of product.rows) {
      rows.push({ cells: [index, ...product.fields.map((field) => values.get(field))] });
    }
    pane.appendChild(table(['#', ...product.fields], rows));
  }
  pane.appendChild(section('Predefined', groups.predefined.length));
  pane.appendChild(table(['Field', 'Value'], groups.predefined.map((cells) => ({ cells }))));
}

// One table a group, the fields of both hits side by side; the rows whose
// values differ (or that one hit lacks) are highlighted.
function compareGroup(pane, title, first, second) {
  const a = new Map(first);
  const b = new Map(second);
  const names = [...a.keys()];
  for (const name of b.keys()) if (!a.has(name)) names.push(name);
  const rows = names.map((name) => ({
    cells: [name, a.get(name), b.get(name)],
    differs: a.get(name) !== b.get(name),
  }));
  const differing = rows.filter((row) => row.differs).length;
  pane.appendChild(element('h2', title + ' (' + differing + ' of ' + rows.length + ' differ)'));
  pane.appendChild(table(['Field', 'Hit ' + timeOf(state.selected.time), 'Hit ' +
    timeOf(state.compared.time)], rows));
}

function renderComparison(pane, first, second) {
  pane.appendChild(element('p', 'Comparing ' + (first.id || first.path) + ' with ' +
    (second.id || second.path), 'meta'));
  const a = groupsOf(first);
  const b = groupsOf(second);
  const flat = (groups) => [...groups.products.values()].flatMap((product) => product.flat);
  compareGroup(pane, 'Application', a.application, b.application);
  compareGroup(pane, 'Products', flat(a), flat(b));
  compareGroup(pane, 'Predefined', a.predefined, b.predefined);
}

function renderDetail() {
  const pane = $('detail');
  pane.replaceChildren();
  if (!state.selected) {
    pane.appendChild(element('p', 'Select a hit to see its fields. Ctrl-click a second hit to ' +
      'compare the two.', 'hint'));
  } else if (state.compared) {
    renderComparison(pane, state.selected, state.compared);
  } else {
    renderHit(pane, state.selected);
  }
}

// --- hits arriving ------------------------------------------------------------

function trimToCapacity() {
  const oldest = state.lastSequence + 1 - state.capacity;
  let cut = 0;
  while (cut < state.hits.length && state.hits[cut].seq < oldest) ++cut;
  if (cut === 0) return;
  for (const hit of state.hits.slice(0, cut)) {
    if (hit.id !== '') state.byIdentifier.delete(hit.id);
    if (hit === state.selected || hit === state.compared) {
      state.selected = state.compared = null;
      state.detailStale = true;
    }
  }
  state.hits.splice(0, cut);
  rebuildView();
}

function onHit(hit) {
  state.lastSequence = Math.max(state.lastSequence, hit.seq);
  if (hit.seq < state.clearedBelow) return;
  const first = hit.id === '' ? undefined : state.byIdentifier.get(hit.id);
  if (first) {
    first.retries += 1;
    if (first === state.selected || first === state.compared) state.detailStale = true;
  } else {
    hit.retries = 0;
    hit.summary = summaryOf(hit);
    state.hits.push(hit);
    if (hit.id !== '') state.byIdentifier.set(hit.id, hit);
    if (matches(hit, state.filter)) {
      state.view.push(hit);
      state.shift += 1;
    }
  }
  if (state.capacity > 0 && state.hits.length > 0 &&
      state.hits[0].seq < state.lastSequence + 1 - state.capacity) {
    trimToCapacity();
  }
  scheduleRender();
}

// The page holds no hit any more; what comes next is shown.
function forgetHits() {
  state.hits = [];
  state.view = [];
  state.byIdentifier.clear();
  state.selected = state.compared = null;
  state.detailStale = true;
  scheduleRender();
}

function onReset(info) {
  state.capacity = info.capacity;
  state.dropped = info.dropped;
  forgetHits();
}

function connect() {
  const events = new EventSource('/events');
  const status = $('status');
  events.addEventListener('open', () => {
    status.textContent = 'live';
    status.className = 'live';
  });
  events.addEventListener('error', () => {
    status.textContent = 'reconnecting';
    status.className = '';
  });
  events.addEventListener('reset', (event) => onReset(JSON.parse(event.data)));
  events.addEventListener('hit', (event) => onHit(JSON.parse(event.data)));
}

// --- the controls -------------------------------------------------------------

function exportShown() {
  const lines = state.view.map((hit) => JSON.stringify({
    time: new Date(hit.time).toISOString(),
    method: hit.method,
    path: hit.path,
    id: hit.id,
    size: hit.size,
    retries: hit.retries,
    body: hit.body,
  }) + '\n');
  const url = URL.createObjectURL(new Blob(lines, { type: 'application/x-ndjson' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = 'hits.jsonl';
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

function clearAll() {
  state.clearedBelow = state.lastSequence + 1;
  forgetHits();
}

function start() {
  let filterTimer = 0;
  $('filter').addEventListener('input', (event) => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(() => {
      state.filter = event.target.value.trim().toLowerCase();
      rebuildView();
    }, 80);
  });
  $('list').addEventListener('scroll', scheduleRender, { passive: true });
  window.addEventListener('resize', scheduleRender);
  $('export').addEventListener('click', exportShown);
  $('clear').addEventListener('click', clearAll);
  connect();
  scheduleRender();
}

start();
