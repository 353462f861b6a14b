#!/usr/bin/python3
"""The scanning page served by tarvell-escl, used as a person would: headless Chromium against the
paced simulated scanner, one server and one browser for every case. Exits 77 (skipped) when
Chromium or chromedriver is not installed."""
import http.server
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webfixture as wf  # noqa: E402

try:
    from PIL import Image, ImageChops
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    wf.CHROMEDRIVER = None  # skipped below, as without the browser

SERVER = os.environ.get('TARVELL_ESCL_SERVER', '')
SCANNER_MODULE = os.environ.get('TARVELL_SCANNER_MODULE', '')
AXE_DIR = os.environ.get('TARVELL_AXE_DIR', '')


def install_axe():
    """axe-core from npm into the build folder, once; the path of its script."""
    script = os.path.join(AXE_DIR, 'node_modules', 'axe-core', 'axe.min.js')
    if not os.path.exists(script):
        if not shutil.which('npm'):
            raise AssertionError('npm is needed to install axe-core into ' + AXE_DIR)
        subprocess.run(['npm', 'install', '--no-audit', '--no-fund', '--prefix', AXE_DIR, 'axe-core@4'], check=True,
                       stdout=subprocess.DEVNULL)
    return script


class WebPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix='tarvell-web-')
        cls.server = wf.Server(SERVER, cls.folder)
        try:
            cls.driver = wf.start_browser(cls.folder)
        except Exception:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        status = cls.server.stop()
        log = cls.server.log()
        shutil.rmtree(cls.folder, ignore_errors=True)
        if status != 0:
            raise AssertionError(f'the server stopped with status {status}:\n{log}')

    def setUp(self):
        self.open()

    def tearDown(self):
        errors = [e['message'] for e in self.driver.get_log('browser') if e['level'] == 'SEVERE']
        self.assertEqual(errors, [], 'errors in the browser console')

    # What a person does --------------------------------------------------------------------------

    def open(self):
        self.driver.get(self.server.base + '/')
        self.wait("return document.body.dataset.ready === 'true'")

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, script, *args, **kwargs):
        return wf.wait_for(self.driver, script, *args, **kwargs)

    def element(self, name):
        return self.driver.find_element(By.ID, name)

    def choose(self, **values):
        for name, value in values.items():
            Select(self.element(name)).select_by_value(str(value))

    def idle(self):
        self.wait("return !document.body.classList.contains('busy')")

    def pages(self):
        return self.js("return document.querySelectorAll('#tray li').length")

    def draw(self, left, top, right, bottom):
        """Drags on the glass between two points given as fractions of it; the region picked."""
        glass = self.element('glass')
        w, h = glass.size['width'], glass.size['height']
        ActionChains(self.driver).move_to_element_with_offset(glass, int(left * w - w / 2), int(top * h - h / 2)) \
            .click_and_hold().move_by_offset(int((right - left) * w), int((bottom - top) * h)).release().perform()
        return self.region()

    def region(self):
        return [int(v) for v in self.element('glass').get_attribute('data-region').split(',')]

    def scan(self, **settings):
        """Scans a page with `settings` (select ids to values) and waits for it in the tray."""
        before = self.pages()
        self.choose(**settings)
        self.element('scan-button').click()
        self.wait('return document.querySelectorAll("#tray li").length > arguments[0]', before)
        self.idle()

    def downloaded(self, name):
        path = os.path.join(self.driver.downloads, name)
        WebDriverWait(self.driver, wf.DEADLINE, 0.05).until(lambda d: os.path.exists(path))
        with open(path, 'rb') as file:
            data = file.read()
        os.remove(path)
        return data

    def local_scan(self, mode, dpi, region):
        """scanner-module's scan of region (1/300 inch, as the server turns it into millimetres)."""
        out = os.path.join(self.folder, 'local.tiff')
        mm = [repr(v * (25.4 / 300)) for v in region]
        subprocess.run([SCANNER_MODULE, 'scan', '--simulate', '--mode', mode, '--resolution', str(dpi), '-o', out,
                        '-l', mm[0], '-t', mm[1], '-x', mm[2], '-y', mm[3]], check=True, stdout=subprocess.DEVNULL)
        return Image.open(out)

    # The cases -----------------------------------------------------------------------------------

    def test_page_is_served_with_its_name_state_settings_and_headers(self):
        self.assertIn('K310', self.element('name').text)
        self.wait("return document.getElementById('state').dataset.state === 'ready'")
        modes = self.js("return [...document.querySelectorAll('#mode option')].map(o => o.value)")
        self.assertEqual(modes, ['RGB24', 'Grayscale8', 'BlackAndWhite1'])
        self.assertIn('300', self.js("return [...document.querySelectorAll('#resolution option')].map(o => o.value)"))
        with urllib.request.urlopen(self.server.base + '/') as reply:
            headers = reply.headers
        self.assertEqual(headers['Content-Security-Policy'].split(';')[:3],
                         ["default-src 'self'", " img-src 'self' blob: data:", " frame-ancestors 'none'"])
        self.assertEqual((headers['X-Frame-Options'], headers['X-Content-Type-Options']), ('DENY', 'nosniff'))
        self.assertIsNone(headers['Access-Control-Allow-Origin'])
        with urllib.request.urlopen(self.server.base + '/eSCL/ScannerCapabilities') as reply:
            self.assertIn(f'<scan:AdminURI>{self.server.base}/</scan:AdminURI>', reply.read().decode())

    def test_preview_then_an_area_drawn_by_pointer_and_keyboard(self):
        self.element('preview-button').click()
        self.wait("const c = document.getElementById('preview');"
                  "return c.height > 1 && c.dataset.rows === String(c.height)")
        self.idle()
        x, y, w, h = self.draw(0.2, 0.2, 0.6, 0.4)
        self.assertEqual(self.element('paper').get_attribute('value'), 'area')
        self.assertGreater(w, 0)
        self.assertRegex(self.element('area-size').text, r'\d+ mm × \d+ mm')
        self.element('glass').send_keys(Keys.SHIFT, Keys.ARROW_RIGHT)
        self.assertEqual(self.region(), [x, y, w + 30, h])
        self.draw(0.5, 0.5, 0.505, 0.505)
        self.assertIn('too small', self.element('message').text)

    def test_saved_pages_equal_a_local_scan(self):
        for mode, local in (('Grayscale8', 'Gray'), ('RGB24', 'Color')):
            region = self.draw(0.1, 0.15, 0.35, 0.3)
            self.scan(mode=mode, resolution=150, format='image/png')
            self.js("document.querySelector('#tray li:last-child [data-action=save]').click()")
            saved = Image.open(io.BytesIO(self.downloaded(f'scan-{self.pages()}.png')))
            expected = self.local_scan(local, 150, region)
            self.assertEqual((saved.mode, saved.size), (expected.mode, expected.size), mode)
            self.assertIsNone(ImageChops.difference(saved, expected).getbbox(), mode)
            # As JPEG, the server encodes the page it kept, in the page's own colour mode.
            self.choose(format='image/jpeg')
            self.js("document.querySelector('#tray li:last-child [data-action=save]').click()")
            jpeg = Image.open(io.BytesIO(self.downloaded(f'scan-{self.pages()}.jpg')))
            self.assertEqual((jpeg.format, jpeg.mode, jpeg.size), ('JPEG', expected.mode, expected.size))

    def test_page_grows_as_it_is_scanned_and_cancel_stops_it(self):
        # Each time rows are drawn the progress is noted; Cancel is pressed the first time rows are
        # on the screen while the page's bytes have not all come.
        self.js("window.seen = []; const c = document.getElementById('page'), p = document.getElementById('progress');"
                "new MutationObserver(() => {"
                "  if (Number(c.dataset.rows) > 0) seen.push([Number(c.dataset.rows), p.value, p.max]);"
                "  if (seen.length === 1 && !seen.pressed) seen.pressed = document.getElementById('cancel-button').click() || 1;"
                "}).observe(c, {attributes: true, attributeFilter: ['data-rows']})")
        self.choose(mode='RGB24', resolution=300, paper='letter')
        self.element('scan-button').click()
        self.idle()
        rows, value, most = self.js('return seen[0]')
        self.assertTrue(rows > 0 and 0 < value < most, (rows, value, most))
        self.assertIn('cancelled', self.element('message').text)
        self.assertEqual(self.pages(), 0)
        self.wait("return document.getElementById('state').dataset.state === 'ready'")
        self.scan(mode='Grayscale8', resolution=75, paper='a5')
        self.assertEqual(self.pages(), 1)

    def test_two_pages_saved_as_one_pdf_each_at_its_size(self):
        self.scan(mode='Grayscale8', resolution=75, paper='a5')
        self.draw(0.1, 0.1, 0.4, 0.3)
        self.scan(mode='RGB24', resolution=150)
        self.js("document.querySelector('#tray li:last-child [data-action=left]').focus()")
        self.driver.switch_to.active_element.send_keys(Keys.ENTER)  # the colour page first
        sizes = self.js("return [...document.querySelectorAll('#tray img')].map(i => [i.naturalWidth, i.naturalHeight])")
        self.element('save-all').click()
        path = os.path.join(self.folder, 'two.pdf')
        with open(path, 'wb') as out:
            out.write(self.downloaded('scan.pdf'))
        info = subprocess.run(['pdfinfo', '-f', '1', '-l', '2', path], capture_output=True, text=True, check=True).stdout
        self.assertIn('Pages:           2', info)
        points = [[float(v) for v in m] for m in re.findall(r'Page +\d+ size: ([\d.]+) x ([\d.]+) pts', info)]
        for (w, h), (pw, ph), dpi in zip(sizes, points, (150, 75)):
            self.assertAlmostEqual(pw, w * 72 / dpi, places=1)
            self.assertAlmostEqual(ph, h * 72 / dpi, places=1)
        self.js("document.querySelector('#tray li [data-action=remove]').focus()")
        self.driver.switch_to.active_element.send_keys(Keys.ENTER)
        self.assertEqual(self.pages(), 1)
        self.assertEqual(self.js('return document.activeElement.dataset.action'), 'remove')

    def test_someone_elses_scan_shows_the_scanner_in_use_and_scan_says_busy(self):
        settings = ('<scan:ScanSettings xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03">'
                    '<scan:ColorMode>Grayscale8</scan:ColorMode><scan:XResolution>75</scan:XResolution>'
                    '</scan:ScanSettings>')
        request = urllib.request.Request(self.server.base + '/eSCL/ScanJobs', settings.encode(), method='POST')
        with urllib.request.urlopen(request) as reply:
            job = re.sub('^http://[^/]*', self.server.base, reply.headers['Location'])
        try:
            self.wait("return document.getElementById('state').dataset.state === 'inUse'")
            self.element('scan-button').click()
            self.idle()
            self.assertIn('busy', self.element('message').text)
        finally:
            urllib.request.urlopen(urllib.request.Request(job, method='DELETE')).close()
            self.driver.get_log('browser')  # the browser logs the refused request: expected here
        self.wait("return document.getElementById('state').dataset.state === 'ready'")

    def test_german_labels_with_a_german_browser(self):
        agent = self.js('return navigator.userAgent')
        self.driver.execute_cdp_cmd('Network.setUserAgentOverride', {'userAgent': agent, 'acceptLanguage': 'de-DE'})
        try:
            self.open()
            self.assertEqual(self.js('return document.documentElement.lang'), 'de')
            self.assertEqual(self.element('scan-button').text, 'Scannen')
            self.wait("return document.getElementById('state').textContent === 'Bereit'")
        finally:
            self.driver.execute_cdp_cmd('Network.setUserAgentOverride', {'userAgent': agent, 'acceptLanguage': 'en-GB'})

    def test_fits_a_phone_with_touch_sized_controls(self):
        size = self.driver.get_window_size()
        self.driver.set_window_size(360, 740)
        try:
            self.open()
            self.scan(mode='Grayscale8', resolution=75, paper='a5')
            self.assertEqual(self.js('return [document.documentElement.scrollWidth <= innerWidth, innerWidth]'), [True, 360])
            small = self.js("return [...document.querySelectorAll('button, select')].filter(e => {"
                            "const r = e.getBoundingClientRect(); return r.width < 44 || r.height < 44 })"
                            ".map(e => e.id || e.textContent)")
            self.assertEqual(small, [])
        finally:
            self.driver.set_window_size(size['width'], size['height'])

    def test_no_serious_accessibility_violation(self):
        self.scan(mode='Grayscale8', resolution=75, paper='a5')
        with open(install_axe()) as axe:
            self.js(axe.read())
        result = self.driver.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            'axe.run(document).then(r => done(r.violations.map(v => [v.id, v.impact, v.nodes.length])))')
        self.assertEqual([v for v in result if v[1] in ('serious', 'critical')], [])

    def test_another_origin_reads_nothing(self):
        page = b'<!doctype html><title>other</title>'

        class Other(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header('Content-Type', 'text/html')
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        other = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Other)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        try:
            self.driver.get(f'http://127.0.0.1:{other.server_address[1]}/')
            got = self.driver.execute_async_script(
                'const done = arguments[arguments.length - 1];'
                'fetch(arguments[0] + "/eSCL/ScannerStatus").then(r => r.text()).then(done, e => done("refused"))',
                self.server.base)
            self.assertEqual(got, 'refused')
        finally:
            other.shutdown()
            other.server_close()
            self.driver.get_log('browser')  # the browser says why it refused: not an error of the page


if __name__ == '__main__':
    if not (wf.CHROMIUM and wf.CHROMEDRIVER):
        print('SKIPPED: chromium, chromium-driver or python3-selenium is not installed (scripts/setup.sh installs them)')
        sys.exit(77)
    unittest.main(verbosity=2)
