"""The viewer in a real browser: headless Chromium (Debian's chromium and
chromium-driver through python3-selenium) opens a slide's page from
`tqf serve` at 420 and at 1920 pixels wide, OpenSeadragon draws it, zooming
in draws finer tiles, the magnification buttons, ruler and two slides side
by side work, and nothing is logged as an error. Screenshots of each width
are kept in the test's folder (screenshots/)."""
import io
import os
import re
import subprocess
import tempfile
import time

import numpy as np
import pytest
from conftest import make_slide, wait_for
from PIL import Image
from selenium import webdriver
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

# Headless, and nothing that reaches for the network or a profile of the machine.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--no-first-run", "--window-size=1100,800"]
MPP = 0.499


def start_listening(command, directory, name, env, port_of):
    """Starts `command(log_path)` and waits until it has said on which port
    of 127.0.0.1 it listens: `port_of()` gives the port once it is known.
    Each program picks a free port itself, so none is lost to another."""
    log_path = os.path.join(directory, f"{name}.log")
    with open(os.path.join(directory, f"{name}.out"), "ab") as out:
        process = subprocess.Popen(command(log_path), env=env, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 300  # only a program that never gets going meets it
    while process.poll() is None and time.monotonic() < deadline:
        port = port_of()
        if port:
            return process, port
        time.sleep(0.1)
    stop(process)
    shown = ""
    for path in (log_path, os.path.join(directory, f"{name}.out")):
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                shown += f.read()[-3000:]
    pytest.fail(f"{name} did not start:\n{shown}")


def number_in(path, pattern):
    """The number the regular expression's group matches in the file, or None."""
    try:
        with open(path, errors="replace") as f:
            match = re.search(pattern, f.read())
    except FileNotFoundError:
        return None
    return int(match.group(1)) if match else None


def stop(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@pytest.fixture
def browser(tmp_path):
    """Chromium and chromedriver, each started here on 127.0.0.1 and joined
    by address: chromedriver left to itself starts the browser and reaches
    its DevTools at "localhost", a name a freshly bootstrapped system without
    /etc/hosts does not resolve."""
    # Not the sanitizer runtime the tests of a sanitizer build preload: the
    # browser is no part of what is under test.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    profile = tempfile.mkdtemp(dir=tmp_path)
    # Port 0: the browser picks one and writes it (then its DevTools path) to
    # DevToolsActivePort in the profile; chromedriver says it on its output.
    chromium, devtools = start_listening(
        lambda log: ["/usr/bin/chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                     "--remote-debugging-port=0", "about:blank"], tmp_path, "chromium", env,
        lambda: number_in(os.path.join(profile, "DevToolsActivePort"), r"\A(\d+)\n/devtools/browser/[-0-9a-f]{36}\Z"))
    driver_process = None
    try:
        driver_process, port = start_listening(
            lambda log: ["/usr/bin/chromedriver", "--port=0", f"--log-path={log}"], tmp_path, "chromedriver", env,
            lambda: number_in(tmp_path / "chromedriver.out", r"started successfully on port (\d+)"))
        options = webdriver.ChromeOptions()
        options.debugger_address = f"127.0.0.1:{devtools}"
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Remote(command_executor=f"http://127.0.0.1:{port}", options=options)
        driver.set_page_load_timeout(300)
        driver.expected_errors = []  # patterns of errors a test causes on purpose
        yield driver
        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"
                  and not any(re.search(p, entry["message"]) for p in driver.expected_errors)]
        driver.quit()
        assert not errors, errors
    finally:
        if driver_process is not None:
            stop(driver_process)
        stop(chromium)


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    """Two serial sections at 0.499 microns per pixel, and a third slide."""
    folder = tmp_path_factory.mktemp("browser-slides")
    for name, seed in (("tissue", 1), ("section-2", 2)):
        make_slide(folder, name, 3000, 2000, seed=seed, mpp=MPP)
    return folder


def set_width(browser, width, height=800):
    """The page's layout viewport `width` CSS pixels wide."""
    browser.set_window_size(width, height)
    inner = browser.execute_script("return window.innerWidth")
    if inner != width:  # the window has borders of its own
        browser.set_window_size(2 * width - inner, height)
    assert browser.execute_script("return window.innerWidth") == width


def drawn(browser, index=0):
    """True once the view has every tile it shows and stands still."""
    return browser.execute_script(
        "const v = window.tqfViewers && window.tqfViewers[arguments[0]], image = v && v.world.getItemAt(0);"
        "return Boolean(image && image.getFullyLoaded()"
        " && Math.abs(v.viewport.getZoom(true) - v.viewport.getZoom()) < 1e-9"
        " && v.viewport.getCenter(true).distanceTo(v.viewport.getCenter()) < 1e-9);", index)


def levels_requested(server):
    return {int(re.search(r"_files/(\d+)/", line).group(1)) for line in server.tile_requests()}


def element_pixels(element):
    return np.asarray(Image.open(io.BytesIO(element.screenshot_as_png)).convert("RGB"), dtype=float)


def script(browser, code, *args):
    return browser.execute_script(code, *args)


def image_zoom(browser, index=0):
    """Screen pixels per full-resolution pixel of a view."""
    return script(browser, "const v = window.tqfViewers[arguments[0]];"
                           "return v.world.getItemAt(0).viewportToImageZoom(v.viewport.getZoom(true));", index)


@pytest.mark.parametrize("width", [420, 1920])
def test_viewer_at_narrow_and_wide_screens(serve, slides, browser, tmp_path, width):
    server = serve(slides)
    set_width(browser, width)
    browser.get(f"{server.url}/")
    browser.find_element(By.LINK_TEXT, "tissue").click()
    assert wait_for(lambda: drawn(browser), 300), server.log
    view = browser.find_element(By.ID, "view")
    panel = browser.find_element(By.ID, "panel")
    # The view takes the width; at 420 the panel is folded away until asked for.
    assert view.size["width"] >= (width - 30 if width == 420 else width * 0.7)
    assert panel.is_displayed() == (width > 800)
    if width == 420:
        browser.find_element(By.ID, "panel-toggle").click()
        assert wait_for(panel.is_displayed, 300)
    # Facts written for people: 0.499 µm, magnifications whole on one line.
    table = browser.find_element(By.ID, "properties").text
    assert "microns per pixel 0.499 \u00b5m" in table and "3000 \u00d7 2000" in table
    lines = script(browser, "return Array.from(document.querySelectorAll('#properties .whole'))"
                            ".map((s) => [s.textContent, s.getClientRects().length]);")
    assert [text for text, _ in lines] == ["40\u00d7,", "20\u00d7,", "10\u00d7,", "5\u00d7,", "2.5\u00d7"]
    assert all(rects == 1 for _, rects in lines), lines
    for name in ("label", "macro"):
        assert wait_for(lambda: script(
            browser, f"const i = document.getElementById('associated-{name}'); return i && i.complete && i.naturalWidth"), 300)
    os.makedirs(tmp_path / "screenshots", exist_ok=True)
    browser.save_screenshot(str(tmp_path / "screenshots" / f"viewer-{width}.png"))
    if width == 420:
        browser.find_element(By.ID, "panel-toggle").click()
        assert wait_for(lambda: not panel.is_displayed(), 300)

    # The slide: stained tissue, not an empty or white canvas; no full-resolution tiles yet.
    pixels = element_pixels(view)
    assert pixels.std() > 20 and (pixels.mean(axis=2) < 200).mean() > 0.2
    assert max(levels_requested(server)) < 12

    # The buttons of the objectives up to the scan's, and the readout follows them.
    buttons = [b.text for b in browser.find_elements(By.CSS_SELECTOR, "#zoom-buttons button")]
    assert buttons == ["1\u00d7", "5\u00d7", "10\u00d7", "20\u00d7", "40\u00d7"]
    browser.find_element(By.XPATH, "//button[.='40\u00d7']").click()
    assert wait_for(lambda: drawn(browser), 300), server.log
    assert browser.find_element(By.ID, "magnification").text == "40\u00d7"
    assert image_zoom(browser) == pytest.approx(1)
    # Full-resolution tiles, one screen pixel per pixel. The server logs a
    # request once it has answered it: the line can come after the drawing.
    assert wait_for(lambda: 12 in levels_requested(server), 300), server.log
    zoomed = element_pixels(view)
    assert zoomed.std() > 20 and not np.array_equal(zoomed, pixels)
    browser.save_screenshot(str(tmp_path / "screenshots" / f"viewer-{width}-40x.png"))
    browser.find_element(By.XPATH, "//button[.='5\u00d7']").click()
    assert wait_for(lambda: drawn(browser), 300)
    assert browser.find_element(By.ID, "magnification").text == "5\u00d7"
    assert image_zoom(browser) == pytest.approx(1 / 8)

    # The ruler: a drag of 200 screen pixels measures 200 / zoom pixels of the slide.
    browser.find_element(By.ID, "ruler-toggle").click()
    ActionChains(browser).move_to_element_with_offset(view, -100, 0).click_and_hold() \
        .move_by_offset(100, 0).move_by_offset(100, 0).release().perform()
    label = script(browser, "return document.querySelector('#view svg.ruler text').textContent")
    measured = float(script(browser, "return document.querySelector('#view svg.ruler').dataset.pixels"))
    assert measured == pytest.approx(200 / (1 / 8), rel=0.02)
    assert label == f"{float(f'{measured * MPP:.3g}'):g} \u00b5m"
    browser.save_screenshot(str(tmp_path / "screenshots" / f"viewer-{width}-ruler.png"))
    # Dragging measured rather than panned.
    assert wait_for(lambda: drawn(browser), 300) and image_zoom(browser) == pytest.approx(1 / 8)


def test_two_slides_side_by_side(serve, slides, browser, tmp_path):
    """At 420 pixels, one above the other."""
    server = serve(slides)
    set_width(browser, 420)
    browser.get(f"{server.url}/view/tissue")
    browser.find_element(By.ID, "panel-toggle").click()
    browser.find_element(By.CSS_SELECTOR, "#compare option[value='section-2']").click()
    assert wait_for(lambda: browser.current_url.endswith("/view/tissue?compare=section-2"), 300)
    assert wait_for(lambda: drawn(browser, 0) and drawn(browser, 1), 300), server.log
    assert wait_for(lambda: {line.split("/slides/")[1].split("_files")[0] for line in server.tile_requests()} ==
                    {"tissue", "section-2"}, 300), server.log
    # Zooming and panning one moves the other to the same place and scale.
    view = browser.find_element(By.ID, "view")
    browser.find_element(By.XPATH, "//button[.='10\u00d7']").click()
    ActionChains(browser).move_to_element(view).click_and_hold().move_by_offset(-80, -40).release().perform()
    assert wait_for(lambda: drawn(browser, 0) and drawn(browser, 1), 300)
    places = script(browser, "return window.tqfViewers.map((v) => { const i = v.world.getItemAt(0);"
                             "const c = i.viewportToImageCoordinates(v.viewport.getCenter(true));"
                             "return [c.x, c.y, i.viewportToImageZoom(v.viewport.getZoom(true))]; });")
    assert places[0] == pytest.approx(places[1], rel=1e-3)
    assert places[0][2] == pytest.approx(0.25)
    assert places[0][0] > 1500 and places[0][1] > 1000  # moved right and down of the centre
    browser.save_screenshot(str(tmp_path / "compare-420.png"))


def test_unknown_page_leads_back_to_the_list(serve, slides, browser):
    server = serve(slides)
    browser.expected_errors.append(r"/view/nope - Failed to load resource: .* 404")
    browser.get(f"{server.url}/view/nope")
    assert browser.find_element(By.TAG_NAME, "h1").text == "Not found"
    browser.find_element(By.LINK_TEXT, "Back to the list of slides").click()
    assert wait_for(lambda: browser.find_elements(By.LINK_TEXT, "section-2"), 300)
