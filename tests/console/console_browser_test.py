#!/usr/bin/env python3
"""The operator console in headless Chromium against the real program: sign-in,
sending, live rows through a suspension, the log, the layout at a desk's and a
phone's width, a viewer's limits, a forged cross-site post, a wrong password.
Exit 0: passed; 77: Chromium, chromedriver or Selenium missing; else failed."""
import argparse, http.server, json, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time
import urllib.error, urllib.request

SKIP = 77
WAIT = 15  # seconds, for any one thing to show up
CHROMIUM = shutil.which('chromium') or '/usr/bin/chromium'
CHROMEDRIVER = shutil.which('chromedriver') or '/usr/bin/chromedriver'
try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    # Debian's module lives with Debian's interpreter, which may not be the first python3 on the path.
    if os.path.exists('/usr/bin/python3') and os.path.realpath(sys.executable) != os.path.realpath('/usr/bin/python3'):
        os.execv('/usr/bin/python3', ['/usr/bin/python3'] + sys.argv)
    print('SKIP: python3-selenium is not installed')
    sys.exit(SKIP)

USERS = [('alice', 'operator'), ('vera', 'viewer'), ('adam', 'admin')]
PASSWORD = 'secret'
MARKUP_NAME = '<b>Spare</b>'  # an encoder name that must stay text
BUTTONS = {'active': ['clear', 'off', 'suspend'], 'suspended': ['clear', 'off', 'resume'], 'off': ['clear', 'on']}


def free_port(host='127.0.0.1'):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for(what, check, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if value := check():
            return value
        time.sleep(0.1)
    raise AssertionError('timed out waiting for ' + what)


class Rig:
    """An encoder simulator (Studio A) and varnok in a folder of its own; Studio B dials a closed port."""

    def __init__(self):
        self.procs, self.output = [], []

    def start(self, args, tmp):
        self.sim_file, ready = os.path.join(tmp, 'sim.out'), os.path.join(tmp, 'sim.port')
        self.procs.append(subprocess.Popen([args.sim, '--port', '0', '--out', self.sim_file, '--ready-file', ready,
                                            '--print', 'none'], stdout=subprocess.DEVNULL))
        sim_port = wait_for('the simulator', lambda: os.path.exists(ready) and open(ready).read().strip())
        self.base = f'http://127.0.0.1:{free_port()}'
        station = os.path.join(tmp, 'Station')
        os.mkdir(station)
        binary = shutil.copy2(args.varnok, station)
        with open(os.path.join(station, 'varnok.ini'), 'w') as ini:
            ini.write(f'[General]\nEncoderCount=3\nErrorLimit=1\nSuspendForMinutes=60\n[Inputs]\n'
                      f'ListenOnPort={free_port()}\n[Status]\nHttpPort={self.base.rsplit(":", 1)[1]}\n'
                      f'[Encoder1]\nName=Studio A\nHost=127.0.0.1\nPort={sim_port}\n'
                      f'[Encoder2]\nName=Studio B\nHost=127.0.0.1\nPort={free_port()}\n'
                      f'[Encoder3]\nName={MARKUP_NAME}\nHost=127.0.0.1\nPort={free_port()}\nEnabled=0\n')
        for name, role in USERS:
            subprocess.run([binary, '--add-user', name, role], cwd=station, input=PASSWORD + '\n', text=True,
                           check=True, timeout=20, capture_output=True)
        assert os.stat(os.path.join(station, 'varnok.users')).st_mode & 0o777 == 0o600
        os.mkdir(os.path.join(tmp, 'run'), 0o700)
        env = dict(os.environ, VARNOK_HEADLESS='1', XDG_RUNTIME_DIR=os.path.join(tmp, 'run'), HOME=tmp)
        varnok = subprocess.Popen([binary], cwd=station, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, errors='replace')
        self.procs.append(varnok)
        threading.Thread(target=self.read, args=(varnok.stdout,), daemon=True).start()
        wait_for('the status page', lambda: any('Status page on http://' in line for line in self.output))

    def read(self, stdout):
        for line in stdout:
            self.output.append(line)

    def received(self):
        return open(self.sim_file, 'rb').read().decode('latin-1') if os.path.exists(self.sim_file) else ''

    def queued(self):
        with urllib.request.urlopen(self.base + '/status', timeout=5) as r:
            return json.load(r)['totals']['queued']

    def post_action(self, cookie, csrf, origin, body):
        request = urllib.request.Request(self.base + '/console/action', json.dumps(body).encode(), method='POST', headers={
            'Content-Type': 'application/json', 'Cookie': cookie, 'X-CSRF-Token': csrf, 'Origin': origin})
        try:
            with urllib.request.urlopen(request, timeout=5) as r:
                return r.status
        except urllib.error.HTTPError as e:
            return e.code

    def stop(self):
        for p in self.procs:
            p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


class Console:
    """The page as an operator sees it, in a browser of the test's own."""

    def __init__(self, tmp, base):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
                    '--window-size=1280,800', '--user-data-dir=' + os.path.join(tmp, 'profile')):
            options.add_argument(arg)
        env = dict(os.environ, HOME=tmp, XDG_CONFIG_HOME=os.path.join(tmp, 'config'),
                   XDG_CACHE_HOME=os.path.join(tmp, 'cache'))
        self.d, self.base = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options), base
        self.d.set_page_load_timeout(WAIT)
        self.d.set_script_timeout(WAIT)

    def until(self, what, check):
        try:
            return WebDriverWait(self.d, WAIT, poll_frequency=0.1).until(lambda _: check())
        except TimeoutException:
            raise AssertionError('timed out waiting for ' + what) from None

    def find(self, css):
        return self.d.find_element(By.CSS_SELECTOR, css)

    def visible(self, css):
        return [e for e in self.d.find_elements(By.CSS_SELECTOR, css) if e.is_displayed()]

    def cell(self, encoder, column):
        return self.find(f'tr[data-encoder="{encoder}"] .{column}').text

    def buttons(self, encoder):
        return sorted(b.get_attribute('data-action') for b in self.visible(f'tr[data-encoder="{encoder}"] button'))

    def sign_in(self, name, password=PASSWORD, rows=True):
        self.until('the sign-in form', lambda: self.visible('#signin-name'))
        for field, value in (('#signin-name', name), ('#signin-password', password)):
            self.find(field).clear()
            self.find(field).send_keys(value)
        self.find('#signin button').click()
        if rows:
            self.until('the encoder rows', lambda: len(self.visible('tr[data-encoder]')) == 3)

    def sign_out(self):
        self.find('#signout').click()
        self.until('the sign-in form', lambda: self.visible('#signin-name'))

    def send(self, target, text):
        Select(self.find('#send-target')).select_by_visible_text(target)
        self.find('#send-text').send_keys(text)
        self.find('#send button').click()
        self.until('the answer to ' + text, lambda: text in self.find('#message').text
                   and 'queued' in self.find('#message').text)

    def log(self):
        """Every line of the log and whether it shows, read at one moment."""
        return self.d.execute_script("return [...document.querySelectorAll('#log .line')]"
                                     ".map((e) => [e.textContent, !e.hidden && !!e.offsetParent]);")

    def fetch_action(self, with_token, body):
        """The status of an action posted from the page's own context, with its session's token or none."""
        return self.d.execute_async_script('''const [withToken, body, done] = arguments;
            fetch('/console/session').then((r) => r.json()).then((s) => fetch('/console/action', {method: 'POST',
              headers: Object.assign({'Content-Type': 'application/json'}, withToken ? {'X-CSRF-Token': s.csrf} : {}),
              body: JSON.stringify(body)})).then((r) => done(r.status), (e) => done(String(e)));''', with_token, body)


