// The station's dashboard: live values and the verdict from the service's
// event stream, plots from its history with the stream's points appended,
// events, details and configuration, and changes for a signed-in user. Every
// request goes to the service that served the page.

// The live values: the record member, its group, label, unit and decimals.
const FIELDS = [
  ['Cable', 'cableLength', 'Length', 'm', 1],
  ['Cable', 'cableSpeed', 'Speed', 'm/s', 2],
  ['Cable', 'cableRetractionTorque', 'Retraction torque', '%', 0],
  ['UAV supply', 'uavSupplyVoltage', 'Voltage', 'V', 1],
  ['UAV supply', 'uavSupplyCurrent', 'Current', 'A', 1],
  ['UAV supply', 'uavPowerConsumption', 'Power', 'W', 0],
  ['Mains', 'mainsVoltage', 'Voltage', 'V', 1],
  ['Mains', 'mainsCurrent', 'Current', 'A', 2],
  ['Mains', 'mainsFrequency', 'Frequency', 'Hz', 2],
  ['Backup battery', 'backupBatteryVoltage', 'Voltage', 'V', 1],
  ['Temperatures', 'temperature1', 'System', '°C', 1],
  ['Temperatures', 'temperature2', 'Sensor 2', '°C', 1],
  ['Temperatures', 'temperature3', 'Sensor 3', '°C', 1],
  ['Temperatures', 'temperature4', 'Sensor 4', '°C', 1],
  ['Environment', 'humidity1', 'Humidity', '%', 0],
  ['Environment', 'pressure1', 'Pressure', 'hPa', 0],
  ['Fans', 'fan1Rpm', 'Fan 1', 'rpm', 0],
  ['Fans', 'fan2Rpm', 'Fan 2', 'rpm', 0],
].map(([group, key, label, unit, digits]) => ({ group, key, label, unit, digits }));
const FIELD = Object.fromEntries(FIELDS.map((f) => [f.key, f]));

// The plots: each series a record member, the second unit on the right axis.
const PLOTS = [
  { name: 'cable', title: 'Cable length and speed', series: ['cableLength', 'cableSpeed'] },
  { name: 'uav', title: 'UAV supply power and current', series: ['uavPowerConsumption', 'uavSupplyCurrent'] },
  { name: 'mains', title: 'Mains voltage and current', series: ['mainsVoltage', 'mainsCurrent'] },
  {
    name: 'temperatures', title: 'Temperatures',
    series: ['temperature1', 'temperature2', 'temperature3', 'temperature4'],
  },
];
const PLOTTED = [...new Set(PLOTS.flatMap((p) => p.series))];
const COLORS = ['#0b3d91', '#c0390b', '#1b7a2e', '#6a1b9a'];
// About this many points across a plot; the service averages history into buckets.
const POINTS_ACROSS = 600;
const RANGES = [['10 min', 600], ['1 h', 3600], ['6 h', 21600], ['24 h', 86400]];

const REPORTING = [
  ['cab', 'Cable'], ['env', 'Environment'], ['energyGS', 'Station power'],
  ['energyUAV', 'UAV power'], ['sysState', 'System state'], ['hwModuleStatus', 'Hardware modules'],
];

const DETAILS = [
  ['model', 'Model'], ['serialNumber', 'Serial number'], ['productType', 'Product'],
  ['hwVersion', 'Hardware version'], ['protocolVersion', 'Protocol version'],
  ['swVersionMainCtrl', 'Main controller'], ['swVersionReelCtrl', 'Reel controller'],
  ['swVersionHpwrCtrl', 'High-power controller'], ['swVersionLpwrCtrl', 'Low-power controller'],
  ['swVersionEnvCtrl', 'Environment controller'], ['swVersionBbatCtrl', 'Battery controller'],
  ['swVersionNetCtrl', 'Network controller'], ['cableType', 'Cable'], ['maxCableLength', 'Longest cable', 'm'],
  ['maxPower', 'Highest power', 'W'], ['dayOfProduction', 'Produced'], ['lastMaintenance', 'Last maintenance', 'date'],
  ['timeToMaintenance', 'Next maintenance in', 'duration'], ['maintenanceRequired', 'Maintenance required', 'yesno'],
  ['flightCount', 'Flights'], ['flightTimeSum', 'Flight time', 'duration'],
];
const CONFIG = [
  ['systemActivation', 'Activation', 'onoff'], ['cableRetractionTorque', 'Retraction torque', '%'],
  ['cableRetractionStartLength', 'Retraction start length', 'm'], ['cableRetractionStatus', 'Retraction status'],
];

