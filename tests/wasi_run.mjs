// Runs a WASI module as a command, with this process's command line and standard streams, and exits
// with the module's exit status: the WASI target's emulator.
//   node --no-warnings wasi_run.mjs MODULE [ARGS...]
import { readFile } from 'node:fs/promises';
import { WASI } from 'node:wasi';

const [module_path, ...args] = process.argv.slice(2);
const wasi = new WASI({
    version: 'preview1',
    args: [module_path, ...args],
    env: {},
    returnOnExit: true,
});
const module = await WebAssembly.compile(await readFile(module_path));
// wasiImport rather than getImportObject(), which Node 18, Debian 12's, lacks.
const instance = await WebAssembly.instantiate(module, { wasi_snapshot_preview1: wasi.wasiImport });
process.exitCode = wasi.start(instance);