class ForgedPage(http.server.BaseHTTPRequestHandler):
    """Another site's page that posts a send to the console as it loads; text/plain's name=value reads as JSON."""
    target = ''

    def do_GET(self):
        page = ('<!DOCTYPE html><form method="post" enctype="text/plain" action="%s"><input type="hidden" name=\''
                '{"action":"send","target":"Studio A","text":"RT1=FORGED","x":"\' value=\'"}\'></form>'
                '<script>document.forms[0].submit()</script>' % self.target).encode()
        self.send_response(200)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Length', str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def log_message(self, *args):
        pass


def steps(rig, page, out):
    d = page.d
    d.get(rig.base + '/console')
    page.sign_in('alice')
    assert (page.find('#who-name').text, page.find('#who-role').text) == ('alice', 'operator')
    assert page.cell(MARKUP_NAME, 'name') == MARKUP_NAME and not d.find_elements(By.CSS_SELECTOR, '#console b')
    assert MARKUP_NAME in [o.text for o in Select(page.find('#send-target')).options]
    d.execute_script('window.sameDocument = true')

    page.send('Studio A', 'PS=CONSOLE')
    wait_for('PS=CONSOLE at Studio A', lambda: 'PS=CONSOLE' in rig.received())
    # Studio B's one failed dial suspends it, with the command still waiting.
    page.send('Studio B', 'RT1=Held')
    page.until('Studio B suspended', lambda: page.cell('Studio B', 'state').startswith('Suspended until ')
               and page.cell('Studio B', 'queue').startswith('1'))
    for encoder, state in (('Studio A', 'active'), ('Studio B', 'suspended'), (MARKUP_NAME, 'off')):
        assert page.buttons(encoder) == BUTTONS[state], (encoder, page.buttons(encoder))
    for action, column, shows in (('clear', 'queue', '0'), ('resume', 'state', 'Active')):
        page.find(f'tr[data-encoder="Studio B"] button[data-action="{action}"]').click()
        page.until(f'Studio B {column} {shows}', lambda: page.cell('Studio B', column) == shows)
    assert d.execute_script('return window.sameDocument === true'), 'the page was reloaded'

    # The log's filter ignores case; paused, new lines are held until it goes on.
    lines = page.until('log lines', page.log)
    word = next((w for line, _ in lines for w in line.split() if w.isalpha() and len(w) > 3
                 and not all(w.lower() in l.lower() for l, _ in lines)), None)
    assert word, lines
    page.find('#log-filter').send_keys(word.swapcase())
    page.until('the filtered log', lambda: all(shown == (word.lower() in line.lower()) for line, shown in page.log()))
    page.find('#log-filter').clear()
    page.until('the whole log', lambda: all(shown for _, shown in page.log()))
    page.find('#log-pause').click()
    before = len(page.log())
    page.send('Studio A', 'PS=PAUSED')
    page.until('a line held', lambda: '(' in page.find('#log-pause').text)
    assert len(page.log()) == before
    page.find('#log-pause').click()
    page.until('the held lines', lambda: len(page.log()) > before)

    for width, shot in ((1280, 'console.png'), (390, 'console-390.png')):
        d.set_window_size(width, 800)
        page.until(f'the page to fit {width} px', lambda: d.execute_script(
            'const e = document.documentElement; return innerWidth == arguments[0] && e.scrollWidth <= e.clientWidth;',
            width))
        d.execute_script('window.scrollTo(0, 0)')
        d.save_screenshot(os.path.join(out, shot))
    d.set_window_size(1280, 800)

    page.sign_out()
    page.sign_in('vera')
    assert not page.visible('button[data-action]') and not page.visible('#send'), 'a viewer is offered actions'
    assert page.fetch_action(True, {'action': 'clear', 'target': 'Studio A'}) == 403

    # A signed-in operator's browser opens another site's page that posts to the console.
    page.sign_out()
    page.sign_in('alice')
    assert page.fetch_action(False, {'action': 'clear', 'target': 'Studio A'}) == 403, 'no token, yet accepted'
    cookie = 'varnok_session=' + d.get_cookie('varnok_session')['value']
    csrf = d.execute_script('return fetch("/console/session").then((r) => r.json()).then((s) => s.csrf)')
    queued = rig.queued()
    ForgedPage.target = rig.base + '/console/action'
    forger = http.server.ThreadingHTTPServer(('127.0.0.2', free_port('127.0.0.2')), ForgedPage)
    threading.Thread(target=forger.serve_forever, daemon=True).start()
    try:
        d.get(f'http://127.0.0.2:{forger.server_port}/')
        page.until('the forged post', lambda: d.current_url.startswith(ForgedPage.target))
    finally:
        forger.shutdown()
        forger.server_close()
    assert rig.queued() == queued, 'the forged post queued a command'
    body = {'action': 'send', 'target': 'Studio A', 'text': 'RT1=FOREIGN'}
    assert rig.post_action(cookie, csrf, 'http://127.0.0.2', body) == 403, 'a foreign origin was accepted'
    assert rig.post_action(cookie, csrf, rig.base, dict(body, text='PS=AFTER')) == 200
    wait_for('PS=AFTER at Studio A', lambda: 'PS=AFTER' in rig.received())
    assert 'FORGED' not in rig.received() and 'FOREIGN' not in rig.received()

    d.get(rig.base + '/console')
    page.until('the console', lambda: page.visible('#signout'))
    page.sign_out()
    page.sign_in('alice', 'not the password', rows=False)
    page.until('the sign-in error', lambda: page.find('#signin-error').text == 'wrong name or password')
    assert not page.visible('#console')


def main():
    parser = argparse.ArgumentParser()
    for option in ('--varnok', '--sim', '--out'):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    if missing := [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]:
        print('SKIP: missing ' + ', '.join(missing))
        return SKIP
    os.makedirs(args.out, exist_ok=True)

    def overdue(*_):
        raise TimeoutError('the console browser test took longer than 85 s')
    signal.signal(signal.SIGALRM, overdue)
    signal.alarm(85)
    with tempfile.TemporaryDirectory(prefix='varnok-console-') as tmp:
        rig, page = Rig(), None
        try:
            rig.start(args, tmp)
            page = Console(tmp, rig.base)
            steps(rig, page, args.out)
        except BaseException:
            if page:
                page.d.save_screenshot(os.path.join(args.out, 'failure.png'))
                open(os.path.join(args.out, 'failure.html'), 'w').write(page.d.page_source)
            raise
        finally:
            signal.alarm(0)
            if page:
                page.d.quit()
            rig.stop()
            open(os.path.join(args.out, 'varnok.out'), 'w').writelines(rig.output)
    print('console browser test: passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