const $ = (id) => document.getElementById(id);
const el = (tag, props = {}, ...children) => {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k.startsWith('data-') || k.startsWith('aria-') || k === 'role') e.setAttribute(k, v);
    else e[k] = v;
  }
  e.append(...children);
  return e;
};

const state = {
  reachable: false,     // the stream is open
  connected: false,     // the service has the station
  port: '',
  error: '',
  interval: 1,
  staleAfter: 5,
  statusAt: null,       // performance.now() when the shown status arrived
  status: null,
  check: null,
  history: false,       // the service records a history
  range: 600,
  signIn: false,
  signedIn: false,
  config: null,
  filled: {},           // what the controls were last filled with
};

// ---- values -------------------------------------------------------------

const valueCells = {};
function buildValues() {
  const groups = new Map();
  for (const f of FIELDS) {
    if (!groups.has(f.group)) {
      const list = el('dl');
      groups.set(f.group, list);
      $('values').append(el('div', { class: 'group' }, el('h2', { text: f.group }), list));
    }
    const value = el('span', { class: 'number', 'data-field': f.key, text: '–' });
    valueCells[f.key] = value;
    groups.get(f.group).append(
      el('div', { class: 'value' }, el('dt', { text: f.label }),
        el('dd', {}, value, el('span', { class: 'unit', text: f.unit }))));
  }
}

function format(value, digits) {
  return typeof value === 'number' && Number.isFinite(value) ? value.toFixed(digits) : null;
}

function showStatus(data, time) {
  state.status = data;
  state.statusAt = performance.now();
  for (const f of FIELDS) {
    const text = format(data[f.key], f.digits);
    const cell = valueCells[f.key];
    cell.textContent = text ?? 'n/a';
    cell.classList.toggle('na', text === null);
    cell.title = text === null ? 'not reported by the station' : '';
  }
  $('values').dataset.time = String(time);
  refreshFreshness();
}

// ---- connection, age and verdict ---------------------------------------

function isStale() {
  if (!state.reachable || !state.connected || state.statusAt === null) return true;
  return (performance.now() - state.statusAt) / 1000 > state.staleAfter;
}

function ageText(seconds) {
  if (seconds < 10) return `${seconds.toFixed(1)} s`;
  if (seconds < 120) return `${Math.round(seconds)} s`;
  if (seconds < 7200) return `${Math.round(seconds / 60)} min`;
  return `${Math.round(seconds / 3600)} h`;
}

function refreshFreshness() {
  const stale = isStale();
  const connection = $('connection');
  connection.dataset.state = state.reachable && state.connected ? 'connected' : 'disconnected';
  $('state-text').textContent = !state.reachable
    ? 'Service unreachable'
    : state.connected
      ? `Connected · ${state.port}`
      : `Disconnected · ${state.port}${state.error ? ` · ${state.error}` : ''}`;
  const age = $('age');
  age.dataset.stale = String(stale);
  if (state.statusAt === null) {
    age.textContent = 'no data yet';
  } else {
    const seconds = (performance.now() - state.statusAt) / 1000;
    age.textContent = stale ? `STALE · last data ${ageText(seconds)} ago` : `data ${ageText(seconds)} old`;
  }
  $('values').dataset.stale = String(stale);
  showVerdict();
}

