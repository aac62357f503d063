// The module asks nothing of its host but WASI's own functions, so that any WASI runtime, and the
// browser shim, can run it.
//   node wasm_checks.mjs MODULE
import { readFile } from 'node:fs/promises';

const imports = WebAssembly.Module.imports(await WebAssembly.compile(await readFile(process.argv[2])));
console.log(`imports: ${imports.map((entry) => `${entry.module}.${entry.name}`).join(', ')}`);
const foreign = imports.filter((entry) => entry.module !== 'wasi_snapshot_preview1');
for (const entry of foreign)
    console.log(`imports ${entry.module}.${entry.name}, which is not WASI's`);
process.exitCode = foreign.length === 0 ? 0 : 1;
