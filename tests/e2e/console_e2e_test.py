#!/usr/bin/python3
"""The operator console in a real browser (headless Chromium through Selenium), on a real site:
the set-up tool's share tree and demo data on an SQLite file, the panel simulator, the event
service and the driver as processes.

    console_e2e_test.py BIN_DIR

Panels 7.0 and 7.1 are on the simulator; 7.2 carries a link name that holds a script tag and
reaches nothing.
"""
import os
import queue
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

BIN = None
SCRIPT_NAME = '<script>window.pwned=1</script>'


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def eventually(what, seconds=30, step=0.2):
    """Polls what() until it is true; returns its last value."""
    end = time.monotonic() + seconds
    while True:
        value = what()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


class Simulator:
    """panelsim as a child: control lines on its standard input, answers from its output."""

    def __init__(self, args, log):
        self.proc = subprocess.Popen([os.path.join(BIN, 'panelsim')] + args,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=log, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.panels = []
        while True:
            line = self.lines.get(timeout=10)
            if line == 'ready':
                break
            parts = line.split()
            if len(parts) == 5 and parts[0] == 'panel' and parts[2] == 'tcp':
                self.panels.append((parts[3], int(parts[4])))

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip('\n'))

    def command(self, line):
        self.proc.stdin.write(line + '\n')
        self.proc.stdin.flush()
        answer = self.lines.get(timeout=5)
        if not answer.startswith('ok'):
            raise AssertionError('%s: %s' % (line, answer))
        return answer

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


class ConsoleInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix='console_e2e_')
        cls.children = []
        cls.browser = None
        cls.sim = None
        try:
            cls._start_site()
        except BaseException:
            cls._dump_logs()
            cls._stop()
            raise

    @classmethod
    def _tool(cls, *args):
        with open(os.path.join(cls.root, 'tools.log'), 'a') as log:
            subprocess.run([os.path.join(BIN, 'ordanectl')] + list(args), check=True,
                           stdout=log, stderr=log, timeout=60)

    @classmethod
    def _start_site(cls):
        root = cls.root
        cls.db = os.path.join(root, 'ordane.db')
        with open(os.path.join(root, 'panelsim.log'), 'w') as log:
            cls.sim = Simulator(['--panels', '2', '--base-port', '0', '--first-address', '91'],
                                log)
        cls._tool('share', '--root', os.path.join(root, 'share'), '--demo')
        cls._tool('demo-data', '--db', 'sqlite:' + cls.db, '--panels', '3', '--driver-id', '7')
        ini = os.path.join(root, 'ordane.ini')
        cls._tool('settings', '--file', ini, '--db', 'sqlite:' + cls.db, '--remote',
                  os.path.join(root, 'share'), '--debug', '1')
        cls.console_port = free_port()
        with open(ini) as f:
            text = f.read()
        text = text.replace('[OS]\n', '[OS]\nConsole_Port=%d\nEventService_ScanSeconds=1\n'
                            % cls.console_port, 1)
        with open(ini, 'w') as f:
            f.write(text)

        with sqlite3.connect(cls.db) as sql:
            for i, (host, port) in enumerate(cls.sim.panels):
                sql.execute('update channels set port2 = ? where driver_id = 7 and channel = ?',
                            (port, i))
                sql.execute('update controllers set ec_1_name = ? where address = ?',
                            (host, '7.%d' % i))
            sql.execute('update controllers set ec_1_name = ? where address = ?',
                        (SCRIPT_NAME, '7.2'))
            sql.execute('update drivers set status = 1 where driver_id = 7')

        env = dict(os.environ, ORDANE_SETTINGS=ini)
        cls._spawn([os.path.join(BIN, 'eventsvc'), '--metrics-port', str(free_port())], env,
                   'eventsvc.log')
        env.update(ORDANE_LOCK_FILE=os.path.join(root, 'driver.lock'),
                   ORDANE_UNIT_DIR=os.path.join(root, 'units'), PANELIF_RETRY_MS='500')
        cls.driver = cls._spawn([os.path.join(BIN, 'paneldriver'), '-debug'], env, 'driver.log')

        token_file = os.path.join(root, '.console-token')
        if not eventually(lambda: os.path.exists(token_file), 30):
            raise AssertionError('the driver wrote no console token')
        mode = os.stat(token_file).st_mode & 0o777
        if mode != 0o600:
            raise AssertionError('token file mode %o' % mode)
        with open(token_file) as f:
            cls.token = f.read().strip()

        options = Options()
        for arg in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage',
                    '--disable-gpu', '--user-data-dir=' + os.path.join(root, 'chromium')):
            options.add_argument(arg)
        options.binary_location = '/usr/bin/chromium'
        cls.browser = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        cls.browser.get('http://127.0.0.1:%d/#token=%s' % (cls.console_port, cls.token))

    @classmethod
    def _spawn(cls, argv, env, log_name):
        with open(os.path.join(cls.root, log_name), 'a') as log:
            child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                     stderr=subprocess.STDOUT)
        cls.children.append(child)
        return child

    @classmethod
    def _stop(cls):
        if cls.browser is not None:
            try:
                cls.browser.quit()
            except WebDriverException:
                pass
        for child in reversed(cls.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        if cls.sim is not None:
            cls.sim.stop()

    @classmethod
    def _dump_logs(cls):
        for name in ('driver.log', 'eventsvc.log', 'tools.log', 'panelsim.log'):
            path = os.path.join(cls.root, name)
            if os.path.exists(path):
                with open(path, errors='replace') as f:
                    sys.stderr.write('--- %s (end)\n%s\n' % (name, f.read()[-20000:]))

    @classmethod
    def tearDownClass(cls):
        cls._stop()
        if cls.failed:
            cls._dump_logs()
            sys.stderr.write('site kept in %s\n' % cls.root)
        else:
            shutil.rmtree(cls.root, ignore_errors=True)

    failed = False

    def run(self, result=None):
        result = super().run(result)
        if result is not None and (result.failures or result.errors):
            type(self).failed = True
        return result

    # What the page shows.
    def cell(self, slot, name):
        try:
            return self.browser.find_element(
                By.CSS_SELECTOR, '#panels tr[data-slot="%d"] td.%s' % (slot, name)).text
        except WebDriverException:
            return None

    def state(self, slot):
        return self.cell(slot, 'state')

    def wait_state(self, slot, want, seconds=30):
        got = eventually(lambda: self.state(slot) == want, seconds)
        self.assertTrue(got, 'panel 7.%d: %r, not %r' % (slot, self.state(slot), want))

    def act(self, button, panel):
        field = self.browser.find_element(By.ID, 'panel')
        field.clear()
        field.send_keys(str(panel))
        self.browser.execute_script("document.getElementById('result').textContent = ''")
        self.browser.find_element(By.ID, button).click()
        return eventually(lambda: self.browser.find_element(By.ID, 'result').text, 10)

    def test_1_shows_the_simulators_panels_and_the_driver(self):
        self.wait_state(0, 'established')
        self.wait_state(1, 'established')
        self.assertEqual(self.cell(0, 'address'), '7.0')
        self.assertEqual(self.cell(0, 'link'), self.sim.panels[0][0])
        self.assertTrue(eventually(lambda: self.cell(0, 'firmware') == '7.06', 20),
                        self.cell(0, 'firmware'))
        self.assertTrue(eventually(
            lambda: self.browser.find_element(By.ID, 'driver-version').text.startswith('Driver:'),
            20))
        self.assertEqual(self.browser.find_element(By.ID, 'driver-id').text, '7')
        # Debug lines are on in this site's settings: the list holds them.
        self.assertTrue(eventually(
            lambda: len(self.browser.find_elements(By.CSS_SELECTOR, '#list li')) > 0, 10))

    def test_2_a_script_in_a_panel_name_is_text(self):
        self.assertTrue(eventually(lambda: self.cell(2, 'link') == SCRIPT_NAME, 10),
                        self.cell(2, 'link'))
        self.assertTrue(self.browser.execute_script('return window.pwned === undefined'))
        self.assertEqual(
            self.browser.find_elements(By.CSS_SELECTOR, '#panels script'), [])

    def test_3_a_dropped_panel_shows_as_lost(self):
        self.wait_state(1, 'established')
        self.sim.command('2 down')
        try:
            self.wait_state(1, 'lost', 60)
        finally:
            self.sim.command('2 up')
        self.wait_state(1, 'established', 60)

    def test_4_terminate_and_connect_with_the_token(self):
        self.wait_state(0, 'established')
        self.assertEqual(self.act('terminate', 0), 'done')
        self.wait_state(0, 'lost', 5)
        self.assertEqual(self.act('connect', 0), 'done')
        self.wait_state(0, 'established', 5)

    def test_5_without_the_token_nothing_changes(self):
        self.wait_state(0, 'established')
        self.browser.execute_script("sessionStorage.setItem('consoleToken', 'not-the-token')")
        answer = self.act('terminate', 0)
        self.assertIn('refused', answer)
        time.sleep(2.5)  # two refreshes
        self.assertEqual(self.state(0), 'established')
        # The page forgot the wrong token; the right one acts again.
        self.browser.execute_script("sessionStorage.setItem('consoleToken', arguments[0])",
                                    self.token)

    def test_6_an_alarm_moves_the_event_counter(self):
        counter = lambda: int(self.browser.find_element(By.ID, 'count-events').text or '0')
        rows = lambda: sqlite3.connect(self.db).execute(
            "select count(*) from events where event_id = 'RD002'").fetchone()[0]
        before_count, before_rows = counter(), rows()
        self.sim.command('1 inject 02 16 01 4242')
        self.assertTrue(eventually(lambda: rows() > before_rows, 30), 'no events row')
        self.assertTrue(eventually(lambda: counter() > before_count, 5),
                        'the counter stayed at %d' % counter())

    def test_7_shutdown_stops_the_driver(self):
        self.browser.find_element(By.ID, 'shutdown').click()
        self.browser.switch_to.alert.accept()
        self.assertEqual(self.driver.wait(20), 0)
        with sqlite3.connect(self.db) as sql:
            status = sql.execute('select status from drivers where driver_id = 7').fetchone()[0]
        self.assertEqual(status, 0)


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.exit('usage: console_e2e_test.py BIN_DIR')
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)