function showVerdict() {
  const banner = $('verdict');
  const check = state.check;
  const known = check && !isStale();
  const verdict = known ? check.verdict : 'unknown';
  if (banner.dataset.verdict !== verdict) banner.dataset.verdict = verdict;
  $('verdict-word').textContent = { ok: 'OK', warning: 'Warning', error: 'Error', unknown: 'Unknown' }[verdict];
  let conditions;
  if (known) conditions = check.conditions.length ? check.conditions : ['No conditions: the station is healthy'];
  else if (!state.reachable) conditions = ['The service cannot be reached'];
  else if (!state.connected) conditions = ['The station is disconnected'];
  else conditions = ['No recent data from the station'];
  const list = $('conditions');
  const text = conditions.join('\n');
  if (list.dataset.text !== text) {
    list.dataset.text = text;
    list.replaceChildren(...conditions.map((c) => el('li', { text: c })));
  }
}

// ---- plots --------------------------------------------------------------

const plots = {};
function buildPlots() {
  for (const [label, seconds] of RANGES) {
    const button = el('button', { type: 'button', text: label, 'aria-pressed': String(seconds === state.range) });
    button.addEventListener('click', () => chooseRange(seconds));
    $('ranges').append(button);
  }
  for (const p of PLOTS) {
    const legend = el('div', { class: 'legend' });
    const graph = el('div', { class: 'graph', role: 'img', 'aria-label': p.title });
    const box = el('figure',
      { class: p.series.length === 2 ? 'plot dual' : 'plot', 'data-plot': p.name, 'data-points': '0' },
      el('figcaption', { text: p.title }), legend, graph);
    $('plots').append(box);
    plots[p.name] = { ...p, box, legend, graph, rows: [], dygraph: null, touched: false };
  }
}

function seriesLabel(key) {
  return `${FIELD[key].label} (${FIELD[key].unit})`;
}

// The legend in the page's own markup: the values at the point touched, else
// the latest. (dygraphs' own legend sets inline styles, which the page's
// policy refuses, so its plugin is left out.)
function showLegend(plot, row) {
  const shown = row || plot.rows.findLast((r) => r.slice(1).some((v) => v !== null));
  const items = plot.series.map((key, i) => {
    const f = FIELD[key];
    const value = shown ? format(shown[i + 1], f.digits) : null;
    return el('span', { class: `series s${i}`, text: `${f.label} ${value ?? '–'} ${f.unit}` });
  });
  const when = shown ? el('span', { class: 'when', text: shown[0].toLocaleTimeString() }) : '';
  plot.legend.replaceChildren(...items, when);
}

function drawPlot(plot) {
  const now = Date.now();
  const start = now - state.range * 1000;
  while (plot.rows.length && plot.rows[0][0].getTime() < start) plot.rows.shift();
  const points = plot.rows.filter((r) => r.slice(1).some((v) => v !== null)).length;
  plot.box.dataset.points = String(points);
  if (!plot.touched) showLegend(plot, null);
  plot.graph.setAttribute('aria-label', `${plot.title}, last ${rangeLabel()}: ${plot.legend.textContent || 'no data'}`);
  if (typeof Dygraph === 'undefined' || !plot.rows.length) return;
  const options = { file: plot.rows, dateWindow: [start, now] };
  if (plot.dygraph) {
    plot.dygraph.updateOptions(options);
    return;
  }
  const labels = ['Time', ...plot.series.map(seriesLabel)];
  const series = {};
  // The right axis's series dashed: power and current of a steady voltage draw the same line.
  if (plot.series.length === 2) series[labels[2]] = { axis: 'y2', strokePattern: [10, 5] };
  Dygraph.PLUGINS = Dygraph.PLUGINS.filter((p) => p !== Dygraph.Plugins.Legend);
  plot.dygraph = new Dygraph(plot.graph, plot.rows, {
    labels,
    series,
    colors: COLORS.slice(0, plot.series.length),
    ylabel: plot.series.length === 2 ? labels[1] : '°C',
    y2label: plot.series.length === 2 ? labels[2] : undefined,
    axes: { y2: { independentTicks: true, drawGrid: false } },
    dateWindow: [start, now],
    strokeWidth: 2.5,
    highlightCallback: (event, x, points, row) => {
      plot.touched = true;
      showLegend(plot, plot.rows[row]);
    },
    unhighlightCallback: () => {
      plot.touched = false;
      showLegend(plot, null);
    },
    connectSeparatedPoints: false,
    drawGapEdgePoints: true,
    axisLabelFontSize: 14,
    gridLineColor: '#b8b8b8',
    axisLineColor: '#222',
    labelsUTC: false,
    interactionModel: {},  // a trend to read, not to zoom: no drag on a tablet
    rightGap: 10,
  });
}

