#!/usr/bin/env python3
"""The web front end in a real browser: headless Chromium through Selenium,
against qva-web, the recorder on the simulated card and the panel simulator,
all in a sandbox of their own.

    browser_test.py BUILD_DIR

Exit 0: passed; 1: failed; 77: skipped because the browser cannot start.
Screenshots go to BUILD_DIR/web-shots/.
"""
import base64
import http.cookiejar
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zlib
from pathlib import Path

SKIP = 77
SYSTEM_PYTHON = '/usr/bin/python3'  # where Debian's python3-selenium lives

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    # Another python3 first on PATH (pyenv, a venv) lacks the Debian module.
    if os.path.exists(SYSTEM_PYTHON) and os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) \
            and not os.environ.get('QVA_BROWSER_TEST_REEXEC'):
        os.environ['QVA_BROWSER_TEST_REEXEC'] = '1'
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print('SKIP: python3-selenium is not installed, so no browser can be driven')
    sys.exit(SKIP)

PASSWORD = 'browser-test-pw'
FILE_NAME = 'web-take'
WAIT = 15  # seconds for anything the page or the box has to do


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, condition, timeout=WAIT, interval=0.1):
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure('timed out waiting for ' + what)
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def small_png(width, height):
    """An RGBA PNG: a red frame with a half-transparent white inside."""
    rows = b''
    for y in range(height):
        rows += b'\0'
        for x in range(width):
            edge = x < 2 or y < 2 or x >= width - 2 or y >= height - 2
            rows += bytes((230, 30, 30, 255) if edge else (255, 255, 255, 128))

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


class Box:
    """The sandbox and the three programs of the box, killed on close."""

    def __init__(self, build, source, root):
        self.build, self.root = build, root
        self.processes = []
        # With this build's fonts, which the panel check reads back.
        subprocess.run([str(source / 'scripts/make-sandbox'), str(root), str(build)], check=True, timeout=60,
                       stdout=subprocess.DEVNULL)
        for drive in ('USB1', 'USB2'):
            (root / 'media' / drive).mkdir()
        self.env = dict(os.environ, QVA_ROOT=str(root))
        self.env.pop('LD_LIBRARY_PATH', None)

    def spawn(self, name, argv, env=None):
        log = open(self.root / (name + '.err'), 'wb')
        process = subprocess.Popen(argv, cwd=self.root, env=env or self.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=log)
        log.close()
        self.processes.append((name, process))
        return process

    def start(self, port):
        self.spawn('panel-sim', [str(self.build / 'qva-panel-sim'), str(self.root)])
        wait_for('the panel simulator',
                 lambda: (self.root / 'sim/buttons').exists() and (self.root / 'dev/picolcd').is_symlink())
        self.spawn('recorder', [str(self.build / 'qva-recorder')],
                   dict(self.env, LD_LIBRARY_PATH=str(self.build / 'sim')))
        wait_for('the command socket', lambda: self.ask('GET#INFO#').startswith('INFO#'), timeout=30, interval=0.2)
        setting = subprocess.run([str(self.build / 'qva-web'), '--set-password'], input=(PASSWORD + '\n').encode(),
                                 env=self.env, cwd=self.root, timeout=30, capture_output=True)
        check(setting.returncode == 0, 'qva-web --set-password: ' + setting.stderr.decode(errors='replace'))
        self.spawn('web', [str(self.build / 'qva-web'), '--listen', '127.0.0.1:%d' % port])
        self.base = 'http://127.0.0.1:%d' % port

        def answers():
            try:
                with urllib.request.urlopen(self.base + '/api/session', timeout=2) as r:
                    return r.status == 200
            except (OSError, urllib.error.URLError):
                return False
        wait_for('qva-web', answers, interval=0.2)

    def process(self, name):
        return next(process for n, process in self.processes if n == name)

    def ask(self, request):
        """One request on the command socket; '' when it does not answer."""
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(5)
                s.connect(str(self.root / 'tmp/domain_socket'))
                s.sendall((request + '\r\n').encode())
                reply = b''
                while True:
                    chunk = s.recv(4096)
                    if not chunk:
                        return reply.decode(errors='replace')
                    reply += chunk
        except OSError:
            return ''

    def info(self):
        text = self.ask('GET#INFO#')
        fields = text.split('#', 3)[-1] if text.count('#') >= 3 else ''
        return dict(part.split('=', 1) for part in fields.split(';') if '=' in part)

    def drives(self):
        """Label -> recording, from GET#USB#."""
        result = {}
        for entry in self.ask('GET#USB#').split('#USB#')[1:]:
            fields = dict(part.split('=', 1) for part in entry.split('#', 1)[-1].split(';') if '=' in part)
            result[fields.get('label')] = fields.get('rec') == '1'
        return result

    def press(self, button):
        fd = os.open(self.root / 'sim/buttons', os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, (button + '\n').encode())
        finally:
            os.close(fd)
        time.sleep(0.25)

    def screen(self):
        try:
            return (self.root / 'sim/lcd.txt').read_text().splitlines()
        except OSError:
            return []

    def logs(self):
        text = ''
        for name, _ in self.processes:
            try:
                tail = (self.root / (name + '.err')).read_text(errors='replace')[-1500:]
            except OSError:
                tail = ''
            text += '--- %s (end of its standard error)\n%s\n' % (name, tail)
        return text

    def sanitizer_reports(self):
        """What a sanitizer build of the programs reported, if anything."""
        found = ''
        for name, _ in self.processes:
            try:
                text = (self.root / (name + '.err')).read_text(errors='replace')
            except OSError:
                continue
            if 'Sanitizer' in text or 'runtime error:' in text:
                found += '--- %s\n%s\n' % (name, text[-3000:])
        return found

    def close(self):
        for _, process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass


