// Runs inutil.wasm under a WASI shim and shows its standard output in a terminal. web/assemble
// bundles this file, the libraries and the module into one classic script, so that the page also
// runs when opened from disk, where browsers load neither modules nor files by fetch().
//
// The run at load is silent: browsers allow no sound before the user's first gesture. A run started
// with the Run button rings each bell with a short tone, unless muted.
//
// For tests and the curious, window.inutilResult is a promise for the latest run, replaced by each
// click on Run. It resolves, once the program has ended and the terminal has taken in all its
// output, to
//   { stdout: Uint8Array, stderr: Uint8Array, bells: number, exitStatus: number }
// where stdout and stderr hold exactly the bytes the module passed to fd_write on fd 1 and fd 2, and
// bells counts the terminal's onBell events. It rejects if the module cannot be loaded or traps.

import { Terminal } from "@xterm/xterm";
import "@xterm/xterm/css/xterm.css";
import { WASI, File, OpenFile, ConsoleStdout } from "@bjorn3/browser_wasi_shim";
import moduleBytes from "./inutil.wasm";
import "./style.css";

// One row more than the program's 80 lines, so the cursor's final line never scrolls the first away.
const ROWS = 81;
const COLS = 80;
const BELL_FLASH_MS = 150;
// A bell tone: its pitch, length and loudness, and the time from one tone's start to the next, so
// that 80 bells written at once are still 80 tones.
const TONE_HZ = 880;
const TONE_SECONDS = 0.06;
const TONE_VOLUME = 0.2;
const TONE_SPACING = 0.1;
const MUTE_KEY = "inutil.mute";

const statusElement = document.getElementById("status");
const bellsElement = document.getElementById("bells");
const terminalElement = document.getElementById("terminal");
const runButton = document.getElementById("run");
const muteBox = document.getElementById("mute");

function setStatus(text, state) {
    statusElement.textContent = text;
    statusElement.className = state ?? "";
}

// Storage may be turned off, or refused to a page opened from disk: then the choice lasts this visit.
const storage = {
    get() {
        try {
            return window.localStorage.getItem(MUTE_KEY) === "1";
        } catch {
            return false;
        }
    },
    set(muted) {
        try {
            window.localStorage.setItem(MUTE_KEY, muted ? "1" : "0");
        } catch {}
    },
};

// The sound of the bell. The context is made on the first click, inside the user's gesture.
const AudioContextClass = window.AudioContext ?? window.webkitAudioContext;
let audio = null;
let voice = null; // the current run's output: a new run cuts off the tones still due from the last
let nextTone = 0;

function startVoice() {
    voice?.disconnect();
    voice = null;
    nextTone = 0;
    if (!AudioContextClass) return;
    // Without sound the run still goes on, with the visual bell alone.
    try {
        audio ??= new AudioContextClass();
        audio.resume().catch(() => {});
        voice = audio.createGain();
        voice.gain.value = muteBox.checked ? 0 : 1;
        voice.connect(audio.destination);
    } catch (error) {
        console.warn("inutil: no sound:", error);
        voice = null;
    }
}

function tone() {
    const at = Math.max(audio.currentTime, nextTone);
    nextTone = at + TONE_SPACING;
    const oscillator = audio.createOscillator();
    const envelope = audio.createGain();
    oscillator.frequency.value = TONE_HZ;
    // Rise and fall over a few milliseconds: a tone cut off square clicks.
    envelope.gain.setValueAtTime(0, at);
    envelope.gain.linearRampToValueAtTime(TONE_VOLUME, at + 0.005);
    envelope.gain.linearRampToValueAtTime(0, at + TONE_SECONDS);
    oscillator.connect(envelope).connect(voice);
    oscillator.start(at);
    oscillator.stop(at + TONE_SECONDS);
}

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
    if (voice && !muteBox.checked) tone();
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

// An error with a message for the status line, in the user's words.
function failure(words, cause) {
    const error = new Error(`${words}${cause ? ` (${cause.message ?? cause})` : ""}`);
    error.cause = cause;
    return error;
}

async function compile() {
    if (typeof WebAssembly !== "object") {
        throw failure("this browser runs no WebAssembly: it lacks it, or it is turned off");
    }
    try {
        return await WebAssembly.compile(moduleBytes);
    } catch (error) {
        throw failure("this browser could not compile the program's WebAssembly module", error);
    }
}

async function run(module) {
    const stdout = [];
    const stderr = [];
    const wasi = new WASI(["inutil"], [], [new OpenFile(new File([])), terminalOutput(stdout), terminalOutput(stderr)]);
    let instance;
    try {
        instance = await WebAssembly.instantiate(module, { wasi_snapshot_preview1: wasi.wasiImport });
    } catch (error) {
        throw failure("the program's module could not be started", error);
    }
    setStatus("running…");
    let exitStatus;
    try {
        // start() returns proc_exit's code, or 0 when _start returns.
        exitStatus = wasi.start(instance);
    } catch (error) {
        throw failure("the program stopped with an error", error);
    }
    // The terminal parses asynchronously: count bells only once it has handled every byte.
    await new Promise((resolve) => term.write("", resolve));
    return { stdout: concat(stdout), stderr: concat(stderr), bells, exitStatus };
}

// Starts a run and shows how it ends; the promise is window.inutilResult.
function show(result) {
    runButton.disabled = true;
    const shown = result.then(
        (r) => {
            setStatus(`exit status ${r.exitStatus}`, "done");
            return r;
        },
        (error) => {
            setStatus(`failed: ${error.message}`, "failed");
            console.error("inutil:", error.cause ?? error);
            throw error;
        },
    );
    shown.then(() => (runButton.disabled = false), () => {});
    window.inutilResult = shown;
}

muteBox.checked = storage.get();
muteBox.addEventListener("change", () => {
    storage.set(muteBox.checked);
    if (voice) voice.gain.value = muteBox.checked ? 0 : 1;
});

setStatus("starting…");
const compiled = compile();
show(compiled.then(run));
runButton.addEventListener("click", () => {
    term.reset();
    bells = 0;
    bellsElement.textContent = "bell rang 0 times";
    startVoice();
    show(compiled.then(run));
});