let drawPending = false;
function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    for (const plot of Object.values(plots)) drawPlot(plot);
  });
}

// Live points are appended at most one a bucket, so that a long range holds
// about POINTS_ACROSS of them however fast the service polls.
function appendPoint(time, data) {
  const step = state.range / POINTS_ACROSS;
  for (const plot of Object.values(plots)) {
    const last = plot.rows[plot.rows.length - 1];
    const when = new Date(time * 1000);
    if (last && when <= last[0]) continue;
    const values = plot.series.map((k) => (data && typeof data[k] === 'number' ? data[k] : null));
    // A gap is always kept: it is what breaks the line.
    if (data && last && last.slice(1).some((v) => v !== null) && (when - last[0]) / 1000 < step * 0.999) continue;
    plot.rows.push([when, ...values]);
  }
  scheduleDraw();
}

function rangeLabel() {
  return RANGES.find(([, s]) => s === state.range)[0];
}

function chooseRange(seconds) {
  state.range = seconds;
  for (const button of $('ranges').children)
    button.setAttribute('aria-pressed', String(button.textContent === rangeLabel()));
  loadHistory();
}

// The history of the range, in buckets; a pause longer than the data's own
// spacing is a gap.
async function loadHistory() {
  const range = state.range;
  const step = Math.max(range / POINTS_ACROSS, state.interval);
  const keepLive = () => {
    for (const plot of Object.values(plots)) plot.rows = plot.rows.filter((r) => r[0] >= Date.now() - range * 1000);
    scheduleDraw();
  };
  if (!state.history) {
    $('plots-note').textContent =
      'The service records no history (--history): the plots show what arrived since this page opened.';
    return keepLive();
  }
  const { reply } = await api(`api/history?since=${range}s&fields=${PLOTTED.join(',')}&step=${step}`);
  if (range !== state.range) return;
  if (!reply || !reply.ok) {
    $('plots-note').textContent = `History unavailable${reply ? `: ${reply.error.message}` : ''}.`;
    return keepLive();
  }
  $('plots-note').textContent = '';
  const buckets = reply.data.buckets || reply.data.rows || [];
  const live = Object.fromEntries(Object.values(plots).map((p) => [p.name, p.rows]));
  for (const plot of Object.values(plots)) {
    const rows = [];
    let previous = null;
    for (const b of buckets) {
      const when = new Date(b.time * 1000);
      if (previous !== null && (b.time - previous) > Math.max(step * 2.5, state.staleAfter))
        rows.push([new Date((previous + step) * 1000), ...plot.series.map(() => null)]);
      rows.push([when, ...plot.series.map((k) => (b[k] && typeof b[k] === 'object' ? b[k].mean : b[k]) ?? null)]);
      previous = b.time;
    }
    // Points that arrived on the stream since the history was read.
    const end = rows.length ? rows[rows.length - 1][0] : new Date(0);
    plot.rows = rows.concat(live[plot.name].filter((r) => r[0] > end));
  }
  scheduleDraw();
}