# The panel's drive list: the header's "REC" at x 232, y 9 and each drive's
# REC/STP at x 232 in rows 19, 28, ... The drive's cell shows recording when
# its pixels are the header's.
def panel_cell(lines, y):
    return [line[232:250] for line in lines[y:y + 8]] if len(lines) >= y + 8 else None


def panel_shows_recording(box, position):
    lines = box.screen()
    header, cell = panel_cell(lines, 9), panel_cell(lines, 19 + 9 * position)
    if not header or not cell or not any('#' in row for row in cell):
        return None
    return header == cell


def open_panel_drive_list(box):
    def shown():
        lines = box.screen()
        header = panel_cell(lines, 9)
        return header and any('#' in row for row in header) and panel_shows_recording(box, 0) is not None
    for _ in range(4):  # the panel reads its buttons a moment after it starts
        for button in ('HOME', 'DOWN', 'OK'):
            box.press(button)
        try:
            return wait_for('the panel\'s drive list', shown, timeout=4)
        except Failure:
            continue
    raise Failure('the panel never showed its drive list')


class Browser:
    def __init__(self, profile):
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for arg in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                    '--disable-background-networking', '--disable-component-update', '--disable-sync',
                    '--disable-dev-shm-usage', '--window-size=1280,900', '--user-data-dir=' + str(profile)):
            options.add_argument(arg)
        service = Service(executable_path='/usr/bin/chromedriver', log_path=os.devnull)
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_page_load_timeout(WAIT)
        self.driver.set_script_timeout(WAIT)

    def open(self, url):
        self.driver.get(url)

    def find(self, element_id):
        return WebDriverWait(self.driver, WAIT).until(lambda d: d.find_element(By.ID, element_id),
                                                      'no element #' + element_id)

    def text(self, element_id):
        return self.find(element_id).text

    def until(self, what, condition):
        try:
            return WebDriverWait(self.driver, WAIT, poll_frequency=0.1).until(lambda d: condition())
        except TimeoutException:
            raise Failure('timed out waiting for ' + what) from None

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def shot(self, path):
        """The whole page, not only the window."""
        size = self.driver.execute_cdp_cmd('Page.getLayoutMetrics', {})['cssContentSize']
        picture = self.driver.execute_cdp_cmd('Page.captureScreenshot', {
            'format': 'png', 'captureBeyondViewport': True,
            'clip': {'x': 0, 'y': 0, 'width': size['width'], 'height': size['height'], 'scale': 1}})
        path.write_bytes(base64.b64decode(picture['data']))

    def phone(self, on):
        if on:
            self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                                        {'width': 390, 'height': 844, 'deviceScaleFactor': 2, 'mobile': True})
        else:
            self.driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})

    def quit(self):
        try:
            self.driver.quit()
        except Exception:
            process = getattr(self.driver.service, 'process', None)
            if process and process.poll() is None:
                process.kill()


# A fingerprint of the preview as the browser shows it, or None before one.
PREVIEW_PRINT = '''
const img = document.getElementById('preview');
if (img.hidden || !img.complete || !img.naturalWidth) return null;
const c = document.createElement('canvas');
c.width = img.naturalWidth; c.height = img.naturalHeight;
const g = c.getContext('2d');
g.drawImage(img, 0, 0);
const data = g.getImageData(0, 0, c.width, c.height).data;
let h = 2166136261;
for (let i = 0; i < data.length; i += 3) h = Math.imul(h ^ data[i], 16777619);
return c.width + 'x' + c.height + ':' + (h >>> 0);
'''


