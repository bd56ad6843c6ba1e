// The viewer page: OpenSeadragon over the slide's Deep Zoom tiles, and the
// slide's facts, properties, label and macro beside it.
(function () {
    "use strict";
    const page = document.getElementById("page");

    const viewer = OpenSeadragon({
        id: "view",
        prefixUrl: page.dataset.images,
        tileSources: page.dataset.dzi,
        showNavigator: true,
        navigatorPosition: "TOP_RIGHT",
        maxZoomPixelRatio: 2,
        visibilityRatio: 0.5,
        zoomPerScroll: 1.6,
        timeout: 60000,
    });
    // For scripts and tests driving the page.
    window.tqfViewer = viewer;

    function row(table, name, value) {
        const tr = table.insertRow();
        tr.insertCell().textContent = name;
        tr.insertCell().textContent = value;
    }

    function showFacts(facts) {
        const table = document.getElementById("properties");
        row(table, "dimensions", facts.dimensions.join(" \u00d7 "));
        row(table, "magnification", facts.magnification + "\u00d7");
        row(table, "microns per pixel", facts.mpp ? facts.mpp.join(", ") : "not recorded");
        row(table, "levels", facts.levels.map((l) => l.magnification + "\u00d7").join(", "));
        for (const [name, value] of Object.entries(facts.properties)) {
            row(table, name, value);
        }
        const associated = document.getElementById("associated");
        for (const name of facts.associated_images) {
            const figure = document.createElement("figure");
            const image = document.createElement("img");
            image.src = page.dataset.associated + encodeURIComponent(name) + ".png";
            image.alt = name;
            image.id = "associated-" + name;
            const caption = document.createElement("figcaption");
            caption.textContent = name;
            figure.appendChild(image);
            figure.appendChild(caption);
            associated.appendChild(figure);
        }
        if (facts.mpp) {
            window.tqfScalebar = TqfScalebar(viewer, (facts.mpp[0] + facts.mpp[1]) / 2);
        }
    }

    fetch(page.dataset.properties)
        .then((response) => (response.ok ? response.json() : Promise.reject(new Error(response.statusText))))
        .then(showFacts)
        .catch((error) => {
            const message = document.createElement("p");
            message.className = "error";
            message.textContent = "The slide's properties could not be read: " + error.message;
            document.getElementById("associated").appendChild(message);
        });
})();
