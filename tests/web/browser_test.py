#!/usr/bin/env python3
"""browser_test.py BUILD_DIR: what a user does and sees in headless Chromium, against qva-web, the recorder on
the simulated card and the panel simulator in a sandbox (the server's own rules are in web_tests). Exit 0: passed;
1: failed; 77: skipped because the browser cannot start."""
import base64
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIP = 77
SYSTEM_PYTHON = '/usr/bin/python3'  # where Debian's python3-selenium lives

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
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
LOGO = base64.b64decode('iVBORw0KGgoAAAANSUhEUgAAAAQAAAACCAYAAAB/qH1jAAAAEklEQVR4nGN4Jif3HxkzoAsAACCNEQkDLuesAAAAAElFTkSuQmCC')
# The second drive's folder name carries markup: the page must show it as text.
DRIVES = ('USB1', '<b>USB2')
WAIT = 15  # seconds for anything the page or the box has to do


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, condition, timeout=WAIT, interval=0.1):
    end = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > end:
            raise Failure('timed out waiting for ' + what)
        time.sleep(interval)
    return value


class Box:
    """The sandbox and the three programs of the box, killed on close."""

    def __init__(self, build, source, root):
        self.build, self.root, self.processes = build, root, []
        # With this build's fonts, which the panel check reads back.
        subprocess.run([str(source / 'scripts/make-sandbox'), str(root), str(build)], check=True, timeout=60,
                       stdout=subprocess.DEVNULL)
        for drive in DRIVES:
            (root / 'media' / drive).mkdir()
        self.env = dict(os.environ, QVA_ROOT=str(root))
        self.env.pop('LD_LIBRARY_PATH', None)

    def spawn(self, name, program, *args, env=None):
        with open(self.root / (name + '.err'), 'wb') as log:
            self.processes.append(subprocess.Popen([str(self.build / program), *args], cwd=self.root,
                                                   env=env or self.env, stdin=subprocess.DEVNULL,
                                                   stdout=subprocess.DEVNULL, stderr=log))

    def start(self):
        self.spawn('panel-sim', 'qva-panel-sim', str(self.root))
        wait_for('the panel simulator',
                 lambda: (self.root / 'sim/buttons').exists() and (self.root / 'dev/picolcd').is_symlink())
        self.spawn('recorder', 'qva-recorder', env=dict(self.env, LD_LIBRARY_PATH=str(self.build / 'sim')))
        setting = subprocess.run([str(self.build / 'qva-web'), '--set-password'], input=(PASSWORD + '\n').encode(),
                                 env=self.env, cwd=self.root, timeout=30, capture_output=True)
        check(setting.returncode == 0, 'qva-web --set-password: ' + setting.stderr.decode(errors='replace'))
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            address = s.getsockname()
        self.base = 'http://%s:%d' % address
        self.spawn('web', 'qva-web', '--listen', self.base[len('http://'):])

        def listening():
            with socket.socket() as s:
                return s.connect_ex(address) == 0
        wait_for('qva-web', listening, interval=0.2)
        wait_for('the command socket', lambda: (self.root / 'tmp/domain_socket').exists(), timeout=30)

    def press(self, button):
        fd = os.open(self.root / 'sim/buttons', os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, (button + '\n').encode())
        os.close(fd)
        time.sleep(0.25)

    def errors(self):
        logs = {name: self.root / (name + '.err') for name in ('panel-sim', 'recorder', 'web')}
        return {name: log.read_text(errors='replace') for name, log in logs.items() if log.exists()}

    def close(self):
        for process in reversed(self.processes):
            process.kill()
            process.wait(timeout=10)


# The panel's drive list: the header's "REC" at x 232, y 9 and each drive's
# REC/STP at x 232 in rows 19, 28, ... The drive's cell shows recording when
# its pixels are the header's; None while the list is not on the panel.
def panel_shows_recording(box, position):
    lines = (box.root / 'sim/lcd.txt').read_text().splitlines() if (box.root / 'sim/lcd.txt').exists() else []
    header, cell = ([line[232:250] for line in lines[y:y + 8]] for y in (9, 19 + 9 * position))
    if len(lines) < 27 + 9 * position or not all(any('#' in row for row in part) for part in (header, cell)):
        return None
    return header == cell


def open_panel_drive_list(box):
    for _ in range(4):  # the panel reads its buttons a moment after it starts
        for button in ('HOME', 'DOWN', 'OK'):
            box.press(button)
        try:
            return wait_for('the panel\'s drive list', lambda: panel_shows_recording(box, 0) is not None, timeout=4)
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

    def find(self, element_id):
        return WebDriverWait(self.driver, WAIT).until(lambda d: d.find_element(By.ID, element_id),
                                                      'no element #' + element_id)

    def text(self, element_id):
        return self.find(element_id).text

    def quit(self):
        try:
            self.driver.quit()
        except Exception:  # a browser that does not answer: its driver goes
            self.driver.service.process.kill()


# The preview's pixels as the browser shows them, or None before a picture.
PREVIEW = '''
const img = document.getElementById('preview');
if (img.hidden || !img.complete || !img.naturalWidth) return null;
const c = document.createElement('canvas');
c.width = img.naturalWidth; c.height = img.naturalHeight;
c.getContext('2d').drawImage(img, 0, 0);
return c.toDataURL();
'''


