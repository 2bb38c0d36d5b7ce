// The settings page: each form sends only what the operator changed, after
// checking it here; the server checks everything again.
'use strict';
(() => {
  const $ = QVA.$;
  const LOGO_MAX_BYTES = 1024 * 1024;  // what the server takes
  const LOGO_MAX_SIDE = 4096;
  const PNG_SIGNATURE = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
  let status = null;
  const dirty = { capture: false, recording: false };

  // Forms follow the box until the operator starts editing them.
  for (const kind of ['input', 'change']) {
    $('capture-form').addEventListener(kind, () => { dirty.capture = true; });
    $('recording-form').addEventListener(kind, () => { dirty.recording = true; });
  }

  // The input modes of each standard, in the same order for both.
  const MODES = {
    pal: [['70616c20', '576i 50'], ['68703530', '720p 50'], ['48693530', '1080i 50']],
    ntsc: [['6e747363', '480i 59.94'], ['68703539', '720p 59.94'], ['48693539', '1080i 59.94']],
  };

  function showModes(pal, code) {
    const select = $('set-input');
    const modes = MODES[pal ? 'pal' : 'ntsc'];
    select.textContent = '';
    for (const [value, name] of modes) select.append(new Option(name, value));
    // Another standard's mode becomes this one's of the same size.
    const other = MODES[pal ? 'ntsc' : 'pal'].findIndex(([value]) => value === code);
    select.value = modes.some(([value]) => value === code) ? code : modes[Math.max(other, 0)][0];
  }

  $('set-pal').addEventListener('change', () => showModes($('set-pal').value === '1', $('set-input').value));

  function fillCapture(s) {
    $('set-pal').value = s.palMode ? '1' : '0';
    showModes(s.palMode, s.input ? s.input.code : '');
    $(s.downConvert ? 'set-sd' : 'set-hd').checked = true;
    $('set-audio-source').value = s.audio.source;
    $('set-composite').checked = !!s.composite;
  }

  function fillRecording(s) {
    $('set-audio-pair').value = String(s.audio.pair);
    $('set-tcb').value = String(s.tcBurnIn === 0 || s.tcBurnIn === 2 ? s.tcBurnIn : 1);
    $('set-logo').checked = !!s.logo;
    $('set-filename').value = s.fileName || '';
  }

  QVA.onStatus((s) => {
    const first = status === null;
    status = s;
    if (first || !dirty.capture) fillCapture(s);
    if (first || !dirty.recording) fillRecording(s);
    $('capture-lock').hidden = !s.recording;
    $('capture-fields').disabled = !!s.recording;
    $('clock-box').textContent = s.date + ' ' + s.time;
  });

  // --- Input and capture -------------------------------------------------

  // What the form asks for beyond the box's settings s, the standard left out.
  function captureChanges(s) {
    const change = {};
    const sd = $('set-sd').checked;
    if (!s.input || $('set-input').value !== s.input.code) change.input = $('set-input').value;
    if (sd !== s.downConvert) change.sd = sd;
    if ($('set-audio-source').value !== s.audio.source) change.audioSource = $('set-audio-source').value;
    if ($('set-composite').checked !== s.composite) change.composite = $('set-composite').checked;
    return change;
  }

  $('capture-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (!status) return;
    const pal = $('set-pal').value === '1';
    if (pal === status.palMode && Object.keys(captureChanges(status)).length === 0) {
      QVA.say($('capture-msg'), 'Nothing changed.', true);
      return;
    }
    // A new standard resets the input and the output, so it goes first and
    // the rest is measured against what the box then has.
    const done = await QVA.act($('save-capture'), $('capture-msg'), async () => {
      let now = status;
      if (pal !== now.palMode) {
        await QVA.post('/api/settings', { pal });
        now = await QVA.get('/api/status');
      }
      const change = captureChanges(now);
      if (Object.keys(change).length) await QVA.post('/api/settings', change);
    }, 'Applied. The capture restarts with the new settings.');
    if (done) dirty.capture = false;
  });

  // --- Recording -----------------------------------------------------------

  // What the recorder accepts as a file name: printable, none of the
  // characters drives or the box's reports cannot hold, at most 63 bytes.
  function fileNameProblem(name) {
    if (name === '') return 'Enter a file name.';
    if (new TextEncoder().encode(name).length > 63) return 'The file name is too long (at most 63 bytes).';
    if (name === '.' || name === '..') return 'That is not a file name.';
    if (/[\u0000-\u001f\u007f]/.test(name)) return 'The file name holds a control character.';
    const bad = name.match(/[\/\\"*:<>?|#;=]/);
    if (bad) return 'A file name cannot hold the character ' + bad[0];
    return null;
  }

  $('set-filename').addEventListener('input', () => {
    $('set-filename').setAttribute('aria-invalid', fileNameProblem($('set-filename').value) ? 'true' : 'false');
  });

  $('recording-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (!status) return;
    const change = {};
    const pair = Number($('set-audio-pair').value);
    const tcb = Number($('set-tcb').value);
    const name = $('set-filename').value.trim();
    if (pair !== status.audio.pair) change.audioPair = pair;
    if (tcb !== status.tcBurnIn) change.tcBurnIn = tcb;
    if ($('set-logo').checked !== status.logo) change.logo = $('set-logo').checked;
    if (name !== status.fileName) {
      const problem = fileNameProblem(name);
      if (problem) {
        QVA.say($('recording-msg'), problem, false);
        $('set-filename').focus();
        return;
      }
      change.fileName = name;
    }
    if (Object.keys(change).length === 0) {
      QVA.say($('recording-msg'), 'Nothing changed.', true);
      return;
    }
    const done = await QVA.act($('save-recording'), $('recording-msg'), () => QVA.post('/api/settings', change), 'Applied.');
    if (done) dirty.recording = false;
  });

  // --- Logo ----------------------------------------------------------------

  $('logo-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const file = $('logo-file').files[0];
    const msg = $('logo-msg');
    if (!file) return QVA.say(msg, 'Choose a PNG file first.', false);
    if (file.size === 0) return QVA.say(msg, 'The file is empty.', false);
    if (file.size > LOGO_MAX_BYTES) return QVA.say(msg, 'The file is too large (at most 1 MB).', false);
    const bytes = new Uint8Array(await file.arrayBuffer());
    if (!PNG_SIGNATURE.every((b, i) => bytes[i] === b)) return QVA.say(msg, 'That file is not a PNG picture.', false);
    // The image header follows the signature: width and height, big-endian.
    const header = new DataView(bytes.buffer);
    const width = bytes.length >= 24 ? header.getUint32(16) : 0, height = bytes.length >= 24 ? header.getUint32(20) : 0;
    if (!width || !height || width > LOGO_MAX_SIDE || height > LOGO_MAX_SIDE) {
      return QVA.say(msg, 'The picture must be at most 4096 pixels wide and high.', false);
    }
    const done = await QVA.act($('logo-upload'), msg,
                               () => QVA.request('POST', '/api/logo', { raw: bytes, type: 'image/png' }),
                               'Logo stored. It is used from the next picture on.');
    if (done) $('logo-file').value = '';
  });

  // --- Date and time -------------------------------------------------------

  const two = (n) => String(n).padStart(2, '0');
  const dateOf = (d) => d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate());
  function tick() {
    const now = new Date();
    $('clock-browser').textContent = dateOf(now) + ' ' + two(now.getHours()) + ':' + two(now.getMinutes()) + ':' + two(now.getSeconds());
    setTimeout(tick, 1000 - now.getMilliseconds());
  }
  tick();

  $('clock-set').addEventListener('click', () => {
    const now = new Date();
    const body = { date: dateOf(now), time: two(now.getHours()) + ':' + two(now.getMinutes()) };
    QVA.act($('clock-set'), $('clock-msg'), () => QVA.post('/api/clock', body), 'The box is set to ' + body.date + ' ' + body.time + '.');
  });

  // --- Network -------------------------------------------------------------

  function quad(text) {
    const m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(text);
    if (!m || m.slice(1).some((p) => p.length > 1 && p[0] === '0')) return null;
    const parts = m.slice(1).map(Number);
    if (parts.some((p) => p > 255)) return null;
    return ((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]) >>> 0;
  }

  // The first thing wrong with a fixed address, with the field it is in.
  function networkProblem(ip, mask, gateway) {
    const a = quad(ip), m = quad(mask), g = quad(gateway);
    if (a === null) return ['net-ip', 'The address is not of the form 192.168.1.50.'];
    if (m === null) return ['net-mask', 'The network mask is not of the form 255.255.255.0.'];
    if (g === null) return ['net-gateway', 'The gateway is not of the form 192.168.1.1.'];
    const inverted = (~m) >>> 0;
    if (m === 0 || (inverted & (inverted + 1)) !== 0 || inverted < 3) {
      return ['net-mask', 'The network mask must be a contiguous mask from 128.0.0.0 to 255.255.255.252.'];
    }
    const first = a >>> 24;
    if (first === 0 || first === 127 || first >= 224) return ['net-ip', 'That address cannot be the box\'s.'];
    if ((a & inverted) === 0 || (a & inverted) === inverted) return ['net-ip', 'The address is the network\'s own or its broadcast address.'];
    if (((a ^ g) & m) !== 0) return ['net-gateway', 'The gateway is not in the box\'s network.'];
    if (a === g) return ['net-gateway', 'The gateway cannot be the box\'s own address.'];
    if ((g & inverted) === 0 || (g & inverted) === inverted) return ['net-gateway', 'The gateway is the network\'s own or its broadcast address.'];
    return null;
  }

  function showNetMode() {
    $('net-fields').disabled = $('net-dhcp').checked;
  }
  $('net-dhcp').addEventListener('change', showNetMode);
  $('net-static').addEventListener('change', showNetMode);

  async function loadNetwork() {
    try {
      const n = await QVA.get('/api/network');
      $(n.dhcp ? 'net-dhcp' : 'net-static').checked = true;
      $('net-ip').value = n.ip || '';
      $('net-mask').value = n.mask || '';
      $('net-gateway').value = n.gateway || '';
      showNetMode();
    } catch (e) {
      QVA.say($('net-msg'), QVA.explain(e), false);
    }
  }

  $('net-form').addEventListener('submit', (event) => {
    event.preventDefault();
    for (const id of ['net-ip', 'net-mask', 'net-gateway']) $(id).setAttribute('aria-invalid', 'false');
    let body;
    if ($('net-dhcp').checked) {
      body = { dhcp: true };
    } else if ($('net-static').checked) {
      const ip = $('net-ip').value.trim(), mask = $('net-mask').value.trim(), gateway = $('net-gateway').value.trim();
      const problem = networkProblem(ip, mask, gateway);
      if (problem) {
        $(problem[0]).setAttribute('aria-invalid', 'true');
        $(problem[0]).focus();
        return QVA.say($('net-msg'), problem[1], false);
      }
      body = { dhcp: false, ip, mask, gateway };
    } else {
      return QVA.say($('net-msg'), 'Choose automatic or a fixed address.', false);
    }
    QVA.act($('net-save'), $('net-msg'), () => QVA.post('/api/network', body), 'Network settings applied.');
  });

  // --- Web access and password ---------------------------------------------

  $('web-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const readsOpen = $('web-reads-open').checked;
    QVA.act($('web-save'), $('web-msg'), () => QVA.post('/api/web-settings', { readsOpen }),
            readsOpen ? 'Status and drives can now be viewed without logging in.' : 'Viewing now needs a login.');
  });

  $('pw-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const old = $('pw-old').value, next = $('pw-new').value;
    const msg = $('pw-msg');
    if (!old) return QVA.say(msg, 'Enter the current password.', false);
    if (next.length < 8) return QVA.say(msg, 'The new password needs at least 8 characters.', false);
    if (next !== $('pw-new2').value) return QVA.say(msg, 'The two new passwords differ.', false);
    const done = await QVA.act($('pw-save'), msg, () => QVA.post('/api/password', { old, new: next }), 'Password changed.');
    if (done) for (const id of ['pw-old', 'pw-new', 'pw-new2']) $(id).value = '';
  });

  QVA.start().then((ok) => {
    if (!ok) return;
    $('web-reads-open').checked = !!QVA.session.readsOpen;
    loadNetwork();
  });
})();