// ---- events -------------------------------------------------------------

const localEvents = [];
function authorText(author) {
  if (!author) return '';
  const who = author.user ? `${author.user} (uid ${author.uid})`
    : author.uid !== undefined ? `uid ${author.uid}` : author.address || '';
  return `${who} over ${author.transport === 'unix' ? 'the Unix socket' : (author.transport || '').toUpperCase()}`;
}

function eventText(e) {
  const d = e.data || {};
  const parts = [e.message || d.message || e.kind];
  if (d.author) parts.push(`by ${authorText(d.author)}`);
  return parts.join(' · ');
}

function showEvents(events) {
  const list = $('events');
  const items = events.slice(-50).reverse().map((e) => el('li',
    { 'data-kind': e.kind, 'data-verdict': (e.data && e.data.verdict) || '' },
    el('time', { dateTime: new Date(e.time * 1000).toISOString(), text: new Date(e.time * 1000).toLocaleString() }),
    el('span', { class: 'kind', text: e.kind }),
    el('span', { class: 'what', text: eventText(e) })));
  list.replaceChildren(...items);
  if (!items.length) list.append(el('li', { class: 'none', text: 'No events in the last 24 hours.' }));
}

let eventsTimer = null;
async function loadEvents() {
  clearTimeout(eventsTimer);
  eventsTimer = null;
  if (!state.history) {
    $('events-note').textContent =
      'The service records no history (--history): the list shows what happened since this page opened.';
    return showEvents(localEvents);
  }
  const { reply } = await api('api/events?since=24h');
  $('events-note').textContent =
    reply && reply.ok ? '' : `Events unavailable${reply ? `: ${reply.error.message}` : ''}.`;
  showEvents(reply && reply.ok ? reply.data.events : localEvents);
}

// Something happened: the history has it a moment later.
function eventHappened(kind, message) {
  localEvents.push({ time: Date.now() / 1000, kind, message });
  if (localEvents.length > 200) localEvents.shift();
  if (!state.history) showEvents(localEvents);
  else if (!eventsTimer) eventsTimer = setTimeout(loadEvents, 1500);
}

// ---- details and configuration -----------------------------------------

function factValue(value, kind) {
  if (value === null || value === undefined || value === '') return 'n/a';
  switch (kind) {
    case 'date': return new Date(value * 1000).toLocaleDateString();
    case 'duration': return value >= 86400 ? `${Math.round(value / 86400)} days` : `${Math.round(value / 3600)} h`;
    case 'yesno': return value ? 'yes' : 'no';
    case 'onoff': return value ? 'on' : 'off';
    case undefined: return String(value);
    default: return `${value} ${kind}`;
  }
}

function showFacts(target, table, data) {
  $(target).replaceChildren(...table.flatMap(([key, label, kind]) =>
    [el('dt', { text: label }), el('dd', { 'data-fact': key, text: factValue(data ? data[key] : null, kind) })]));
}

async function loadStation() {
  const [details, config, reporting] = await Promise.all([api('api/details'), api('api/config'), api('api/reporting')]);
  if (details.reply && details.reply.ok) {
    const d = details.reply.data;
    $('station-id').textContent = `${d.model} · ${d.serialNumber}`;
    document.title = `${d.model} ${d.serialNumber}`;
    showFacts('details', DETAILS, d);
  } else if (!$('details').children.length) {
    showFacts('details', DETAILS, null);
  }
  if (config.reply && config.reply.ok) {
    state.config = config.reply.data;
    showFacts('config', CONFIG, state.config);
  } else if (!$('config').children.length) {
    showFacts('config', CONFIG, null);
  }
  state.reporting = reporting.reply && reporting.reply.ok ? reporting.reply.data : null;
  fillControls();
}

// ---- sign-in and controls ----------------------------------------------

