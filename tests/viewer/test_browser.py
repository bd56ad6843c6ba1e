"""The viewer in a real browser: headless Chromium (Debian's chromium and
chromium-driver through python3-selenium) opens a slide's page from
`tqf serve`, OpenSeadragon draws it, and zooming in draws finer tiles."""
import io
import os
import re
import socket
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


def start_listening(command, directory, name, env, attempts=3):
    """Starts `command(port)` on a free port of 127.0.0.1 and waits until it
    listens there: a lost port means another try on a new one; a failure
    shows what the program wrote to its log in `directory`."""
    log_path = os.path.join(directory, f"{name}.log")
    for _ in range(attempts):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with open(log_path, "ab") as log:
            process = subprocess.Popen(command(port, log_path), env=env, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while process.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return process, port
            except OSError:
                time.sleep(0.2)
        stop(process)
    with open(log_path, errors="replace") as f:
        pytest.fail(f"{name} did not start:\n" + f.read()[-3000:])


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
    chromium, devtools = start_listening(
        lambda port, log: ["/usr/bin/chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                           f"--remote-debugging-port={port}", "about:blank"], tmp_path, "chromium", env)
    driver_process = None
    try:
        driver_process, port = start_listening(
            lambda port, log: ["/usr/bin/chromedriver", f"--port={port}", f"--log-path={log}"],
            tmp_path, "chromedriver", env)
        options = webdriver.ChromeOptions()
        options.debugger_address = f"127.0.0.1:{devtools}"
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Remote(command_executor=f"http://127.0.0.1:{port}", options=options)
        driver.set_page_load_timeout(60)
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
    assert wait_for(lambda: drawn(browser), 60), server.log
    # The slide: stained tissue, not an empty or white canvas.
    pixels = view_pixels(browser)
    assert pixels.std() > 20 and (pixels.mean(axis=2) < 200).mean() > 0.3
    first = levels_requested(server)
    assert first and max(first) < 12  # the whole slide fits: no full-resolution tiles yet

    # Scale bar from the microns per pixel; properties, label and macro beside the view.
    assert wait_for(lambda: browser.execute_script(
        "const bar = document.querySelector('.scalebar'); return bar && bar.textContent"), 10).endswith("\u00b5m")
    table = browser.find_element(By.ID, "properties").text
    assert "3000 \u00d7 2000" in table and "openslide.objective-power 40" in table
    for name in ("label", "macro"):
        assert wait_for(lambda: browser.execute_script(
            f"const i = document.getElementById('associated-{name}'); return i && i.complete && i.naturalWidth"), 10)

    # To full resolution (one screen pixel per pixel): its tiles are asked for and drawn.
    browser.execute_script("const v = window.tqfViewer; v.viewport.zoomTo(v.viewport.getMaxZoom() / 2, null, true);")
    assert wait_for(lambda: 12 in levels_requested(server), 60), server.log
    assert wait_for(lambda: drawn(browser), 60), server.log
    zoomed = view_pixels(browser)
    assert zoomed.std() > 20 and not np.array_equal(zoomed, pixels)
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert not errors, errors
