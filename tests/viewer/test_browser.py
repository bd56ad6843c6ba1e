"""The viewer in a real browser: headless Chromium (Debian's chromium and
chromium-driver through python3-selenium) opens a slide's page from
`tqf serve`, OpenSeadragon draws it, and zooming in draws finer tiles."""
import io
import os
import re
import subprocess
import tempfile
import time

import numpy as np
import pytest
from conftest import wait_for
from PIL import Image
from selenium import webdriver
from selenium.webdriver.common.by import By

# Headless, and nothing that reaches for the network or a profile of the machine.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--no-first-run", "--window-size=1100,800"]


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
        yield driver
        driver.quit()
    finally:
        if driver_process is not None:
            stop(driver_process)
        stop(chromium)


def drawn(browser):
    """True once OpenSeadragon has every tile of the current view."""
    return browser.execute_script(
        "const v = window.tqfViewer, image = v && v.world.getItemAt(0);"
        "return Boolean(image && image.getFullyLoaded()"
        " && Math.abs(v.viewport.getZoom(true) - v.viewport.getZoom()) < 1e-9);")


def levels_requested(server):
    return {int(re.search(r"_files/(\d+)/", line).group(1)) for line in server.tile_requests()}


def view_pixels(browser):
    shot = browser.find_element(By.ID, "view").screenshot_as_png
    return np.asarray(Image.open(io.BytesIO(shot)).convert("RGB"), dtype=float)


def test_viewer_draws_and_zooms(serve, tissue, browser):
    server = serve(tissue.parent)
    browser.get(f"{server.url}/")
    browser.find_element(By.LINK_TEXT, "tissue").click()
    assert wait_for(lambda: drawn(browser), 120), server.log
    # The slide: stained tissue, not an empty or white canvas.
    pixels = view_pixels(browser)
    assert pixels.std() > 20 and (pixels.mean(axis=2) < 200).mean() > 0.3
    first = levels_requested(server)
    assert first and max(first) < 12  # the whole slide fits: no full-resolution tiles yet

    # Scale bar from the microns per pixel; properties, label and macro beside the view.
    assert wait_for(lambda: browser.execute_script(
        "const bar = document.querySelector('.scalebar'); return bar && bar.textContent"), 120).endswith("\u00b5m")
    table = browser.find_element(By.ID, "properties").text
    assert "3000 \u00d7 2000" in table and "openslide.objective-power 40" in table
    for name in ("label", "macro"):
        assert wait_for(lambda: browser.execute_script(
            f"const i = document.getElementById('associated-{name}'); return i && i.complete && i.naturalWidth"), 120)

    # To full resolution (one screen pixel per pixel): its tiles are asked for and drawn.
    browser.execute_script("const v = window.tqfViewer; v.viewport.zoomTo(v.viewport.getMaxZoom() / 2, null, true);")
    assert wait_for(lambda: 12 in levels_requested(server), 120), server.log
    assert wait_for(lambda: drawn(browser), 120), server.log
    zoomed = view_pixels(browser)
    assert zoomed.std() > 20 and not np.array_equal(zoomed, pixels)
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert not errors, errors
