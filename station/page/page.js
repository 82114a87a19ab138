// The station's page: the state the station pushes, drawn whole at each
// change. Every text from the station goes in as text, never as markup.
'use strict';

const SVG = 'http://www.w3.org/2000/svg';

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function svg(tag, attributes) {
  const e = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) e.setAttribute(name, value);
  return e;
}

// A pin's verdict in words: its status and how sure the station is of it.
function pinWords(i, pin) {
  let words = 'pin ' + i + ': ' + (pin.words || pin.status);
  if (pin.confidence)
    words += ' [' + pin.confidence + (pin.candidates.length ? ': ' + pin.candidates.join(' | ') : '') + ']';
  return words;
}

// The eight pin pairs: each low-byte pin above the high-byte pin it is
// wired to. A located fault is drawn where it is: a broken wire and a
// cross on its pin, and a bridge drawn to each partner; a fault that is
// one of several is drawn uncertain (a question mark, its wire dashed in
// amber); a fault detected only keeps the cross alone.
function pinPicture(pins) {
  const picture = svg('svg', { class: 'pins', viewBox: '0 0 320 70', role: 'img' });
  const faulty = [];
  const x = i => 20 + i * 40;
  pins.forEach((pin, i) => {
    const bad = pin.status !== 'ok' && pin.status !== 'untested';
    const sure = pin.confidence === 'located' ? 'located' : pin.confidence.startsWith('one of') ? 'uncertain'
      : pin.confidence === 'detected only' ? 'detected' : '';
    if (bad) faulty.push(i + (pin.confidence ? ' (' + pin.confidence + ')' : ''));
    const pair = svg('g', { class: 'pair ' + (bad ? 'bad ' + sure : pin.status), 'data-pin': i,
                            'data-confidence': pin.confidence });
    const title = svg('title', {});
    title.textContent = pinWords(i, pin);
    pair.append(title,
      svg('line', { class: 'wire', x1: x(i), y1: 18, x2: x(i), y2: 48 }),
      svg('circle', { class: 'pin', cx: x(i), cy: 12, r: 7 }),
      svg('circle', { class: 'pin', cx: x(i), cy: 54, r: 7 }));
    if (bad && sure === 'uncertain') {
      const mark = svg('text', { class: 'mark', x: x(i), y: 39 });
      mark.textContent = '?';
      pair.append(mark);
    } else if (bad) {
      pair.append(svg('line', { class: 'mark', x1: x(i) - 9, y1: 24, x2: x(i) + 9, y2: 42 }),
                  svg('line', { class: 'mark', x1: x(i) + 9, y1: 24, x2: x(i) - 9, y2: 42 }));
    }
    // A located fault of two or three nets joins them, drawn once from the lower pin.
    if (bad && sure === 'located')
      for (const other of pin.partner.filter(p => p > i))
        pair.append(svg('path', { class: 'link', 'data-to': other,
                                  d: 'M' + x(i) + ' 33 Q' + (x(i) + x(other)) / 2 + ' 20 ' + x(other) + ' 33' }));
    const number = svg('text', { x: x(i), y: 70 });
    number.textContent = String(i);
    pair.append(number);
    picture.append(pair);
  });
  picture.setAttribute('aria-label', faulty.length ? 'faulty pins: ' + faulty.join(', ') : 'all eight pins ok');
  return picture;
}

function stateWords(slot) {
  if (slot.state === 'testing') {
    if (slot.soak) return 'testing: run ' + slot.runs + ', ' + slot.failed_runs + ' failed';
    return 'testing: row ' + slot.row + ' of ' + slot.rows;
  }
  return slot.state;
}

