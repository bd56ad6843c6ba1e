// The viewer page: OpenSeadragon over the Deep Zoom tiles of one slide, or
// of two side by side that pan and zoom together; the magnification on
// screen with buttons for the usual objectives, a ruler in micrometres, a
// scale bar, and the slide's facts, properties, label and macro in a side
// panel that folds away.
(function () {
    "use strict";
    const page = document.getElementById("page");
    const panes = Array.from(page.querySelectorAll(".pane"));
    const OBJECTIVES = [1, 5, 10, 20, 40];

    // 0.625 -> "0.625×", 40 -> "40×": at most `digits` significant digits.
    function magnificationText(value, digits) {
        return String(Number(value.toPrecision(digits || 4))) + "\u00d7";
    }

    // A length in micrometres, as "12.3 µm" or "1.25 mm".
    function lengthText(microns) {
        const number = (value) => String(Number(value.toPrecision(3)));
        if (microns >= 1000) {
            return number(microns / 1000) + " mm";
        }
        if (microns >= 1) {
            return number(microns) + " \u00b5m";
        }
        return number(microns * 1000) + " nm";
    }

    const viewers = panes.map((pane) => OpenSeadragon({
        element: pane.querySelector(".view"),
        prefixUrl: page.dataset.images,
        tileSources: pane.dataset.dzi,
        showNavigator: true,
        navigatorPosition: "TOP_RIGHT",
        maxZoomPixelRatio: 2,
        visibilityRatio: 0.5,
        zoomPerScroll: 1.6,
        timeout: 60000,
    }));
    // For scripts and tests driving the page.
    window.tqfViewer = viewers[0];
    window.tqfViewers = viewers;
    // Filled in as each slide's properties arrive.
    const facts = viewers.map(() => null);

    function image(viewer) {
        return viewer.world.getItemAt(0);
    }

    // Screen pixels per pixel of the slide at full resolution.
    function imageZoom(viewer) {
        const item = image(viewer);
        return item ? item.viewportToImageZoom(viewer.viewport.getZoom(true)) : null;
    }

    // -- the side panel ------------------------------------------------------

    const toggle = document.getElementById("panel-toggle");
    function showPanel(shown) {
        page.classList.toggle("panel-closed", !shown);
        toggle.setAttribute("aria-expanded", String(shown));
    }
    showPanel(!window.matchMedia("(max-width: 800px)").matches);
    toggle.addEventListener("click", () => showPanel(page.classList.contains("panel-closed")));

    const compare = document.getElementById("compare");
    if (compare) {
        compare.addEventListener("change", () => {
            window.location.href = compare.dataset.base + (compare.value ? "?compare=" + compare.value : "");
        });
    }

    // -- slides in step -------------------------------------------------------

    // The viewer a person moves leads; the other follows at the same place
    // and scale in micrometres (in pixels when a slide does not tell them).
    let leader = 0;
    viewers.forEach((viewer, index) => {
        for (const type of ["pointerdown", "wheel", "keydown", "touchstart"]) {
            viewer.element.addEventListener(type, () => { leader = index; }, { capture: true, passive: true });
        }
    });

    function micronsPerPixel(index) {
        const f = facts[index];
        return f && f.mpp ? (f.mpp[0] + f.mpp[1]) / 2 : null;
    }

    function follow(from, to) {
        const a = image(viewers[from]), b = image(viewers[to]);
        if (!a || !b) {
            return;
        }
        const mppFrom = micronsPerPixel(from), mppTo = micronsPerPixel(to);
        // Pixels of the follower per pixel of the leader.
        const factor = mppFrom && mppTo ? mppFrom / mppTo : 1;
        const centre = a.viewportToImageCoordinates(viewers[from].viewport.getCenter(true));
        const zoom = a.viewportToImageZoom(viewers[from].viewport.getZoom(true));
        viewers[to].viewport.zoomTo(b.imageToViewportZoom(zoom / factor), null, true);
        viewers[to].viewport.panTo(b.imageToViewportCoordinates(centre.x * factor, centre.y * factor), true);
    }

    if (viewers.length > 1) {
        viewers.forEach((viewer, index) => {
            viewer.addHandler("viewport-change", () => {
                if (index === leader) {
                    viewers.forEach((_, other) => { if (other !== index) { follow(index, other); } });
                }
            });
        });
    }

    // -- magnification ---------------------------------------------------------

    const readout = document.getElementById("magnification");
    const buttons = document.getElementById("zoom-buttons");

    function scanMagnification() {
        return facts[leader] ? facts[leader].magnification : null;
    }

    function showMagnification() {
        const scan = scanMagnification(), zoom = imageZoom(viewers[leader]);
        if (!scan || zoom === null) {
            return;
        }
        const current = scan * zoom;
        readout.textContent = magnificationText(current, 3);
        readout.dataset.value = String(current);
        for (const button of buttons.children) {
            const near = Math.abs(Number(button.dataset.magnification) / current - 1) < 0.02;
            button.setAttribute("aria-pressed", String(near));
        }
    }

    function zoomTo(magnification) {
        const viewer = viewers[leader], item = image(viewer), scan = scanMagnification();
        if (item && scan) {
            viewer.viewport.zoomTo(item.imageToViewportZoom(magnification / scan));
        }
    }

    function makeButtons(scan) {
        buttons.textContent = "";
        for (const m of OBJECTIVES.filter((m) => m <= scan)) {
            const button = document.createElement("button");
            button.type = "button";
            button.textContent = magnificationText(m);
            button.dataset.magnification = String(m);
            button.title = "view at " + magnificationText(m);
            button.addEventListener("click", () => zoomTo(m));
            buttons.appendChild(button);
        }
    }

    for (const type of ["open", "animation", "resize", "viewport-change"]) {
        viewers.forEach((viewer) => viewer.addHandler(type, showMagnification));
    }

    // -- the ruler -----------------------------------------------------------------

    const SVG = "http://www.w3.org/2000/svg";

    // Drag on a view to measure; the line stays until the next one, and
    // moves with the slide.
    function Ruler(viewer, index) {
        const svg = document.createElementNS(SVG, "svg");
        svg.setAttribute("class", "ruler");
        const line = document.createElementNS(SVG, "line");
        const text = document.createElementNS(SVG, "text");
        svg.appendChild(line);
        svg.appendChild(text);
        viewer.container.appendChild(svg);
        let start = null, end = null;

        function toImage(event) {
            const box = viewer.element.getBoundingClientRect();
            return viewer.viewport.viewerElementToImageCoordinates(
                new OpenSeadragon.Point(event.clientX - box.left, event.clientY - box.top));
        }

        function draw() {
            if (!start || !end) {
                svg.classList.remove("drawn");
                return;
            }
            const a = viewer.viewport.imageToViewerElementCoordinates(start);
            const b = viewer.viewport.imageToViewerElementCoordinates(end);
            line.setAttribute("x1", a.x);
            line.setAttribute("y1", a.y);
            line.setAttribute("x2", b.x);
            line.setAttribute("y2", b.y);
            const pixels = Math.hypot(end.x - start.x, end.y - start.y);
            const mpp = micronsPerPixel(index);
            text.textContent = mpp ? lengthText(pixels * mpp) : Math.round(pixels) + " px";
            svg.dataset.pixels = String(pixels);
            text.setAttribute("x", (a.x + b.x) / 2 + 8);
            text.setAttribute("y", (a.y + b.y) / 2 - 8);
            svg.classList.add("drawn");
        }

        svg.addEventListener("pointerdown", (event) => {
            start = end = toImage(event);
            svg.setPointerCapture(event.pointerId);
            draw();
            event.preventDefault();
        });
        svg.addEventListener("pointermove", (event) => {
            if (start && svg.hasPointerCapture(event.pointerId)) {
                end = toImage(event);
                draw();
            }
        });
        svg.addEventListener("pointerup", (event) => {
            if (start && svg.hasPointerCapture(event.pointerId)) {
                end = toImage(event);
                svg.releasePointerCapture(event.pointerId);
                draw();
            }
        });
        for (const type of ["animation", "resize", "open"]) {
            viewer.addHandler(type, draw);
        }
        return {
            element: svg,
            // While on, drags measure instead of panning.
            setActive(active) {
                svg.classList.toggle("active", active);
                if (!active) {
                    start = end = null;
                    draw();
                }
            },
        };
    }

    const rulers = viewers.map((viewer, index) => Ruler(viewer, index));
    window.tqfRulers = rulers;
    const rulerToggle = document.getElementById("ruler-toggle");
    rulerToggle.addEventListener("click", () => {
        const active = rulerToggle.getAttribute("aria-pressed") !== "true";
        rulerToggle.setAttribute("aria-pressed", String(active));
        rulers.forEach((ruler) => ruler.setActive(active));
    });
    document.addEventListener("keydown", (event) => {
        if (event.key === "Escape" && rulerToggle.getAttribute("aria-pressed") === "true") {
            rulerToggle.click();
        }
    });

    // -- facts and properties ---------------------------------------------------

    function row(table, name, value) {
        const tr = table.insertRow();
        tr.insertCell().textContent = name;
        const cell = tr.insertCell();
        if (Array.isArray(value)) {
            value.forEach((part, i) => {
                const span = document.createElement("span");
                span.className = "whole";
                span.textContent = part + (i + 1 < value.length ? "," : "");
                cell.appendChild(span);
                if (i + 1 < value.length) {
                    cell.appendChild(document.createTextNode(" "));
                }
            });
        } else {
            cell.textContent = value;
        }
    }

    function micronsText(mpp) {
        const values = mpp[0] === mpp[1] ? [mpp[0]] : mpp;
        return values.map((v) => String(Number(v.toPrecision(3)))).join(" \u00d7 ") + " \u00b5m";
    }

    function showFacts(index, f) {
        facts[index] = f;
        if (index === 0) {
            const table = document.getElementById("properties");
            row(table, "dimensions", f.dimensions.join(" \u00d7 "));
            row(table, "magnification", magnificationText(f.magnification));
            row(table, "microns per pixel", f.mpp ? micronsText(f.mpp) : "not recorded");
            row(table, "levels", f.levels.map((l) => magnificationText(l.magnification)));
            for (const [name, value] of Object.entries(f.properties)) {
                row(table, name, value);
            }
            const associated = document.getElementById("associated");
            const stamp = panes[0].dataset.stamp;
            for (const name of f.associated_images) {
                const figure = document.createElement("figure");
                const img = document.createElement("img");
                img.src = panes[0].dataset.associated + encodeURIComponent(name) + ".png?v=" + stamp;
                img.alt = name;
                img.id = "associated-" + name;
                const caption = document.createElement("figcaption");
                caption.textContent = name;
                figure.appendChild(img);
                figure.appendChild(caption);
                associated.appendChild(figure);
            }
            makeButtons(f.magnification);
        }
        if (f.mpp) {
            const scalebar = TqfScalebar(viewers[index], micronsPerPixel(index));
            if (index === 0) {
                window.tqfScalebar = scalebar;
            }
        }
        showMagnification();
    }

    panes.forEach((pane, index) => {
        fetch(pane.dataset.properties)
            .then((response) => (response.ok ? response.json() : Promise.reject(new Error(response.statusText))))
            .then((f) => showFacts(index, f))
            .catch((error) => {
                const message = document.createElement("p");
                message.className = "error";
                message.textContent = "The properties of " + pane.dataset.name + " could not be read: " + error.message;
                document.getElementById("associated").appendChild(message);
            });
    });
})();