def post_without_token(base):
    """Logs in outside the browser, then POSTs a change without the token."""
    jar = http.cookiejar.CookieJar()
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))

    def post(path, body, headers=None):
        request = urllib.request.Request(base + path, data=json.dumps(body).encode(), method='POST',
                                         headers=dict({'Content-Type': 'application/json'}, **(headers or {})))
        try:
            with opener.open(request, timeout=10) as r:
                return r.status
        except urllib.error.HTTPError as e:
            return e.code
    check(post('/api/login', {'password': PASSWORD}) == 200, 'the script could not log in')
    check(any(c.name == 'qva_session' for c in jar), 'the login set no qva_session cookie')
    return post('/api/settings', {'fileName': 'no-token'}), post('/api/drives/rec', {'id': 'all'})


def run(box, browser, shots):
    b = browser
    # Log in: the status page sends an anonymous visitor to the login page.
    b.open(box.base + '/')
    b.until('the login page', lambda: '/login' in b.driver.current_url)
    b.find('login-password').send_keys('wrong-password')
    b.find('login-submit').click()
    b.until('the wrong password refused', lambda: b.text('login-error') != '')
    b.find('login-password').clear()
    b.find('login-password').send_keys(PASSWORD)
    b.find('login-submit').click()
    b.until('the status page after login', lambda: b.driver.current_url.rstrip('/') == box.base)
    b.until('the idle state', lambda: b.text('rec-word') == 'NOT RECORDING')

    # The two drives.
    b.open(box.base + '/drives')
    rows = b.until('two drive rows', lambda: len(b.driver.find_elements(By.CSS_SELECTOR, '#drive-rows tr')) == 2
                   and b.driver.find_elements(By.CSS_SELECTOR, '#drive-rows tr'))
    labels = [row.get_attribute('data-label') for row in rows]
    check(sorted(labels) == ['USB1', 'USB2'], 'drives shown: %r' % labels)
    position = labels.index('USB1')
    drive_id = rows[position].get_attribute('id')[len('drive-row-'):]

    # The file name, from the settings page, as the recorder reports it.
    b.open(box.base + '/settings')
    b.until('the settings filled in', lambda: b.find('set-filename').get_attribute('value') != '')
    name = b.find('set-filename')
    name.clear()
    name.send_keys(FILE_NAME)
    b.find('save-recording').click()
    b.until('the file name applied', lambda: b.text('recording-msg') == 'Applied.')
    wait_for('the file name in GET#INFO#', lambda: box.info().get('filename') == FILE_NAME)

    # A logo: stored where the recorder reads it.
    logo = small_png(48, 24)
    logo_path = box.root.parent / 'logo-upload.png'
    logo_path.write_bytes(logo)
    b.find('logo-file').send_keys(str(logo_path))
    b.find('logo-upload').click()
    b.until('the logo stored', lambda: 'stored' in b.text('logo-msg') or 'error' in b.find('logo-msg').get_attribute('class'))
    check('stored' in b.text('logo-msg'), 'logo refused: ' + b.text('logo-msg'))
    check((box.root / 'var/www/uploads/logo.png').read_bytes() == logo, 'the uploaded logo is not the stored one')

    # Record on USB1 from the page: the page and the panel both show it.
    open_panel_drive_list(box)
    check(panel_shows_recording(box, position) is False, 'the panel shows USB1 recording before it started')
    b.open(box.base + '/drives')
    b.find('drive-rec-' + drive_id).click()
    b.until('USB1 marked as recording', lambda: b.text('drive-state-' + drive_id) == 'RECORDING')
    check('recording' in b.find('drive-row-' + drive_id).get_attribute('class'), 'the row is not marked')
    b.until('the bar\'s REC', lambda: b.text('rec-pill') == 'REC')
    wait_for('the panel to show USB1 recording', lambda: panel_shows_recording(box, position))
    other = 1 - position
    check(panel_shows_recording(box, other) is False, 'the panel shows USB2 recording too')
    b.shot(shots / 'drives.png')
    b.phone(True)
    b.shot(shots / 'drives-phone.png')
    b.phone(False)

    # The status page: recording, and a preview that moves.
    b.open(box.base + '/')
    b.until('the recording state', lambda: b.text('rec-word') == 'RECORDING')
    check('USB1' in b.text('rec-detail'), 'the status does not say where: ' + b.text('rec-detail'))
    b.until('the file name on the status page', lambda: b.text('st-filename') == FILE_NAME)
    first = b.until('a preview picture', lambda: b.js(PREVIEW_PRINT))
    b.until('the preview picture to change', lambda: (b.js(PREVIEW_PRINT) or first) != first)
    b.until('the meters to show a level', lambda: b.text('meter-left-value') not in ('–', '-∞'))
    b.shot(shots / 'status.png')
    b.phone(True)
    b.shot(shots / 'status-phone.png')
    b.phone(False)

    b.open(box.base + '/settings')
    b.until('the capture settings locked while recording', lambda: b.find('capture-lock').is_displayed())
    b.shot(shots / 'settings.png')
    b.phone(True)
    b.shot(shots / 'settings-phone.png')
    b.phone(False)

    # Changes without the session's token are refused, and change nothing.
    refused = post_without_token(box.base)
    check(refused == (403, 403), 'POSTs without the token answered %r, not 403' % (refused,))
    check(box.info().get('filename') == FILE_NAME, 'a change without the token was applied')
    check(box.drives() == {'USB1': True, 'USB2': False}, 'without the token: %r' % box.drives())

    # Stop, and the recording decodes.
    b.open(box.base + '/drives')
    b.find('drive-stop-' + drive_id).click()
    b.until('USB1 stopped', lambda: b.text('drive-state-' + drive_id) == 'STOPPED')
    wait_for('the panel to show USB1 stopped', lambda: panel_shows_recording(box, position) is False)
    files = sorted((box.root / 'media/USB1').glob(FILE_NAME + '*.ts'))
    check(len(files) == 1, 'recordings on USB1: %r' % [f.name for f in (box.root / 'media/USB1').iterdir()])
    probe = subprocess.run(['ffprobe', '-v', 'error', '-show_entries', 'stream=codec_type:format=duration',
                            '-of', 'json', str(files[0])], capture_output=True, text=True, timeout=60)
    check(probe.returncode == 0, 'ffprobe: ' + probe.stderr)
    info = json.loads(probe.stdout)
    kinds = sorted(s['codec_type'] for s in info['streams'])
    check(kinds == ['audio', 'video'], 'streams: %r' % kinds)
    check(float(info['format']['duration']) >= 1.0, 'the recording lasts %s s' % info['format']['duration'])
    decode = subprocess.run(['ffmpeg', '-v', 'error', '-xerror', '-i', str(files[0]), '-f', 'null', '-'],
                            capture_output=True, text=True, timeout=120)
    check(decode.returncode == 0 and decode.stderr.strip() == '', 'the recording does not decode: ' + decode.stderr)

    # A recorder that stops answering is said so on the page, which recovers with it.
    b.open(box.base + '/')
    b.until('the status page', lambda: b.text('rec-word') == 'NOT RECORDING')
    recorder = box.process('recorder')
    recorder.send_signal(signal.SIGSTOP)
    try:
        b.until('"recorder not answering"', lambda: 'not answering' in b.text('banner'))
    finally:
        recorder.send_signal(signal.SIGCONT)
    b.until('the banner gone again', lambda: not b.find('banner').is_displayed())


