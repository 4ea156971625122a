// Every file of the folders named (that the program takes) converted by the WebAssembly core and by
// the native program, each a run of its own on the file's name: the message
// and the output, byte for byte, must be the program's. A ColorRIX the core
// describes gives the converted bitmap's palette and rows (whole, and one
// at a time from the last, which sends a compressed picture back to its
// start), and never whole rows of a picture the program could not convert.
//   node replay.mjs quorvel-core.js program folder...
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';

const [corePath, nativeProgram, ...folders] = process.argv.slice(2);
const program = path.resolve(nativeProgram);  // the native preset's, built first
const core = await createRequire(import.meta.url)(path.resolve(corePath))();
const call = (name, ...args) => core.ccall(name, 'number', args.map((a) => typeof a), args);
const text = (pointer) => (pointer ? core.UTF8ToString(pointer) : null);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-web-'));
core.FS.mkdir('/files');
core.FS.chdir('/files');

function runNative(name, bytes) {
    fs.writeFileSync(path.join(scratch, name), bytes);
    const run = spawnSync(program, [name], { cwd: scratch });
    if (run.error) throw run.error;
    const output = path.join(scratch, text(call('quorvel_output_name', name)));
    const result = { message: run.stdout.toString(), output: fs.existsSync(output) ? fs.readFileSync(output) : null };
    fs.rmSync(output, { force: true });
    fs.rmSync(path.join(scratch, name));
    return result;
}

function runCore(name, bytes) {
    core.FS.writeFile(name, bytes);
    const message = text(call('quorvel_convert', name));
    const output = text(call('quorvel_output_name', name));
    const made = core.FS.analyzePath(output).exists;
    const result = { message, output: made ? Buffer.from(core.FS.readFile(output)) : null };
    if (made) core.FS.unlink(output);
    return result;
}

const rowsOf = (first, count, width) => {
    const at = call('quorvel_rows', first, count);
    return at ? Buffer.from(core.HEAPU8.subarray(at, at + count * width)) : null;
};

// What is wrong with the description of the file whose conversion is `bitmap`.
function checkRix(picture, bitmap) {
    const { width, height } = picture;
    const whole = rowsOf(0, height, width);
    if (!bitmap?.length) return whole && height && width ? 'rows of a picture the program refused' : '';
    if (!bitmap.subarray(26, 794).equals(Buffer.from(picture.palette.map((_, i, rgb) => rgb[i - (i % 3) + 2 - (i % 3)]))))
        return 'palette';
    const stride = (width + 3) & ~3;
    for (let y = height; y-- > 0; ) {
        const row = bitmap.subarray(794 + (height - 1 - y) * stride).subarray(0, width);
        if (!whole?.subarray(y * width, (y + 1) * width).equals(row) || !rowsOf(y, 1, width)?.equals(row))
            return `row ${y}`;
    }
    return '';
}

const checkBitmap = (picture, rix) => (rix?.length && (rix.readUInt16LE(4) !== picture.width || rix.readUInt16LE(6) !== picture.height) ? 'size' : '');

let [replayed, failures] = [0, 0];
for (const folder of folders) {
    for (const name of fs.readdirSync(folder)) {
        if (!call('quorvel_output_name', name)) continue;  // .gitkeep
        const bytes = fs.readFileSync(path.join(folder, name));
        const native = runNative(name, bytes);
        const wasm = runCore(name, bytes);
        const picture = JSON.parse(text(call('quorvel_describe', name)));
        const wrong = wasm.message !== native.message ? `message ${JSON.stringify(wasm.message)}`
            : (native.output === null) !== (wasm.output === null) ? 'output made by one only'
            : native.output && !native.output.equals(wasm.output) ? 'output bytes'
            : !picture ? (native.output?.length ? 'no description of a converted picture' : '')
            : (picture.format === 'ColorRIX' ? checkRix : checkBitmap)(picture, native.output);
        call('quorvel_close');
        core.FS.unlink(name);
        if (wrong) console.log(`${path.join(folder, name)}: ${wrong}`);
        [replayed, failures] = [replayed + 1, failures + (wrong ? 1 : 0)];
    }
}
fs.rmSync(scratch, { recursive: true });
console.log(`${replayed} files replayed, ${failures} differ from the native program`);
process.exitCode = failures || !replayed ? 1 : 0;
