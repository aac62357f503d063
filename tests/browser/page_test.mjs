// Opens an assembled page folder in Debian's chromium or firefox-esr, once from file:// and once from
// a loopback server under a sub-path, and checks what inutil did there: its output bytes, the bells,
// the terminal's rows, the exit status, a click on Run and the tones it starts, the mute control, the
// page at 375 px, and that the page stayed quiet and inside its folder. Copies of the page with a
// part missing or broken must say so in their status line.
//
//   node page_test.mjs chromium|firefox PAGE_DIR WORK_DIR EXPECTED_FILE
//
// EXPECTED_FILE holds the program's expected output (tests/expected/lf).
// Leaves WORK_DIR/<browser>-<file|loopback>-<1000|375>.png; exits 1 on any failed check.

import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";

const BROWSERS = {
    chromium: {
        browser: "chrome",
        executablePath: "/usr/bin/chromium",
        // Headless, it plays to a sound device of its own: a context started by a click runs.
        audioRuns: true,
        args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync"],
    },
    // Puppeteer speaks WebDriver BiDi to Firefox. Firefox runs an audio context only once a sound
    // device answers, which on a machine without one happens now and then: only its tones are counted.
    firefox: { browser: "firefox", executablePath: "/usr/bin/firefox-esr", audioRuns: false, args: [] },
};
const GIVE_UP_MS = 150_000;
// The loopback server puts the page here, to show that it does not rely on being at the root.
const SUB_PATH = "/under/a/sub-path/";
const WIDE = { width: 1000, height: 900 };
const NARROW = { width: 375, height: 800 };

// Copies of the page with a fault, and what their status line must then say.
const FAULTS = [
    { name: "no script", status: /^failed: .*inutil\.js.* did not run/, make: (dir) => fs.rmSync(path.join(dir, "inutil.js")) },
    {
        // The module is embedded as base64; "AGFzbQEAAAA" is "\0asm" and version 1. Version 2 does not exist.
        name: "a module that does not compile",
        status: /^failed: .*could not compile/,
        make: (dir) => {
            const script = path.join(dir, "inutil.js");
            const text = fs.readFileSync(script, "latin1");
            if (!text.includes("AGFzbQEAAAA")) throw new Error("inutil.js holds no embedded module");
            fs.writeFileSync(script, text.replace("AGFzbQEAAAA", "AGFzbQIAAAA"), "latin1");
        },
    },
];

const MIME = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".wasm": "application/wasm",
};

if (process.argv.length !== 6 || !(process.argv[2] in BROWSERS)) {
    console.error(`usage: node page_test.mjs ${Object.keys(BROWSERS).join("|")} PAGE_DIR WORK_DIR EXPECTED_FILE`);
    process.exit(2);
}
const browserName = process.argv[2];
const pageDir = path.resolve(process.argv[3]);
const workDir = path.resolve(process.argv[4]);
// The terminal's rows follow from the expected bytes: split at line feeds, the first piece is the
// sentence and each further one a BEL, then the sentence again (the last, the final BEL alone).
const EXPECTED = fs.readFileSync(process.argv[5]);
const PIECES = EXPECTED.toString("latin1").split("\n");
const SENTENCE = PIECES[0];
const COPIES = PIECES.length - 1;
if (!fs.existsSync(BROWSERS[browserName].executablePath)) {
    console.error(`page test: ${BROWSERS[browserName].executablePath} is missing (apt-get install -y ${path.basename(BROWSERS[browserName].executablePath)})`);
    process.exit(1);
}
if (!fs.existsSync(path.join(pageDir, "index.html"))) {
    console.error(`page test: ${pageDir} has no index.html`);
    process.exit(2);
}

let browser;
let profile;
let stage = "starting";
// Never hang: whatever is stuck, stop here and say where.
setTimeout(() => {
    console.error(`page test: FAILED: gave up after ${GIVE_UP_MS / 1000} s while ${stage}`);
    // The browser leads its own process group: end all of it before its profile goes.
    const pid = browser?.process()?.pid;
    if (pid) {
        try {
            process.kill(-pid, "SIGKILL");
        } catch {}
    }
    if (profile) fs.rmSync(profile, { recursive: true, force: true });
    process.exit(1);
}, GIVE_UP_MS).unref();