function tile(slot) {
  const t = el('article', 'tile state-' + slot.state);
  t.dataset.location = slot.location;
  t.dataset.channel = slot.channel;
  t.dataset.state = slot.state;
  const where = el('div', 'where', slot.slot ? 'slot ' + slot.slot : slot.location);
  where.append(el('span', 'location', slot.slot ? slot.location + ' ' + slot.channel : 'channel ' + slot.channel));
  const state = el('div', 'state');
  state.append(el('span', 'shape'), el('span', 'word', slot.state === 'testing' ? 'testing' : slot.state));
  t.append(where, state);
  if (slot.state === 'testing') t.append(el('div', 'detail progress', stateWords(slot).slice('testing: '.length)));
  if (slot.dut_id && slot.state !== 'waiting')
    t.append(el('div', 'dut', slot.dut_id + (slot.attempt > 1 ? ' (attempt ' + slot.attempt + ')' : '')));
  if (slot.state === 'FAIL' && slot.faults.length) {
    const faults = el('ul', 'faults');
    for (const line of slot.faults) faults.append(el('li', '', line));
    t.append(faults);
  }
  if (slot.state === 'ERROR') {
    t.append(el('div', 'detail reason', slot.reason));
    t.append(el('div', 'advice', slot.advice));
  }
  if ((slot.state === 'PASS' || slot.state === 'FAIL') && slot.pins.length === 8) t.append(pinPicture(slot.pins));
  if (slot.eeprom_serial)
    t.append(el('div', 'eeprom-serial', (slot.serial_kept ? 'serial kept: ' : 'new serial: ') + slot.eeprom_serial));
  if (slot.label_waiting) t.append(el('div', 'note label-waiting', 'label waiting: ' + slot.label_waiting));
  if (slot.cycle_note) t.append(el('div', 'note cycle-note', slot.cycle_note));
  if (slot.label_reused) t.append(el('div', 'note label-reused', slot.label_reused));
  return t;
}

function time(millis) {
  return new Date(millis).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23' });
}

// A yield, 0 to 1, as a percentage.
function percent(value) { return value === null ? '-' : (100 * value).toFixed(1) + '%'; }

function setCounter(id, value) { document.querySelector('#' + id + ' b').textContent = value; }

function render(state) {
  document.getElementById('station-id').textContent = state.station_id ? 'station ' + state.station_id : 'wiretest-station';
  document.getElementById('fixture-id').textContent = state.fixture_id ? 'fixture ' + state.fixture_id : '';
  const c = state.counters;
  setCounter('tested', c.tested);
  setCounter('passed', c.passed);
  setCounter('failed', c.failed);
  setCounter('errors', c.errors);
  setCounter('yield', percent(c.yield));
  const today = document.getElementById('first-pass-today');
  today.hidden = c.first_pass_yield_today === null;
  setCounter('first-pass-today', percent(c.first_pass_yield_today));

  document.getElementById('tiles').replaceChildren(...state.slots.map(tile));
  document.getElementById('recent-rows').replaceChildren(...state.last_results.map(r => {
    const row = el('tr', 'result-' + r.outcome);
    row.append(el('td', 'outcome', r.outcome + (r.attempt > 1 ? ' #' + r.attempt : '')), el('td', '', time(r.time_millis)),
               el('td', '', r.slot ? 'slot ' + r.slot : r.location + ' ' + r.channel), el('td', '', r.dut_id));
    return row;
  }));
  document.body.dataset.ended = state.session_ended ? 'yes' : 'no';
  const faults = document.getElementById('faults');
  faults.replaceChildren(...(state.station_faults || []).map(why => el('li', '', 'STATION FAULT: ' + why)));
  faults.hidden = faults.children.length === 0;
}

function setLink(up, words) {
  const link = document.getElementById('link');
  link.className = up ? 'up' : 'down';
  link.textContent = words;
}

// EventSource reconnects by itself while the station is away; after an
// answer it cannot use (the station ending, too many pages) it gives up,
// and the page starts it again.
function connect() {
  const events = new EventSource('/api/events');
  // The station serves so many screens at once; this one is let in when
  // another closes, and says why it waits meanwhile.
  let full = false;
  events.addEventListener('full', message => {
    full = true;
    const most = JSON.parse(message.data).streams;
    setLink(false, 'the station\'s page is open on ' + most + ' screens, all it serves: close one; trying again');
  });
  events.onmessage = message => {
    const state = JSON.parse(message.data);
    full = false;
    setLink(true, '');
    render(state);
    if (state.session_ended) setLink(false, 'the session has ended');
  };
  events.onerror = () => {
    if (!full) setLink(false, 'station not reachable');
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
  };
}

connect();
