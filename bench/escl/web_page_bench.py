#!/usr/bin/python3
"""What a person waits for on the scanning page: from pressing Scan to the first rows on the screen
and to the whole page on the screen, for a 300 dpi colour letter page on the simulated scanner at a
scanner's pace, as ratios to the page's bytes divided by that pace. Drives headless Chromium; with
--screenshots DIR it also saves the README's pictures (desktop and phone, a page half scanned).

  bench/escl/web_page_bench.py [--build build] [--pace 3M] [--runs 3] [--screenshots DIR]
"""
import argparse
import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'escl', 'web'))
import webfixture as wf  # noqa: E402

# Presses Scan and notes, by the page's own clock, when the first rows and the last row are drawn.
MEASURE = """
const canvas = document.getElementById('page'), progress = document.getElementById('progress');
window.timing = {};
new MutationObserver(() => {
  const now = performance.now(), rows = Number(canvas.dataset.rows);
  if (rows > 0 && !timing.first) timing.first = now;
  if (rows > 0 && rows === canvas.height && !timing.last) Object.assign(timing, {last: now, bytes: progress.max});
}).observe(canvas, {attributes: true, attributeFilter: ['data-rows']});
timing.start = performance.now();
document.getElementById('scan-button').click();
"""
HALF = ("const p = document.getElementById('progress');"
        "return document.body.classList.contains('busy') && p.value > 0.4 * p.max && p.value < 0.75 * p.max")


def rate(text):
    return float(text[:-1]) * {'k': 1e3, 'M': 1e6}[text[-1]] if text[-1] in 'kM' else float(text)


def choose(driver, **values):
    for name, value in values.items():
        driver.execute_script("const s = document.getElementById(arguments[0]); s.value = arguments[1];"
                              "s.dispatchEvent(new Event('change'))", name, str(value))


def open_page(driver, base):
    driver.get(base + '/')
    wf.wait_for(driver, "return document.body.dataset.ready === 'true'")
    driver.execute_script("document.getElementById('preview-button').click()")
    wf.wait_for(driver, "return !document.body.classList.contains('busy') && document.getElementById('preview').height > 1")


def screenshots(driver, base, folder):
    # A small page in the tray, then a letter page caught half way.
    choose(driver, mode='Grayscale8', resolution=150, paper='a5')
    driver.execute_script("document.getElementById('scan-button').click()")
    wf.wait_for(driver, "return document.querySelectorAll('#tray li').length > 0 && "
                        "!document.body.classList.contains('busy')")
    for name, size in (('web-page-desktop.png', (1280, 1150)), ('web-page-phone.png', (360, 740))):
        driver.set_window_size(*size)
        choose(driver, mode='RGB24', resolution=300, paper='letter')
        driver.execute_script("window.scrollTo(0, 0); document.getElementById('scan-button').click()")
        wf.wait_for(driver, HALF, poll=0.01)
        driver.save_screenshot(os.path.join(folder, name))
        driver.execute_script("document.getElementById('cancel-button').click()")
        wf.wait_for(driver, "return !document.body.classList.contains('busy')")
    driver.set_window_size(1280, 1000)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build'))
    parser.add_argument('--pace', default='3M', help='the scanner\'s bytes a second (k, M)')
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--screenshots', help='a folder for the README\'s screenshots')
    args = parser.parse_args()
    if not (wf.CHROMIUM and wf.CHROMEDRIVER):
        sys.exit('Chromium and chromedriver are needed (scripts/setup.sh installs them)')
    folder = tempfile.mkdtemp(prefix='tarvell-web-bench-')
    server = wf.Server(os.path.join(args.build, 'escl', 'tarvell-escl'), folder, args.pace)
    driver = None
    try:
        driver = wf.start_browser(folder, width=1280, height=1000)
        open_page(driver, server.base)
        if args.screenshots:
            screenshots(driver, server.base, args.screenshots)
        print(f'300 dpi colour letter page, scanner pace {args.pace}B/s; ratios to bytes / pace')
        for run in range(args.runs):
            choose(driver, mode='RGB24', resolution=300, paper='letter')
            pages = driver.execute_script("return document.querySelectorAll('#tray li').length")
            driver.execute_script(MEASURE)
            wf.wait_for(driver, "return document.querySelectorAll('#tray li').length > arguments[0]", pages)
            t = driver.execute_script('return window.timing')
            ideal = t['bytes'] / rate(args.pace)
            first, last = (t['first'] - t['start']) / 1000, (t['last'] - t['start']) / 1000
            print(f'run {run + 1}: {t["bytes"] / 1e6:.1f} MB, bytes/pace {ideal:.2f} s; first rows {first:.3f} s '
                  f'({first / ideal:.3f}), whole page {last:.2f} s ({last / ideal:.3f})')
    finally:
        if driver:
            driver.quit()
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()