// A static server that holds one folder under SUB_PATH: GET only, files only, nothing else.
function serve(root) {
    const fileFor = (url) => {
        try {
            const pathname = decodeURIComponent(new URL(url, "http://127.0.0.1").pathname);
            if (!pathname.startsWith(SUB_PATH)) return null;
            const inside = pathname.slice(SUB_PATH.length);
            const file = path.join(root, inside === "" || inside.endsWith("/") ? `${inside}index.html` : inside);
            return file.startsWith(root + path.sep) && fs.statSync(file, { throwIfNoEntry: false })?.isFile() ? file : null;
        } catch {
            return null;
        }
    };
    const server = http.createServer((request, response) => {
        const file = request.method === "GET" ? fileFor(request.url) : null;
        if (file === null) {
            response.writeHead(404).end();
            return;
        }
        response.writeHead(200, { "Content-Type": MIME[path.extname(file)] ?? "application/octet-stream", "Cache-Control": "no-store" });
        fs.createReadStream(file).pipe(response);
    });
    return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

function firstDifference(a, b) {
    const n = Math.min(a.length, b.length);
    for (let i = 0; i < n; i++) {
        if (a[i] !== b[i]) return i;
    }
    return n;
}

const checks = [];
const notes = [];
function check(name, ok, detail) {
    checks.push({ name, ok, detail });
}

// Counts the tones the page starts, whatever node it makes them with, and keeps its audio contexts;
// runs before the page's script.
function hookAudio() {
    window.tonesStarted = 0;
    window.audioContexts = [];
    const Context = window.AudioContext;
    if (Context) {
        window.AudioContext = class extends Context {
            constructor(...args) {
                super(...args);
                window.audioContexts.push(this);
            }
        };
    }
    const node = window.AudioScheduledSourceNode ?? window.OscillatorNode;
    if (!node) return;
    const start = node.prototype.start;
    node.prototype.start = function (...args) {
        window.tonesStarted += 1;
        return start.apply(this, args);
    };
}

// The latest run's result, with bytes as arrays so that they cross over to Node.
async function latestRun(page) {
    return page.evaluate(async () => {
        try {
            const r = await window.inutilResult;
            return {
                stdout: Array.from(r.stdout),
                stderr: Array.from(r.stderr),
                bells: r.bells,
                exitStatus: r.exitStatus,
                tones: window.tonesStarted,
                audio: window.audioContexts.map((context) => context.state),
            };
        } catch (error) {
            return { error: String(error?.message ?? error), tones: window.tonesStarted };
        }
    });
}

// What a user sees: the terminal's rows, the status line, the widths of the page and the terminal.
async function screen(page) {
    return page.evaluate(async () => {
        // The DOM renderer draws on an animation frame: let one pass before reading the rows.
        await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
        const frame = document.getElementById("terminal");
        return {
            rows: Array.from(document.querySelectorAll("#terminal .xterm-rows > div"), (row) => row.textContent.replaceAll("\u00a0", " ").trimEnd()),
            status: document.getElementById("status")?.innerText ?? null,
            pageWidth: document.documentElement.scrollWidth,
            viewportWidth: document.documentElement.clientWidth,
            terminalWidth: frame.querySelector(".xterm-screen")?.getBoundingClientRect().width ?? 0,
            frameScrolls: frame.scrollWidth > frame.clientWidth,
            frameRight: frame.getBoundingClientRect().right,
        };
    });
}

// Waits until predicate(arg) holds in the page. Puppeteer's own waiting builds the predicate inside
// the page with eval, which the page's Content-Security-Policy forbids in Debian 12's Firefox ESR 140.
async function waitUntil(page, predicate, arg, timeoutMs = 20_000) {
    const giveUp = Date.now() + timeoutMs;
    while (!(await page.evaluate(predicate, arg))) {
        if (Date.now() > giveUp) throw new Error(`waited ${timeoutMs / 1000} s in vain for ${predicate}`);
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
}

// A screenshot once the visual bell's flash is over, fade included.
async function screenshot(page, name) {
    await waitUntil(page, () => !document.getElementById("terminal").classList.contains("bell"));
    await page.evaluate(() => Promise.all(document.getAnimations().map((animation) => animation.finished)));
    await page.screenshot({ path: path.join(workDir, name), fullPage: true });
}

// Checks a run of the program, as window.inutilResult and the terminal show it.
function checkRun(label, result, shown) {
    if (result.error !== undefined) {
        check(`${label}: the program ran`, false, `window.inutilResult rejected: ${result.error}`);
    } else {
        const stdout = Buffer.from(result.stdout);
        const at = firstDifference(stdout, EXPECTED);
        check(
            `${label}: standard output is the ${EXPECTED.length} expected bytes`,
            stdout.equals(EXPECTED),
            `got ${stdout.length} bytes, first difference at byte ${at}: ${JSON.stringify(stdout.subarray(at, at + 16).toString("latin1"))}`,
        );
        check(`${label}: nothing on standard error`, result.stderr.length === 0, `got ${result.stderr.length} bytes`);
        check(`${label}: the bell rang ${COPIES} times`, result.bells === COPIES, `it rang ${result.bells} times`);
        check(`${label}: the program exited with status 0`, result.exitStatus === 0, `exit status ${result.exitStatus}`);
    }
    const lines = shown.rows.slice(0, COPIES);
    const rest = shown.rows.slice(COPIES);
    const wrong = lines.findIndex((row) => row !== SENTENCE);
    check(
        `${label}: the terminal shows ${COPIES} lines of the sentence, then nothing`,
        shown.rows.length > COPIES && wrong === -1 && rest.every((row) => row === ""),
        `${shown.rows.length} rows; ${lines.filter((row) => row === SENTENCE).length} of the first ${COPIES} hold the sentence` +
            (wrong === -1 ? "" : `, row ${wrong + 1} is ${JSON.stringify(lines[wrong] ?? null)}`) +
            `; rows after them: ${JSON.stringify(rest.filter((row) => row !== "").slice(0, 3))}`,
    );
    check(`${label}: #status shows "exit status 0"`, shown.status === "exit status 0", `it shows ${JSON.stringify(shown.status)}`);
}

// Debian 12's Firefox ESR 140 sets the viewport but knows no screen-orientation command, which
// puppeteer sends with it: that one refusal is let pass, and the width that took is checked instead.
async function setViewport(page, viewport) {
    try {
        await page.setViewport(viewport);
    } catch (error) {
        if (!String(error?.message).includes("unknown command emulation.setScreenOrientationOverride")) throw error;
    }
    const took = await waitUntil(page, (width) => window.innerWidth === width, viewport.width, 5_000).then(() => true, () => false);
    const width = await page.evaluate(() => window.innerWidth);
    check(`the viewport is set to ${viewport.width} px`, took, `it is ${width} px wide`);
}

// A new tab that records its errors and every request it makes.
async function openTab(viewport) {
    const page = await browser.newPage();
    page.setDefaultTimeout(20_000);
    await setViewport(page, viewport);
    const seen = { pageErrors: [], consoleErrors: [], failedRequests: [], requests: [] };
    page.on("pageerror", (error) => seen.pageErrors.push(String(error?.message ?? error)));
    page.on("console", (message) => {
        if (message.type() === "error" || message.type() === "assert") seen.consoleErrors.push(message.text());
    });
    page.on("request", (request) => seen.requests.push(request.url()));
    page.on("requestfailed", (request) => seen.failedRequests.push(`${request.url()}: ${request.failure()?.errorText}`));
    page.on("response", (response) => {
        if (response.status() >= 400) seen.failedRequests.push(`${response.url()}: HTTP ${response.status()}`);
    });
    await page.evaluateOnNewDocument(hookAudio);
    return { page, seen };
}

// Clicks the Run button and waits for the run it starts.
async function clickRun(page) {
    await waitUntil(page, () => document.querySelector("#run:not([disabled])") !== null);
    await page.evaluate(() => (window.previousRun = window.inutilResult));
    await page.click("#run");
    await waitUntil(page, () => window.inutilResult !== window.previousRun);
    return latestRun(page);
}

// The whole visit of one page: at load, after Run, muted, and at 375 px.
async function visit(mode, url, folder) {
    const label = `${browserName} ${mode}`;
    const { page, seen } = await openTab(WIDE);
    try {
        stage = `${label}: loading the page`;
        await page.goto(url, { waitUntil: "load" });
        await waitUntil(page, () => window.inutilResult instanceof Promise);
        stage = `${label}: waiting for the program to end`;
        const atLoad = await latestRun(page);
        const wide = await screen(page);
        checkRun(`${label}, at load`, atLoad, wide);
        check(
            `${label}, at load: no tone and no audio context before the user's click`,
            atLoad.tones === 0 && atLoad.audio.length === 0,
            `${atLoad.tones} tones started, audio contexts: ${JSON.stringify(atLoad.audio)}`,
        );
        check(`${label}: at ${WIDE.width} px the terminal shows all its columns`, !wide.frameScrolls, "its frame scrolls sideways");
        await screenshot(page, `${browserName}-${mode}-${WIDE.width}.png`);

        stage = `${label}: clicking Run`;
        const clicked = await clickRun(page);
        checkRun(`${label}, after a click on Run`, clicked, await screen(page));
        check(`${label}, after a click on Run: ${COPIES} tones started`, clicked.tones === COPIES, `${clicked.tones} tones started`);
        if (BROWSERS[browserName].audioRuns) {
            // The context starts once the sound device answers, which may be after the run.
            const audible = await waitUntil(page, () => window.audioContexts.length === 1 && window.audioContexts[0].state === "running")
                .then(() => true, () => false);
            check(
                `${label}, after a click on Run: the page's one audio context is running`,
                audible,
                `audio contexts: ${JSON.stringify(await page.evaluate(() => window.audioContexts.map((context) => context.state)))}`,
            );
        }

        stage = `${label}: muting`;
        await page.click("#mute");
        await page.reload({ waitUntil: "load" });
        await waitUntil(page, () => window.inutilResult instanceof Promise);
        await latestRun(page);
        const remembered = await page.$eval("#mute", (box) => box.checked);
        check(`${label}: the mute control is remembered over a reload`, remembered, "it is unchecked after the reload");
        const muted = await clickRun(page);
        check(`${label}, muted: a click on Run still runs the program`, muted.exitStatus === 0, JSON.stringify(muted.error ?? muted.exitStatus));
        check(`${label}, muted: no tone started`, muted.tones === 0, `${muted.tones} tones started`);

        stage = `${label}: at ${NARROW.width} px`;
        await setViewport(page, NARROW);
        const narrow = await screen(page);
        check(
            `${label}: at ${NARROW.width} px the page does not scroll sideways`,
            narrow.pageWidth <= narrow.viewportWidth && narrow.frameRight <= narrow.viewportWidth,
            `the page is ${narrow.pageWidth} px wide in a ${narrow.viewportWidth} px viewport; the terminal's frame ends at ${narrow.frameRight} px`,
        );
        check(
            `${label}: at ${NARROW.width} px the terminal keeps its ${wide.terminalWidth} px (80 columns) and scrolls inside its frame`,
            narrow.terminalWidth === wide.terminalWidth && wide.terminalWidth > 0 && narrow.frameScrolls,
            `it is ${narrow.terminalWidth} px wide; its frame ${narrow.frameScrolls ? "scrolls" : "does not scroll"}`,
        );
        check(`${label}: at ${NARROW.width} px the terminal still shows the ${COPIES} lines`, narrow.rows.filter((row) => row === SENTENCE).length === COPIES, `${narrow.rows.filter((row) => row === SENTENCE).length} lines`);
        await screenshot(page, `${browserName}-${mode}-${NARROW.width}.png`);
    } catch (error) {
        check(`${label}: the page loaded and answered`, false, String(error?.stack ?? error));
    } finally {
        await page.close();
    }

    check(`${label}: no page error`, seen.pageErrors.length === 0, seen.pageErrors.join(" | "));
    check(`${label}: no console error`, seen.consoleErrors.length === 0, seen.consoleErrors.join(" | "));
    check(`${label}: no failed request`, seen.failedRequests.length === 0, seen.failedRequests.join(" | "));
    notes.push(`${label}: ${seen.requests.length} requests seen: ${seen.requests.map((url) => url.replace(folder, "")).join(" ")}`);
    const outside = seen.requests.filter((url) => !url.startsWith(folder) && !url.startsWith("data:"));
    check(`${label}: no request outside the page's folder`, outside.length === 0, outside.join(" | "));
    return seen.requests;
}

// A copy of the page with a fault must say what failed, not stay on "loading".
async function visitBroken(fault) {
    const label = `${browserName} file, ${fault.name}`;
    const dir = path.join(workDir, `broken-${FAULTS.indexOf(fault)}`);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.cpSync(pageDir, dir, { recursive: true });
    fault.make(dir);
    const { page } = await openTab(WIDE);
    try {
        stage = `${label}: loading the page`;
        await page.goto(pathToFileURL(path.join(dir, "index.html")).href, { waitUntil: "load" });
        // The status line's fallback waits a while for the script: skip the wait.
        const status = await page.evaluate(async () => {
            await window.inutilResult?.catch(() => {});
            for (const animation of document.getAnimations()) animation.finish();
            return document.getElementById("status").innerText;
        });
        check(`${label}: #status says what failed`, fault.status.test(status), `it shows ${JSON.stringify(status)}`);
    } catch (error) {
        check(`${label}: the page loaded and answered`, false, String(error?.stack ?? error));
    } finally {
        await page.close();
    }
}

const server = await serve(pageDir);
const pageUrl = `http://127.0.0.1:${server.address().port}${SUB_PATH}`;
const fileFolder = pathToFileURL(pageDir).href + "/";
profile = fs.mkdtempSync(path.join(workDir, `${browserName}-profile-`));
// Browsers also write outside their profile (NSS database, caches, the sound client's runtime folder):
// keep all of it here.
const browserEnv = {
    ...process.env,
    HOME: profile,
    XDG_CONFIG_HOME: path.join(profile, "config"),
    XDG_CACHE_HOME: path.join(profile, "cache"),
    XDG_RUNTIME_DIR: path.join(profile, "runtime"),
};
fs.mkdirSync(browserEnv.XDG_RUNTIME_DIR, { mode: 0o700 });

let served = [];
try {
    stage = `launching ${browserName}`;
    const { browser: product, executablePath, args } = BROWSERS[browserName];
    browser = await puppeteer.launch({ browser: product, executablePath, args, headless: true, env: browserEnv, userDataDir: profile });
    await visit("file", `${fileFolder}index.html`, fileFolder);
    served = await visit("loopback", pageUrl, pageUrl);
    for (const fault of FAULTS) await visitBroken(fault);
} catch (error) {
    check(`${browserName} started`, false, String(error?.stack ?? error));
} finally {
    await browser?.close();
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
}

const servedPaths = new Set(served.map((url) => new URL(url).pathname.slice(SUB_PATH.length - 1)));
check(
    `${browserName} loopback: the page loaded its script and style from the server`,
    ["/", "/inutil.js", "/inutil.css"].every((p) => servedPaths.has(p)),
    `requested: ${[...servedPaths].join(" ")}`,
);

console.log(`page test: ${pageDir} in ${browserName}, from ${fileFolder} and ${pageUrl}`);
for (const note of notes) console.log(note);
for (const { name, ok, detail } of checks) {
    console.log(ok ? `ok      ${name}` : `FAILED  ${name}: ${detail}`);
}
console.log(`page test: screenshots in ${workDir}`);
const failed = checks.filter((c) => !c.ok).length;
console.log(`${checks.length - failed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
