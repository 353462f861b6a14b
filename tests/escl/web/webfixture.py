"""The built tarvell-escl serving the paced simulated scanner, and headless Chromium driven through
chromedriver, both on loopback and stopped at the end; shared by the page's test and benchmark."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

CHROMIUM = shutil.which('chromium')
CHROMEDRIVER = shutil.which('chromedriver')
# Without the networking switches Chromium reaches for the Internet at start.
CHROMIUM_SWITCHES = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update', '--disable-sync',
                     '--disable-dev-shm-usage']
DEADLINE = 120  # seconds any awaited state may take on a loaded machine


class Server:
    """tarvell-escl on 127.0.0.1 and a port of its own."""

    def __init__(self, program, folder, pace='6M'):
        config = os.path.join(folder, 'tarvell-escl.conf')
        open(config, 'w').close()
        self.log_path = os.path.join(folder, 'server.log')
        with open(self.log_path, 'w') as log:
            self.process = subprocess.Popen(
                [program, '--simulate', '--sim-fault', f'pace={pace},silence=20', '--listen', '127.0.0.1:0',
                 '--no-announce', '--allow', '127.0.0.0/8', '--config', config], stderr=log)
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end and self.process.poll() is None:
            found = re.search(r'listening on http://127\.0\.0\.1:(\d+)', self.log())
            if found:
                self.base = f'http://127.0.0.1:{found.group(1)}'
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError('the server did not start:\n' + self.log())

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def stop(self):
        """Stops it; its exit status (0 when it stopped cleanly)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(DEADLINE)


def start_browser(folder, language='en-GB', width=1280, height=900):
    """Headless Chromium with an empty profile of its own, saving downloads into folder/downloads."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    downloads = os.path.join(folder, 'downloads')
    os.makedirs(downloads, exist_ok=True)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for switch in CHROMIUM_SWITCHES + [f'--user-data-dir={tempfile.mkdtemp(dir=folder)}',
                                       f'--window-size={width},{height}', f'--lang={language}']:
        options.add_argument(switch)
    options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                              'download.prompt_for_download': False,
                                              'profile.default_content_setting_values.automatic_downloads': 1,
                                              'intl.accept_languages': language})
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.path.join(folder, 'chromedriver.log')),
                              options=options)
    driver.downloads = downloads
    return driver


def wait_for(driver, script, *args, timeout=DEADLINE, poll=0.02):
    """Waits until `script` (a JavaScript expression's body) returns something true; returns it."""
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(driver, timeout, poll_frequency=poll).until(lambda d: d.execute_script(script, *args))
