// The module a browser downloads: small, and asking nothing of its host but WASI's own functions.
//   node wasm_checks.mjs MODULE
import { readFile } from 'node:fs/promises';

const most_bytes = 32 * 1024;
const bytes = await readFile(process.argv[2]);
const imports = WebAssembly.Module.imports(await WebAssembly.compile(bytes));
const foreign = imports.filter((entry) => entry.module !== 'wasi_snapshot_preview1');
console.log(`${bytes.length} bytes; imports: ${imports.map((entry) => entry.name).join(', ')}`);
let failed = false;
if (bytes.length > most_bytes) {
    console.log(`larger than ${most_bytes} bytes`);
    failed = true;
}
for (const entry of foreign) {
    console.log(`imports ${entry.module}.${entry.name}, which is not WASI's`);
    failed = true;
}
process.exitCode = failed ? 1 : 0;