function showAccount() {
  const account = $('account');
  account.replaceChildren();
  if (state.signedIn) {
    const out = el('button', { type: 'button', text: 'Sign out', id: 'sign-out' });
    out.addEventListener('click', signOut);
    account.append(el('span', { class: 'who', text: 'Signed in' }), out);
  } else if (state.signIn) {
    account.append($('sign-in-template').content.cloneNode(true));
    $('sign-in').addEventListener('submit', signIn);
  } else {
    account.append(el('span', { class: 'who', text: 'Read-only' }));
  }
  // The controls exist only for a signed-in user.
  const panel = $('controls-panel');
  panel.replaceChildren();
  panel.hidden = !state.signedIn;
  if (state.signedIn) {
    panel.append($('controls-template').content.cloneNode(true));
    state.filled = {};
    for (const [key, label] of REPORTING)
      $('flags').append(el('label', {}, el('input', { type: 'checkbox', name: key }), ` ${label}`));
    wireControls();
    fillControls();
  }
}

async function signIn(event) {
  event.preventDefault();
  const { reply } = await api('api/login', { token: $('token').value });
  if (reply && reply.ok) {
    state.signedIn = true;
    showAccount();
  } else {
    $('sign-in-message').textContent = reply ? reply.error.message : 'the service cannot be reached';
  }
}

async function signOut() {
  await api('api/logout', {});
  state.signedIn = false;
  showAccount();
}

function fillControls() {
  if (!state.signedIn || !$('torque-input')) return;
  const c = state.config;
  // An input shows the station's value when that changes, and else keeps what was typed.
  const fill = (id, value) => {
    if (state.filled[id] === value) return;
    state.filled[id] = value;
    $(id).value = value;
  };
  if (c) {
    fill('torque-input', c.cableRetractionTorque);
    fill('start-length-input', c.cableRetractionStartLength);
    $('activation-now').textContent = c.systemActivation ? 'on' : 'off';
  }
  for (const [key] of REPORTING) {
    const box = document.querySelector(`#flags input[name="${key}"]`);
    box.checked = Boolean(state.reporting && state.reporting[key]);
    box.disabled = !state.reporting || state.reporting[key] === null;
  }
}

function confirmStep(text) {
  return new Promise((resolve) => {
    const dialog = $('confirm');
    $('confirm-text').textContent = text;
    dialog.returnValue = '';
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true });
    dialog.showModal();
  });
}

async function change(path, body, confirmText) {
  const message = $('control-message');
  message.dataset.result = 'pending';
  if (confirmText && !(await confirmStep(confirmText))) {
    message.textContent = 'Nothing changed.';
    message.dataset.result = 'cancelled';
    return;
  }
  message.textContent = 'Sending…';
  const { reply, status } = await api(path, body);
  const ok = Boolean(reply && reply.ok);
  if (status === 403) {
    // The session ended (expired, signed out elsewhere or the service restarted).
    const session = await api('api/session');
    if (session.reply && session.reply.ok && !session.reply.data.signedIn) {
      state.signedIn = false;
      showAccount();
      return;
    }
  }
  // The station's configuration as it is now, then the answer.
  await loadStation();
  message.textContent = ok
    ? 'Done: the station took the change.'
    : `Refused: ${reply ? reply.error.message : `the service answered ${status}`}`;
  message.dataset.result = ok ? 'ok' : 'refused';
}

function wireControls() {
  const number = (id) => {
    const text = $(id).value.trim();
    return text === '' ? NaN : Number(text);
  };
  document.querySelector('[data-control="torque"]').addEventListener('submit', (e) => {
    e.preventDefault();
    const torque = number('torque-input');
    change('api/set', { torque }, `Set the retraction torque to ${torque} %?`);
  });
  document.querySelector('[data-control="startLength"]').addEventListener('submit', (e) => {
    e.preventDefault();
    change('api/set', { startLength: number('start-length-input') });
  });
  $('activate').addEventListener('click', () => change('api/set', { activation: true }));
  $('deactivate').addEventListener('click', () =>
    change('api/set', { activation: false }, 'Deactivate the station? An aircraft in the air is brought down.'));
  document.querySelector('[data-control="reporting"]').addEventListener('submit', (e) => {
    e.preventDefault();
    const set = {};
    for (const box of document.querySelectorAll('#flags input'))
      if (!box.disabled) set[box.name] = box.checked ? 1 : 0;
    change('api/reporting', { set });
  });
}

