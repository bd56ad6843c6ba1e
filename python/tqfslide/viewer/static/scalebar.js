// A scale bar for an OpenSeadragon viewer from the slide's microns per
// pixel: a bar of a round length (1, 2 or 5 times a power of ten) that is
// at most `maxWidth` screen pixels wide at the current zoom.
(function () {
    "use strict";

    function roundLength(limit) {
        const power = Math.pow(10, Math.floor(Math.log10(limit)));
        for (const step of [5, 2, 1]) {
            if (step * power <= limit) {
                return step * power;
            }
        }
        return power;
    }

    function label(microns) {
        const number = (value) => String(Number(value.toPrecision(3)));
        if (microns >= 1000) {
            return number(microns / 1000) + " mm";
        }
        if (microns >= 1) {
            return number(microns) + " \u00b5m";
        }
        return number(microns * 1000) + " nm";
    }

    window.TqfScalebar = function (viewer, micronsPerPixel, maxWidth) {
        maxWidth = maxWidth || 160;
        const box = document.createElement("div");
        box.className = "scalebar";
        const bar = document.createElement("div");
        bar.className = "bar";
        const text = document.createElement("div");
        box.appendChild(bar);
        box.appendChild(text);
        viewer.container.appendChild(box);

        function update() {
            const image = viewer.world.getItemAt(0);
            if (!image) {
                return;
            }
            // Screen pixels per pixel of the slide at full resolution.
            const zoom = image.viewportToImageZoom(viewer.viewport.getZoom(true));
            const micronsPerScreenPixel = micronsPerPixel / zoom;
            const length = roundLength(micronsPerScreenPixel * maxWidth);
            bar.style.width = Math.round(length / micronsPerScreenPixel) + "px";
            text.textContent = label(length);
            box.dataset.microns = String(length);
        }

        viewer.addHandler("open", update);
        viewer.addHandler("animation", update);
        viewer.addHandler("resize", update);
        update();
        return { update: update, element: box };
    };
})();
