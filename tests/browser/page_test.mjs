// Serves an assembled page folder on 127.0.0.1, loads it in Debian's chromium and checks what
// inutil did there: its output bytes, the bells, the terminal's rows, the exit status, and that the
// page stayed quiet and local.
//
//   node page_test.mjs PAGE_DIR WORK_DIR
//
// Leaves WORK_DIR/page.png; exits 1 on any failed check.

import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import puppeteer from "puppeteer-core";

const CHROMIUM = "/usr/bin/chromium";
const GIVE_UP_MS = 60_000;
const SENTENCE = "Este sistema operativo si que es inutil";
const COPIES = 80;
const EXPECTED = Buffer.from(`${SENTENCE}\n\x07`.repeat(COPIES), "latin1");

const MIME = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".mjs": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".wasm": "application/wasm",
};

if (process.argv.length !== 4) {
    console.error("usage: node page_test.mjs PAGE_DIR WORK_DIR");
    process.exit(2);
}
const pageDir = path.resolve(process.argv[2]);
const workDir = path.resolve(process.argv[3]);
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
    // Chromium leads its own process group: end all of it before its profile goes.
    const pid = browser?.process()?.pid;
    if (pid) {
        try {
            process.kill(-pid, "SIGKILL");
        } catch {}
    }
    if (profile) fs.rmSync(profile, { recursive: true, force: true });
    process.exit(1);
}, GIVE_UP_MS).unref();

// A static server for one folder: GET only, files only, nothing outside the folder.
function serve(root) {
    const fileFor = (url) => {
        try {
            const pathname = decodeURIComponent(new URL(url, "http://127.0.0.1").pathname);
            const file = path.join(root, pathname.endsWith("/") ? `${pathname}index.html` : pathname);
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
function check(name, ok, detail) {
    checks.push({ name, ok, detail });
}

const server = await serve(pageDir);
const origin = `http://127.0.0.1:${server.address().port}`;
profile = fs.mkdtempSync(path.join(workDir, "chromium-profile-"));
// Chromium also writes outside its profile (NSS database, caches): keep all of it in WORK_DIR.
const browserEnv = { ...process.env, HOME: profile, XDG_CONFIG_HOME: path.join(profile, "config"), XDG_CACHE_HOME: path.join(profile, "cache") };

const pageErrors = [];
const consoleErrors = [];
const failedRequests = [];
const foreignRequests = [];
const requested = [];

try {
    stage = "launching chromium";
    browser = await puppeteer.launch({
        executablePath: CHROMIUM,
        headless: true,
        env: browserEnv,
        args: [
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            `--user-data-dir=${profile}`,
        ],
    });
    const page = await browser.newPage();
    page.setDefaultTimeout(20_000);
    await page.setViewport({ width: 1000, height: 900 });

    page.on("pageerror", (error) => pageErrors.push(String(error?.message ?? error)));
    page.on("console", (message) => {
        if (message.type() === "error" || message.type() === "assert") {
            consoleErrors.push(message.text());
        }
    });
    page.on("requestfailed", (request) => failedRequests.push(`${request.url()}: ${request.failure()?.errorText}`));
    page.on("response", (response) => {
        if (response.status() >= 400) failedRequests.push(`${response.url()}: HTTP ${response.status()}`);
    });
    await page.setRequestInterception(true);
    page.on("request", (request) => {
        const url = new URL(request.url());
        if (url.protocol === "data:") {
            request.continue();
        } else if (url.origin !== origin) {
            foreignRequests.push(request.url());
            request.abort("blockedbyclient");
        } else {
            requested.push(url.pathname);
            request.continue();
        }
    });

    stage = "loading the page";
    await page.goto(`${origin}/`, { waitUntil: "load" });
    await page.waitForFunction(() => window.inutilResult instanceof Promise);
    stage = "waiting for the program to end";
    const result = await page.evaluate(async () => {
        try {
            const r = await window.inutilResult;
            return { stdout: Array.from(r.stdout), stderr: Array.from(r.stderr), bells: r.bells, exitStatus: r.exitStatus };
        } catch (error) {
            return { error: String(error?.message ?? error) };
        }
    });
    stage = "reading the terminal";
    // The DOM renderer draws on an animation frame: let one pass before reading the rows.
    const screen = await page.evaluate(async () => {
        await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
        return {
            rows: Array.from(document.querySelectorAll("#terminal .xterm-rows > div"), (row) => row.textContent.replaceAll("\u00a0", " ").trimEnd()),
            status: document.getElementById("status")?.textContent ?? null,
        };
    });
    stage = "taking the screenshot";
    await page.screenshot({ path: path.join(workDir, "page.png"), fullPage: true });

    if (result.error !== undefined) {
        check("the program ran", false, `window.inutilResult rejected: ${result.error}`);
    } else {
        const stdout = Buffer.from(result.stdout);
        const at = firstDifference(stdout, EXPECTED);
        check(
            `standard output is the ${EXPECTED.length} expected bytes`,
            stdout.equals(EXPECTED),
            `got ${stdout.length} bytes, first difference at byte ${at}: ${JSON.stringify(stdout.subarray(at, at + 16).toString("latin1"))}`,
        );
        check("nothing on standard error", result.stderr.length === 0, `got ${result.stderr.length} bytes`);
        check(`the bell rang ${COPIES} times`, result.bells === COPIES, `it rang ${result.bells} times`);
        check("the program exited with status 0", result.exitStatus === 0, `exit status ${result.exitStatus}`);
    }

    const shown = screen.rows.slice(0, COPIES);
    const rest = screen.rows.slice(COPIES);
    const wrong = shown.findIndex((row) => row !== SENTENCE);
    check(
        `the terminal shows ${COPIES} lines of the sentence, then nothing`,
        screen.rows.length > COPIES && wrong === -1 && rest.every((row) => row === ""),
        `${screen.rows.length} rows; ${shown.filter((row) => row === SENTENCE).length} of the first ${COPIES} hold the sentence` +
            (wrong === -1 ? "" : `, row ${wrong + 1} is ${JSON.stringify(shown[wrong] ?? null)}`) +
            `; rows after them: ${JSON.stringify(rest.filter((row) => row !== "").slice(0, 3))}`,
    );
    check('#status shows "exit status 0"', screen.status === "exit status 0", `it shows ${JSON.stringify(screen.status)}`);
} catch (error) {
    check("the page loaded and answered", false, String(error?.stack ?? error));
} finally {
    await browser?.close();
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
}

check("no page error", pageErrors.length === 0, pageErrors.join(" | "));
check("no console error", consoleErrors.length === 0, consoleErrors.join(" | "));
check("no failed request", failedRequests.length === 0, failedRequests.join(" | "));
check("no request beyond the local server", foreignRequests.length === 0, foreignRequests.join(" | "));
check(
    "the page fetched index.html and inutil.wasm from the local server",
    requested.includes("/") && requested.includes("/inutil.wasm"),
    `requested: ${requested.join(" ")}`,
);

console.log(`page test: ${pageDir} served at ${origin}, ${requested.length} requests (${[...new Set(requested)].join(" ")})`);
for (const { name, ok, detail } of checks) {
    console.log(ok ? `ok      ${name}` : `FAILED  ${name}: ${detail}`);
}
console.log(`page test: screenshot in ${path.join(workDir, "page.png")}`);
const failed = checks.filter((c) => !c.ok).length;
console.log(`${checks.length - failed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
