// Runs inutil.wasm under a WASI shim and shows its standard output in a terminal.
//
// For tests and the curious, window.inutilResult is a promise that resolves, once the program has
// ended and the terminal has taken in all its output, to
//   { stdout: Uint8Array, stderr: Uint8Array, bells: number, exitStatus: number }
// where stdout and stderr hold exactly the bytes the module passed to fd_write on fd 1 and fd 2, and
// bells counts the terminal's onBell events. It rejects if the module cannot be loaded or traps.

import { Terminal } from "./vendor/xterm/xterm.module.js";
import { WASI, File, OpenFile, ConsoleStdout } from "./vendor/browser_wasi_shim/index.js";

// One row more than the program's 80 lines, so the cursor's final line never scrolls the first away.
const ROWS = 81;
const COLS = 80;
const BELL_FLASH_MS = 150;

const statusElement = document.getElementById("status");
const bellsElement = document.getElementById("bells");
const terminalElement = document.getElementById("terminal");

const term = new Terminal({
    rows: ROWS,
    cols: COLS,
    // The program writes bare LF, as it would to a tty whose driver adds the CR.
    convertEol: true,
    disableStdin: true,
    cursorBlink: false,
    fontFamily: '"DejaVu Sans Mono", ui-monospace, monospace',
    fontSize: 14,
});
term.open(terminalElement);

let bells = 0;
let flashTimer;
term.onBell(() => {
    bells += 1;
    bellsElement.textContent = `bell rang ${bells} time${bells === 1 ? "" : "s"}`;
    terminalElement.classList.add("bell");
    clearTimeout(flashTimer);
    flashTimer = setTimeout(() => terminalElement.classList.remove("bell"), BELL_FLASH_MS);
});

// Collects what one descriptor receives and echoes it to the terminal.
function terminalOutput(chunks) {
    return new ConsoleStdout((bytes) => {
        chunks.push(bytes);
        term.write(bytes);
    });
}

function concat(chunks) {
    const all = new Uint8Array(chunks.reduce((n, chunk) => n + chunk.byteLength, 0));
    let offset = 0;
    for (const chunk of chunks) {
        all.set(chunk, offset);
        offset += chunk.byteLength;
    }
    return all;
}

async function run() {
    const stdout = [];
    const stderr = [];
    const wasi = new WASI(["inutil"], [], [new OpenFile(new File([])), terminalOutput(stdout), terminalOutput(stderr)]);

    const response = await fetch("inutil.wasm");
    if (!response.ok) {
        throw new Error(`inutil.wasm: HTTP ${response.status}`);
    }
    // A plain buffer rather than instantiateStreaming, so a server that does not label .wasm as
    // application/wasm still works.
    const { instance } = await WebAssembly.instantiate(await response.arrayBuffer(), {
        wasi_snapshot_preview1: wasi.wasiImport,
    });

    statusElement.textContent = "running…";
    // start() returns proc_exit's code, or 0 when _start returns.
    const exitStatus = wasi.start(instance);

    // The terminal parses asynchronously: count bells only once it has handled every byte.
    await new Promise((resolve) => term.write("", resolve));
    return { stdout: concat(stdout), stderr: concat(stderr), bells, exitStatus };
}

window.inutilResult = run().then(
    (result) => {
        statusElement.textContent = `exit status ${result.exitStatus}`;
        statusElement.classList.add("done");
        return result;
    },
    (error) => {
        statusElement.textContent = `failed: ${error.message}`;
        statusElement.classList.add("failed");
        console.error("inutil:", error);
        throw error;
    },
);