def main():
    if len(sys.argv) != 2:
        print('usage: browser_test.py BUILD_DIR', file=sys.stderr)
        return 2
    build = Path(sys.argv[1]).resolve()
    source = Path(__file__).resolve().parents[2]
    shots = build / 'web-shots'
    shots.mkdir(exist_ok=True)
    # A last guard: whatever hangs, the test ends and cleans up.
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(Failure('the whole test took too long')))
    signal.alarm(170)

    work = Path(tempfile.mkdtemp(prefix='qva-web-browser-'))
    box = browser = None
    try:
        try:
            browser = Browser(work / 'chromium-profile')
        except WebDriverException as e:
            print('SKIP: the browser cannot start: %s' % str(e).strip().splitlines()[0])
            return SKIP
        (work / 'root').mkdir()
        box = Box(build, source, work / 'root')
        box.start(free_port())
        started = time.monotonic()
        run(box, browser, shots)
        box.close()
        reports = box.sanitizer_reports()
        check(not reports, 'sanitizer reports:\n' + reports)
        print('browser test passed in %.1f s; screenshots in %s' % (time.monotonic() - started, shots))
        return 0
    except (Failure, WebDriverException, subprocess.SubprocessError, OSError) as e:
        print('FAIL: %s' % e)
        if box:
            print(box.logs())
        return 1
    finally:
        signal.alarm(0)
        if browser:
            browser.quit()
        if box:
            box.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
