// The operator console: signs in, follows the event stream and sends the
// operator's actions. Everything the server or an encoder says is put into
// the page as text (textContent, dataset), never as markup.
'use strict';

(() => {
  const kMaxLogLines = 500;
  // After the stream is closed for good (not by the browser's own retries):
  // how long before a new one is opened, once the session still holds.
  const kReopenMs = 3000;
  // A reconnection the server neither answers nor refuses would leave the
  // page silently stale: after this long it is given up and started anew.
  const kStuckMs = 20000;

  const $ = (id) => document.getElementById(id);

  const state = {
    session: null,      // {name, role, csrf} while signed in
    events: null,       // the EventSource
    reopenTimer: 0,
    stuckTimer: 0,
    rows: new Map(),    // encoder name -> its <tr>
    encoderNames: [],   // in the server's order, for the send target list
    log: [],            // lines shown (at most kMaxLogLines)
    held: [],           // lines that came while paused
    paused: false,
  };

  // ---- small DOM helpers ----------------------------------------------

  function element(tag, props = {}, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(props)) {
      if (key === 'dataset') Object.assign(node.dataset, value);
      else if (key === 'className') node.className = value;
      else if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    node.append(...children);
    return node;
  }

  function setText(node, text) {
    const value = text == null ? '' : String(text);
    if (node.textContent !== value) node.textContent = value;
  }

  function show(node, visible) {
    node.hidden = !visible;
  }

  function say(text, kind) {
    const message = $('message');
    message.textContent = text;
    message.className = kind || '';
  }

  // ---- talking to the server ------------------------------------------

  async function readJson(response) {
    try {
      return await response.json();
    } catch {
      return {};
    }
  }

  function errorText(response, body) {
    if (body && typeof body.error === 'string' && body.error) return body.error;
    return `the server answered ${response.status} ${response.statusText}`.trim();
  }

  // POST with the session's token; a 401 means the session is gone.
  async function post(path, body) {
    const headers = {'Content-Type': 'application/json'};
    if (state.session) headers['X-CSRF-Token'] = state.session.csrf;
    const response = await fetch(path, {
      method: 'POST',
      headers,
      body: JSON.stringify(body),
      credentials: 'same-origin',
      cache: 'no-store',
      // The server takes a POST only with this page's Origin, which a
      // stricter policy would blank out.
      referrerPolicy: 'same-origin',
    });
    const answer = await readJson(response);
    if (response.status === 401 && path !== '/console/signin') signedOut('Signed out: ' + errorText(response, answer));
    return {response, answer};
  }

  async function checkSession() {
    try {
      const response = await fetch('/console/session', {credentials: 'same-origin', cache: 'no-store'});
      if (response.ok) return {session: await readJson(response)};
      if (response.status === 401) return {session: null};
      return {failure: errorText(response, await readJson(response))};
    } catch (err) {
      return {failure: 'the console cannot be reached'};
    }
  }

  // ---- signing in and out ---------------------------------------------

  function signedIn(session) {
    state.session = session;
    document.body.dataset.role = session.role;
    setText($('who-name'), session.name);
    setText($('who-role'), session.role);
    show($('who'), true);
    show($('signin-section'), false);
    show($('loading'), false);
    show($('console'), true);
    say('');
    openEvents();
  }

  function signedOut(why) {
    closeEvents();
    state.session = null;
    delete document.body.dataset.role;
    show($('who'), false);
    show($('console'), false);
    show($('loading'), false);
    show($('signin-section'), true);
    $('signin-error').textContent = why || '';
    clearConsole();
    $('signin-name').focus();
  }

  function clearConsole() {
    state.rows.clear();
    $('encoders').tBodies[0].replaceChildren();
    $('producers').tBodies[0].replaceChildren();
    state.encoderNames = [];
    fillTargets([]);
    state.log = [];
    state.held = [];
    $('log').replaceChildren();
    updateLogCount();
    setText($('produced'), '');
    setText($('totals'), '');
    say('');
  }

  async function onSignIn(event) {
    event.preventDefault();
    const form = $('signin');
    const button = form.querySelector('button');
    const error = $('signin-error');
    error.textContent = '';
    button.disabled = true;
    try {
      const {response, answer} = await post('/console/signin', {
        name: $('signin-name').value,
        password: $('signin-password').value,
      });
      if (response.ok && answer.csrf) {
        $('signin-password').value = '';
        signedIn(answer);
      } else {
        error.textContent = errorText(response, answer);
        $('signin-password').select();
      }
    } catch {
      error.textContent = 'the console cannot be reached';
    } finally {
      button.disabled = false;
    }
  }

  async function onSignOut() {
    const button = $('signout');
    button.disabled = true;
    try {
      await post('/console/signout', {});
    } catch {
      // Signed out here either way; the session ends on the server when it lapses.
    } finally {
      button.disabled = false;
    }
    signedOut('');
  }

  // ---- the event stream -----------------------------------------------

  function openEvents() {
    closeEvents();
    const events = new EventSource('/console/events');
    state.events = events;
    events.addEventListener('open', () => {
      clearTimeout(state.stuckTimer);
      state.stuckTimer = 0;
      // The server repeats its recent lines on every connection.
      state.log = [];
      state.held = [];
      $('log').replaceChildren();
      updateLogCount();
      setLive('live');
    });
    events.addEventListener('status', (event) => {
      try {
        renderStatus(JSON.parse(event.data));
      } catch (err) {
        console.error('status event', err);
      }
    });
    events.addEventListener('log', (event) => {
      let line = event.data;
      try {
        line = JSON.parse(event.data);
      } catch {
        // Not JSON: the raw text is the line.
      }
      addLogLine(String(line));
    });
    events.addEventListener('error', () => {
      if (state.events !== events) return;
      if (events.readyState === EventSource.CONNECTING) {
        setLive('reconnecting');
        if (!state.stuckTimer) {
          state.stuckTimer = setTimeout(() => {
            state.stuckTimer = 0;
            if (state.events === events && events.readyState !== EventSource.OPEN) givenUp(events);
          }, kStuckMs);
        }
        return;
      }
      // Closed for good (a refusal such as 401): ask whether the session holds.
      givenUp(events);
    });
  }

  function givenUp(events) {
    setLive('offline');
    events.close();
    state.events = null;
    recheckAfterClose();
  }

  async function recheckAfterClose() {
    const {session, failure} = await checkSession();
    if (!state.session) return;
    if (session === null) {
      signedOut('Your session has ended; sign in again.');
      return;
    }
    if (session) state.session = session;
    if (failure) setLive('offline');
    clearTimeout(state.reopenTimer);
    state.reopenTimer = setTimeout(() => {
      if (state.session && !state.events) openEvents();
    }, kReopenMs);
  }

  function closeEvents() {
    clearTimeout(state.reopenTimer);
    clearTimeout(state.stuckTimer);
    state.stuckTimer = 0;
    if (state.events) state.events.close();
    state.events = null;
    setLive('');
  }

  function setLive(how) {
    const live = $('live');
    live.dataset.state = how;
    setText(live, {live: 'live', reconnecting: 'reconnecting\u2026', offline: 'not connected'}[how] || '');
  }

  // ---- status: encoders, producers, totals -----------------------------

  const kEncoderColumns = ['name', 'address', 'last-ps', 'last-rt', 'queue', 'state', 'confirms', 'actions'];

  function columnLabels(table) {
    return Array.from(table.tHead.rows[0].cells, (cell) => cell.textContent);
  }

  function renderStatus(status) {
    if (typeof status.title === 'string' && status.title) {
      setText($('title'), status.title);
      document.title = status.title + ' \u2013 console';
    }
    setText($('produced'), status.produced ? 'as of ' + status.produced : '');
    renderEncoders(Array.isArray(status.encoders) ? status.encoders : []);
    renderProducers(Array.isArray(status.producers) ? status.producers : []);
    renderTotals(status.totals || {});
  }

  function stateText(encoder) {
    if (encoder.state === 'off') return 'Off';
    if (encoder.state === 'suspended') {
      return encoder.suspendedUntil ? 'Suspended until ' + encoder.suspendedUntil : 'Suspended';
    }
    return 'Active';
  }

  function queueText(encoder) {
    const count = Number(encoder.queue) || 0;
    if (count > 0 && encoder.oldestSeconds != null) return `${count} (${encoder.oldestSeconds} s)`;
    return String(count);
  }

  // The buttons that make sense for an encoder in this state.
  function encoderActions(encoder) {
    const actions = [['clear', 'Clear']];
    if (encoder.state === 'suspended') actions.push(['resume', 'Resume']);
    else if (encoder.state !== 'off') actions.push(['suspend', 'Suspend']);
    actions.push(encoder.state === 'off' ? ['on', 'On'] : ['off', 'Off']);
    return actions;
  }

  function newEncoderRow(name, labels) {
    const row = element('tr', {className: 'encoder', dataset: {encoder: name}});
    kEncoderColumns.forEach((column, i) => {
      const cell = element('td', {className: column, dataset: {label: labels[i]}});
      if (column === 'queue') cell.classList.add('num');
      row.append(cell);
    });
    return row;
  }

  function renderEncoders(encoders) {
    const table = $('encoders');
    const body = table.tBodies[0];
    const labels = columnLabels(table);
    const mayAct = canOperate();
    const seen = new Set();
    encoders.forEach((encoder, index) => {
      const name = String(encoder.name ?? '');
      seen.add(name);
      let row = state.rows.get(name);
      if (!row) {
        row = newEncoderRow(name, labels);
        state.rows.set(name, row);
      }
      const cells = row.cells;
      setText(cells[0], name);
      setText(cells[1], encoder.port != null && encoder.port !== '' ? `${encoder.host ?? ''}:${encoder.port}` : encoder.host);
      setText(cells[2], encoder.lastPs);
      setText(cells[3], encoder.lastRt);
      setText(cells[4], queueText(encoder));
      setText(cells[5], stateText(encoder));
      setText(cells[6], encoder.confirms ? 'Yes' : 'No');
      row.dataset.state = encoder.state || 'active';
      row.dataset.queue = String(Number(encoder.queue) || 0);
      renderEncoderButtons(cells[7], name, mayAct ? encoderActions(encoder) : [], Number(encoder.queue) || 0);
      if (body.rows[index] !== row) body.insertBefore(row, body.rows[index] || null);
    });
    for (const [name, row] of state.rows) {
      if (!seen.has(name)) {
        row.remove();
        state.rows.delete(name);
      }
    }
    const names = encoders.map((encoder) => String(encoder.name ?? ''));
    if (names.join('\n') !== state.encoderNames.join('\n')) {
      state.encoderNames = names;
      fillTargets(names);
    }
  }

  // Keeps the buttons that stay (and their focus); a button whose action is
  // on its way stays disabled until the answer comes.
  function renderEncoderButtons(cell, name, actions, queue) {
    const wanted = actions.map(([action]) => action).join(' ');
    if (cell.dataset.actions !== wanted) {
      cell.dataset.actions = wanted;
      cell.replaceChildren(...actions.map(([action, label]) =>
        element('button', {type: 'button', className: 'action', dataset: {action, target: name}, text: label})));
    }
    const clear = cell.querySelector('button[data-action="clear"]');
    if (clear && !clear.dataset.busy) clear.disabled = queue === 0;
  }

  function fillTargets(names) {
    const select = $('send-target');
    const chosen = select.value;
    const options = [element('option', {value: '', text: 'Every encoder'})];
    for (const name of names) options.push(element('option', {value: name, text: name}));
    select.replaceChildren(...options);
    select.value = names.includes(chosen) ? chosen : '';
  }

  function renderProducers(producers) {
    const table = $('producers');
    const body = table.tBodies[0];
    const labels = columnLabels(table);
    const admin = isAdmin();
    const rows = producers.map((producer) => {
      const address = String(producer.address ?? '');
      const row = element('tr', {className: 'producer', dataset: {producer: address}},
        element('td', {className: 'address', dataset: {label: labels[0]}, text: address}),
        element('td', {className: 'connections num', dataset: {label: labels[1]}, text: String(producer.connections ?? '')}));
      if (admin) {
        row.append(element('td', {className: 'actions', dataset: {label: labels[2]}},
          element('button', {type: 'button', className: 'action', dataset: {action: 'refuse', target: address}, text: 'Refuse'})));
      }
      return row;
    });
    // Rebuilt whole unless nothing changed, so a button under the pointer
    // is not replaced by every status event.
    const signature = JSON.stringify(producers.map((p) => [p.address, p.connections])) + admin;
    if (body.dataset.signature !== signature) {
      body.dataset.signature = signature;
      body.replaceChildren(...rows);
    }
    show($('no-producers'), producers.length === 0);
  }

  function renderTotals(totals) {
    const parts = [
      ['queued', 'Queued'], ['delivered', 'delivered'], ['expired', 'expired'],
      ['failedSends', 'failed'], ['replaced', 'replaced'], ['cleared', 'cleared'],
    ].filter(([key]) => totals[key] != null).map(([key, label]) => `${label} ${totals[key]}`);
    setText($('totals'), parts.join(' \u00b7 '));
  }

  // ---- actions ----------------------------------------------------------

  function canOperate() {
    return !!state.session && (state.session.role === 'operator' || state.session.role === 'admin');
  }

  function isAdmin() {
    return !!state.session && state.session.role === 'admin';
  }

  function describe(action, target, text) {
    const to = target || 'every encoder';
    switch (action) {
      case 'send': return `Send ${text} to ${to}`;
      case 'refuse': return `Refuse ${target}`;
      case 'allow': return `Allow ${target}`;
      default: return `${action[0].toUpperCase()}${action.slice(1)} ${to}`;
    }
  }

  async function act(action, target, text, button) {
    const what = describe(action, target, text);
    if (button) {
      button.disabled = true;
      button.dataset.busy = '1';
    }
    say(what + '\u2026', 'pending');
    try {
      const body = {action, target};
      if (action === 'send') body.text = text;
      const {response, answer} = await post('/console/action', body);
      if (response.status === 401) return false;
      if (response.ok) {
        say(`${what}: ${answer.answer ?? 'done'}`, 'ok');
        return true;
      }
      say(`${what}: ${errorText(response, answer)}`, 'error');
    } catch {
      say(`${what}: the console cannot be reached`, 'error');
    } finally {
      if (button) {
        delete button.dataset.busy;
        button.disabled = false;
      }
    }
    return false;
  }

  function onTableClick(event) {
    const button = event.target.closest('button[data-action]');
    if (!button || button.disabled) return;
    act(button.dataset.action, button.dataset.target, '', button);
  }

  async function onSend(event) {
    event.preventDefault();
    const text = $('send-text');
    if (!text.value) return;
    const sent = await act('send', $('send-target').value, text.value, event.submitter || null);
    if (sent) text.value = '';
  }

  async function onAccess(event) {
    event.preventDefault();
    const action = event.submitter && event.submitter.dataset.action;
    const address = $('access-address').value.trim();
    if (!action || !address) return;
    if (await act(action, address, '', event.submitter)) $('access-address').value = '';
  }

  // ---- the log ----------------------------------------------------------

  function logFilter() {
    return $('log-filter').value.trim().toLowerCase();
  }

  function logLine(text, filter) {
    const line = element('div', {className: 'line', text});
    line.hidden = filter !== '' && !text.toLowerCase().includes(filter);
    return line;
  }

  function addLogLine(text) {
    if (state.paused) {
      state.held.push(text);
      if (state.held.length > kMaxLogLines) state.held.splice(0, state.held.length - kMaxLogLines);
      updateLogCount();
      return;
    }
    appendLog([text]);
  }

  function appendLog(lines) {
    const log = $('log');
    const atBottom = log.scrollHeight - log.scrollTop - log.clientHeight < 24;
    const filter = logFilter();
    state.log.push(...lines);
    log.append(...lines.map((text) => logLine(text, filter)));
    const extra = state.log.length - kMaxLogLines;
    if (extra > 0) {
      state.log.splice(0, extra);
      for (let i = 0; i < extra && log.firstChild; ++i) log.firstChild.remove();
    }
    if (atBottom) log.scrollTop = log.scrollHeight;
    updateLogCount();
  }

  function applyFilter() {
    const filter = logFilter();
    for (const line of $('log').children) {
      line.hidden = filter !== '' && !line.textContent.toLowerCase().includes(filter);
    }
    updateLogCount();
  }

  function onPause() {
    state.paused = !state.paused;
    const button = $('log-pause');
    button.setAttribute('aria-pressed', String(state.paused));
    if (!state.paused) {
      const held = state.held;
      state.held = [];
      if (held.length) appendLog(held);
    }
    updateLogCount();
  }

  function updateLogCount() {
    const shown = $('log').querySelectorAll('.line:not([hidden])').length;
    const total = state.log.length;
    let text = shown === total ? `${total} lines` : `${shown} of ${total} lines`;
    if (state.paused) text += ` \u00b7 ${state.held.length} held`;
    setText($('log-count'), text);
    const button = $('log-pause');
    setText(button, state.paused ? (state.held.length ? `Go on (${state.held.length} new)` : 'Go on') : 'Pause');
  }

  // ---- start --------------------------------------------------------------

  async function start() {
    $('signin').addEventListener('submit', onSignIn);
    $('signout').addEventListener('click', onSignOut);
    $('encoders').addEventListener('click', onTableClick);
    $('producers').addEventListener('click', onTableClick);
    $('send').addEventListener('submit', onSend);
    $('access').addEventListener('submit', onAccess);
    $('log-filter').addEventListener('input', applyFilter);
    $('log-filter').addEventListener('change', applyFilter);
    $('log-pause').addEventListener('click', onPause);
    updateLogCount();

    const {session, failure} = await checkSession();
    if (session) signedIn(session);
    else signedOut(failure ? 'The console is not available: ' + failure : '');
  }

  start();
})();