// ---- the service --------------------------------------------------------

async function api(path, body) {
  const options = body === undefined ? {} : {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  };
  try {
    const response = await fetch(path, { ...options, credentials: 'same-origin', cache: 'no-store' });
    return { status: response.status, reply: await response.json() };
  } catch {
    return { status: 0, reply: null };
  }
}

let stream = null;
function openStream() {
  const source = new EventSource('api/stream');
  stream = source;
  const on = (kind, handle) => source.addEventListener(kind, (e) => handle(JSON.parse(e.data)));
  on('watch', (reply) => {
    const d = reply.data;
    const wasReachable = state.reachable;
    state.reachable = true;
    state.interval = d.interval;
    state.staleAfter = d.staleAfter;
    if (!wasReachable && state.everReachable) {
      eventHappened('service', 'The service answers again');
      loadStation();
    }
    state.everReachable = true;
    refreshFreshness();
  });
  on('state', (e) => {
    const was = state.connected;
    state.connected = e.state === 'connected';
    state.port = e.port;
    state.error = e.error || '';
    if (!state.connected) appendPoint(Date.now() / 1000, null);
    if (was !== state.connected) {
      eventHappened(e.state, state.connected
        ? `Connected to ${e.port}` : `Disconnected from ${e.port}${e.error ? `: ${e.error}` : ''}`);
      if (state.connected) loadStation();
    }
    refreshFreshness();
  });
  on('status', (e) => {
    showStatus(e.data, e.time);
    appendPoint(e.time, e.data);
  });
  on('gap', (e) => appendPoint(e.time, null));
  on('check', (reply) => {
    const before = state.check && state.check.verdict;
    state.check = reply.ok ? reply.data : null;
    if (state.check && before && before !== state.check.verdict)
      eventHappened('verdict', [state.check.verdict, ...state.check.conditions].join(': '));
    showVerdict();
  });
  source.addEventListener('error', () => {
    if (source !== stream) return;
    if (state.reachable) {
      state.reachable = false;
      appendPoint(Date.now() / 1000, null);
      eventHappened('service', 'The service cannot be reached');
      refreshFreshness();
    }
    // A refusal (too many streams) ends the stream for good; try again later.
    if (source.readyState === EventSource.CLOSED) setTimeout(() => source === stream && openStream(), 5000);
  });
}

// A browser gives one server six connections: a page out of sight holds none
// (a hidden tab, a page left but kept to come back to), and catches up when
// it is seen again.
function pauseStream() {
  if (!stream) return;
  stream.close();
  stream = null;
  state.reachable = state.everReachable = false;
  appendPoint(Date.now() / 1000, null);
  refreshFreshness();
}

function resumeStream() {
  if (stream) return;
  openStream();
  loadStation();
  loadHistory();
  loadEvents();
}

addEventListener('pagehide', pauseStream);
addEventListener('pageshow', (e) => e.persisted && resumeStream());
document.addEventListener('visibilitychange', () => (document.hidden ? pauseStream() : resumeStream()));

async function start() {
  buildValues();
  buildPlots();
  openStream();
  setInterval(refreshFreshness, 500);
  const session = await api('api/session');
  if (session.reply && session.reply.ok) Object.assign(state, session.reply.data);
  showAccount();
  await loadStation();
  await Promise.all([loadHistory(), loadEvents()]);
  // The plots move with the time even when no point arrives.
  setInterval(scheduleDraw, 5000);
}

start();