# A change posted from the logged-in page by a script that lacks the session's token.
WITHOUT_TOKEN = '''
return fetch('/api/drives/rec', {method: 'POST', headers: {'Content-Type': 'application/json'},
                                 body: JSON.stringify({id: 'all'})}).then((response) => response.status);
'''


def run(box, b):
    # Log in: the status page sends an anonymous visitor to the login page.
    b.driver.get(box.base + '/')
    wait_for('the login page', lambda: '/login' in b.driver.current_url)
    b.find('login-password').send_keys(PASSWORD)
    b.find('login-submit').click()
    wait_for('the status page after login', lambda: b.driver.current_url.rstrip('/') == box.base)
    wait_for('the idle state', lambda: b.text('rec-word') == 'NOT RECORDING')
    shots = box.build / 'web-shots'  # for an operator's look at the pages
    shots.mkdir(exist_ok=True)

    # The file name and a logo from the settings page.
    b.driver.get(box.base + '/settings')
    wait_for('the settings filled in', lambda: b.find('set-filename').get_attribute('value') != '')
    b.find('set-filename').clear()
    b.find('set-filename').send_keys(FILE_NAME)
    b.find('save-recording').click()
    wait_for('the file name applied', lambda: b.text('recording-msg') == 'Applied.')
    (box.root.parent / 'logo.png').write_bytes(LOGO)
    b.find('logo-file').send_keys(str(box.root.parent / 'logo.png'))
    b.find('logo-upload').click()
    wait_for('the logo stored', lambda: 'stored' in b.text('logo-msg'))
    check((box.root / 'var/www/uploads/logo.png').read_bytes() == LOGO, 'the uploaded logo is not the stored one')
    b.driver.save_screenshot(str(shots / 'settings.png'))

    # The drives, their labels shown as the text they are.
    b.driver.get(box.base + '/drives')
    rows = wait_for('two drive rows', lambda: len(b.driver.find_elements(By.CSS_SELECTOR, '#drive-rows tr')) == 2
                    and b.driver.find_elements(By.CSS_SELECTOR, '#drive-rows tr'))
    shown = [row.find_element(By.CSS_SELECTOR, '.label').text for row in rows]
    check(sorted(shown) == sorted(DRIVES), 'drive labels shown: %r' % shown)
    position = shown.index('USB1')
    ids = [row.get_attribute('id')[len('drive-row-'):] for row in rows]

    # Record on USB1 from the page: the page and the panel both show it.
    open_panel_drive_list(box)
    check(panel_shows_recording(box, position) is False, 'the panel shows USB1 recording before it started')
    b.find('drive-rec-' + ids[position]).click()
    wait_for('USB1 marked as recording', lambda: b.text('drive-state-' + ids[position]) == 'RECORDING')
    wait_for('the panel to show USB1 recording', lambda: panel_shows_recording(box, position))
    wait_for('the bar\'s REC', lambda: b.text('rec-pill') == 'REC')
    b.driver.save_screenshot(str(shots / 'drives.png'))

    # The status page: recording, and a preview that moves.
    b.driver.get(box.base + '/')
    wait_for('the recording state', lambda: b.text('rec-word') == 'RECORDING')
    first = wait_for('a preview picture', lambda: b.driver.execute_script(PREVIEW))
    wait_for('the preview picture to change', lambda: (b.driver.execute_script(PREVIEW) or first) != first)
    wait_for('the file name the recorder reports', lambda: b.text('st-filename') == FILE_NAME)
    b.driver.save_screenshot(str(shots / 'status.png'))

    # A change without the session's token is refused.
    refused = b.driver.execute_script(WITHOUT_TOKEN)
    check(refused == 403, 'a POST without the token answered %r, not 403' % refused)

    # Stop, and the recording, under the name set, decodes.
    b.driver.get(box.base + '/drives')
    b.find('drive-stop-' + ids[position]).click()
    wait_for('USB1 stopped', lambda: b.text('drive-state-' + ids[position]) == 'STOPPED')
    files = sorted((box.root / 'media/USB1').glob(FILE_NAME + '*.ts'))
    check(len(files) == 1, 'recordings on USB1: %r' % sorted(f.name for f in (box.root / 'media/USB1').iterdir()))
    decode = subprocess.run(['ffmpeg', '-v', 'error', '-xerror', '-i', str(files[0]), '-f', 'null', '-'],
                            capture_output=True, text=True, timeout=120)
    check(decode.returncode == 0 and decode.stderr.strip() == '', 'the recording does not decode: ' + decode.stderr)


def main():
    build = Path(sys.argv[1]).resolve()
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
        box = Box(build, Path(__file__).resolve().parents[2], work / 'root')
        box.start()
        run(box, browser)
        box.close()
        # What a sanitizer build of the programs reported, if anything.
        reports = ['--- %s\n%s' % (name, text[-3000:]) for name, text in box.errors().items()
                   if 'Sanitizer' in text or 'runtime error:' in text]
        check(not reports, 'sanitizer reports:\n' + '\n'.join(reports))
        print('browser test passed')
        return 0
    except (Failure, WebDriverException, subprocess.SubprocessError, OSError) as e:
        print('FAIL: %s' % e)
        for name, text in box.errors().items() if box else ():
            print('--- %s (end of its standard error)\n%s' % (name, text[-1500:]))
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
